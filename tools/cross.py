"""Cross-builds tavik with zig's clang for the platforms its wheels serve, from the project's own
CMake files: the module (checked to export PyInit_tavik alone) and the native core tests, run
here where they can be (x86-64 musl natively, aarch64 under qemu-user). One line per target,
then a summary; exit status 1 when anything failed.

Run by `bash dev cross`, with the venv's Python (its ziglang, cmake and ninja) and its headers,
which serve every 64-bit little-endian target (DEVELOPING.md says where pyconfig.h differs)."""
import os
import shutil
import subprocess
import sys
import sysconfig
from dataclasses import dataclass
from pathlib import Path

import ziglang

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("TAVIK_CROSS_TREE", ROOT / "build" / "cross"))  # one per interpreter
ZIG = Path(ziglang.__file__).parent / "zig"


@dataclass(frozen=True)
class Target:
    zig: str  # zig's target triple; a version pins the oldest C library or macOS it links against
    system: str  # CMAKE_SYSTEM_NAME
    processor: str  # CMAKE_SYSTEM_PROCESSOR
    runner: tuple[str, ...] | None  # how the core tests run here; None: they cannot
    sysroot: str = ""  # a C library the runner needs, if the binary is not static


TARGETS = [
    Target("x86_64-linux-musl", "Linux", "x86_64", ()),
    Target("aarch64-linux-gnu.2.17", "Linux", "aarch64", ("qemu-aarch64", "-L", "/usr/aarch64-linux-gnu"),
           "/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1"),
    Target("aarch64-linux-musl", "Linux", "aarch64", ("qemu-aarch64",)),
    Target("aarch64-macos.11.0", "Darwin", "arm64", None),
    Target("x86_64-macos.10.13", "Darwin", "x86_64", None),
]

# zig's Mach-O linker ignores -bundle (it then links an executable) and refuses
# -exported_symbol: the module is linked as a dylib, which the interpreter loads
# alike, and its exports are limited by visibility alone.  Nothing else changes.
COMPILER = """#!/bin/sh
drop=0
for arg do
    shift
    if [ $drop -gt 0 ]; then drop=$((drop - 1)); continue; fi
    case $arg in
    -bundle) arg=-shared ;;
    -Xlinker) if [ "${{1:-}}" = -exported_symbol ]; then drop=3; continue; fi ;;
    esac
    set -- "$@" "$arg"
done
exec "{zig}" c++ -target {target} "$@"
"""

# GNU ar cannot index the LLVM bitcode that link-time optimization leaves in the
# archives: zig's own archiver and ranlib do.
TOOLCHAIN = """set(CMAKE_SYSTEM_NAME {system})
set(CMAKE_SYSTEM_PROCESSOR {processor})
set(CMAKE_CXX_COMPILER "{bin}/c++")
foreach(tool AR RANLIB)
  string(TOLOWER ${{tool}} name)
  set(CMAKE_${{tool}} "{bin}/${{name}}")
  set(CMAKE_CXX_COMPILER_${{tool}} "{bin}/${{name}}")
endforeach()
"""

# Symbols the linker defines in every Mach-O image it writes, none of them from
# the module's code; Apple's linker keeps them in with -exported_symbol.
MACHO_IMAGE_SYMBOLS = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def tools(target, folder):
    bin_dir = folder / "bin"
    bin_dir.mkdir(parents=True, exist_ok=True)
    scripts = {"c++": COMPILER.format(zig=ZIG, target=target.zig),
               "ar": f'#!/bin/sh\nexec "{ZIG}" ar "$@"\n', "ranlib": f'#!/bin/sh\nexec "{ZIG}" ranlib "$@"\n'}
    for name, text in scripts.items():
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    toolchain = folder / "toolchain.cmake"
    toolchain.write_text(TOOLCHAIN.format(system=target.system, processor=target.processor, bin=bin_dir))
    return toolchain


def build(toolchain, tree, target_name, *definitions):
    """Configures and builds one target of the project in `tree`; the failure's last lines, or None."""
    configure = run("cmake", "-S", ROOT, "-B", tree, "-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
                    "-DCMAKE_BUILD_TYPE=Release", *definitions)
    result = configure if configure.returncode else run("cmake", "--build", tree, "--target", target_name)
    return None if result.returncode == 0 else "\n".join((result.stdout + result.stderr).splitlines()[-15:])


def exports(nm, module, macho):
    listing = run(nm, "-g" if macho else "-D", "--defined-only", module, check=True).stdout
    names = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    return names - MACHO_IMAGE_SYMBOLS if macho else names


def core_tests(target, executable):
    """(passed, ran, what to say) for the native core tests built for `target`."""
    if target.runner is None:
        return True, False, "not run (no macOS here)"
    if target.runner and not shutil.which(target.runner[0]):
        return True, False, f"not run ({target.runner[0]} missing: apt-get install qemu-user)"
    if target.sysroot and not os.path.exists(target.sysroot):
        return True, False, "not run (no aarch64 glibc: apt-get install libc6-arm64-cross)"
    result = run(*target.runner, executable, timeout=1800)
    last = (result.stdout.strip().splitlines() or ["no output"])[-1]
    passed = result.returncode == 0 and last.endswith(" 0 failures")
    return passed, True, f"{last} ({target.runner[0] if target.runner else 'natively'})"


def main():
    nm = next(filter(None, map(shutil.which, ["llvm-nm", *(f"llvm-nm-{v}" for v in range(20, 13, -1))])), None)
    if nm is None:
        sys.exit("dev cross: llvm-nm is needed to read ELF and Mach-O exports (apt-get install llvm)")
    # zig builds each target's C and C++ libraries once, into a cache of its own.
    os.environ.setdefault("ZIG_GLOBAL_CACHE_DIR", str(BUILD / "zig-cache"))
    python = [f"-DPython_EXECUTABLE={sys.executable}", f"-DPython_INCLUDE_DIR={sysconfig.get_paths()['include']}"]
    failures = tested = 0
    for target in TARGETS:
        folder = BUILD / target.zig
        toolchain = tools(target, folder)
        macho = target.system == "Darwin"
        line = f"{target.zig:<24}"
        error = build(toolchain, folder / "module", "tavik", *python)
        if error:
            ok, module_text = False, "module FAILED to build:\n" + error
        else:
            lto = "-flto" in (folder / "module" / "build.ninja").read_text()
            names = exports(nm, folder / "module" / "tavik.so", macho)
            wanted = {"_PyInit_tavik" if macho else "PyInit_tavik"}
            ok = names == wanted
            module_text = (f"module ok ({'Mach-O' if macho else 'ELF'}, {'LTO' if lto else 'no LTO'}), "
                           f"exports {'only ' if ok else 'FAILED: '}{', '.join(sorted(names))}")
        error = build(toolchain, folder / "core", "core_tests", "-DTAVIK_CORE_ONLY=ON", "-DTAVIK_BUILD_TESTING=ON")
        if error:
            core_ok, core_text = False, "core tests FAILED to build:\n" + error
        else:
            core_ok, ran, core_text = core_tests(target, folder / "core" / "core_tests")
            tested += ran
            core_text = "core tests: " + core_text
        failures += not (ok and core_ok)
        print(f"{line}{module_text}; {core_text}", flush=True)
    print(f"cross: {len(TARGETS)} targets, {len(TARGETS) - failures} ok, {failures} failed; "
          f"core tests run on {tested}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
