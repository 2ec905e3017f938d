"""What an editor shows on hover: checks that the stub gives every public name of tavik.tavik an English
docstring (the module's own docstrings are Chinese by design; editors read the stub).

    python tools/stub_docs.py [STUB]

Walks the stub's classes, functions, properties and class attributes (an attribute's docstring is the string
right after it) and compares them with what the imported module has: every name of __all__, every enumeration
member and every record field must be in the stub with a non-empty docstring free of CJK characters.  Prints
what it checked; exits 1 on any name missing or without such a docstring."""
import ast
import inspect
import re
import sys
from pathlib import Path

import tavik.tavik

STUB = Path(__file__).resolve().parent.parent / "src" / "tavik" / "tavik.pyi"
CJK = re.compile(r"[\u2e80-\u9fff\uac00-\ud7af\uf900-\ufaff\uff00-\uffef]")  # CJK scripts and full-width forms


def stub_docstrings(tree):
    """{name or Class.name: docstring or None} for the public names a stub declares."""
    docs = {}

    def walk(body, prefix):
        for node, after in zip(body, body[1:] + [None]):
            if isinstance(node, ast.ClassDef | ast.FunctionDef):
                docs[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    walk(node.body, f"{node.name}.")
            elif isinstance(node, ast.AnnAssign):
                text = getattr(after.value, "value", None) if isinstance(after, ast.Expr) else None
                docs[prefix + node.target.id] = text if isinstance(text, str) else None

    walk(tree.body, "")
    return {name: doc for name, doc in docs.items() if not name.rpartition(".")[2].startswith("_")}


def runtime_names(module):
    """The public names of the module, its enumeration members and its record fields, as Class.name."""
    classes = [cls for cls in map(vars(module).get, module.__all__) if isinstance(cls, type)]
    return set(module.__all__) | {f"{cls.__name__}.{name}" for cls in classes for name, value in vars(cls).items()
                                  if isinstance(value, cls) or inspect.isgetsetdescriptor(value)}


def main(stub=STUB):
    docs = stub_docstrings(ast.parse(Path(stub).read_text(encoding="utf-8")))
    not_english = sorted(name for name, doc in docs.items() if not (doc or "").strip() or CJK.search(doc))
    runtime = runtime_names(tavik.tavik)
    missing = sorted(runtime - docs.keys())
    print(f"{stub}: {len(docs)} public names with their docstrings; tavik.tavik has {len(runtime)}")
    for label, names in ("without an English docstring", not_english), ("missing from the stub", missing):
        if names:
            print(f"{len(names)} {label}: {', '.join(names)}")
    return 1 if not_english or missing else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
