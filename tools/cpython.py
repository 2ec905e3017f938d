"""Builds a CPython from Debian's python3.13 source package and prints its interpreter's path.

    python3 tools/cpython.py VARIANT

VARIANT is one of
    ft        free-threaded (./configure --disable-gil), optimised
    ft-tsan   free-threaded, built with clang 16 and ThreadSanitizer

The interpreter is installed into ${TAVIK_CACHE:-${XDG_CACHE_HOME:-~/.cache}/tavik}/python/VARIANT;
its path is the last line of stdout, progress goes to stderr.  A finished build is recorded by a
stamp written last, after the interpreter has proven ssl, ctypes and venv work, so an interrupted
or failed build is never taken for a finished one; the stamp also records how the build was
configured, so a build configured otherwise is made again.

Trust runs from the archive's signing keys down: the suite's InRelease is checked with gpgv against
the installed Debian archive keyring, the source index against InRelease's SHA-256, the .dsc against
the index, and the tarballs against the .dsc.

Why no PGO or LTO: profile-guided optimisation runs CPython's test suite as its training run and
more than doubles the build; these interpreters test tavik, they are not measured against
other builds of CPython.  Why upstream's tree without Debian's patches: the patches fit the
interpreter to Debian's own file layout (dist-packages, multiarch folders), which an interpreter
in a private prefix must not take.
"""
import fcntl
import hashlib
import lzma
import os
import re
import shutil
import subprocess
import sys
import tarfile
import time
import urllib.request
from pathlib import Path

ARCHIVE = "http://deb.debian.org/debian"
SUITE = "sid"
SOURCE_PACKAGE = "python3.13"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"

# What ssl, ctypes, venv/ensurepip (zlib), and pip's archives (bz2, lzma) need from Debian.
COMMON_PACKAGES = ["build-essential", "pkg-config", "xz-utils", "gpgv", "debian-archive-keyring",
                   "libssl-dev", "libffi-dev", "zlib1g-dev", "libbz2-dev", "liblzma-dev", "uuid-dev"]
VARIANTS = {
    # Test modules included: the suite's allocation-failure tests use _testcapi.
    "ft": {"configure": ["--disable-gil"], "env": {}, "packages": []},
    # The module and the interpreter must share one TSan runtime, so both are built by clang 16
    # (clang 14, bookworm's default, cannot compile std::source_location).  The build runs the new
    # interpreter (ensurepip, byte-compiling): a race inside it there must not fail the build.
    # No test modules: they are most of what `make install` byte-compiles, slowly under TSan, and
    # the tests that need _testcapi fail allocations, which are not run under TSan.
    "ft-tsan": {"configure": ["--disable-gil", "--with-thread-sanitizer", "--disable-test-modules"],
                "env": {"CC": "clang-16", "CXX": "clang++-16", "TSAN_OPTIONS": "report_bugs=0:exitcode=0"},
                # With llvm-16's symbolizer, TSan's reports name files and lines.
                "packages": ["clang-16", "libclang-rt-16-dev", "llvm-16"]},
}
# Run with the installed interpreter before the stamp is written: what the users of these builds need.
SELF_CHECK = ("import ssl, ctypes, zlib, bz2, lzma, venv, ensurepip, sys; "
              "assert not sys._is_gil_enabled(), 'GIL enabled'; "
              "assert ctypes.CDLL(None).getpid() > 0; ssl.create_default_context()")


def say(*words):
    print("cpython.py:", *words, file=sys.stderr, flush=True)


def cache_root():
    if os.environ.get("TAVIK_CACHE"):
        return Path(os.environ["TAVIK_CACHE"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "tavik"


def fetch(url, *, sha256=None):
    say("fetching", url)
    with urllib.request.urlopen(url, timeout=120) as response:
        data = response.read()
    if sha256 is not None and hashlib.sha256(data).hexdigest() != sha256:
        raise SystemExit(f"cpython.py: {url}: SHA-256 mismatch (expected {sha256})")
    return data


def checksums(stanza, field="Checksums-Sha256"):
    """{name: sha256} from a Debian control stanza's checksum field."""
    block = re.search(rf"^{field}:\n((?:[ \t].*\n?)+)", stanza, re.M)
    if not block:
        raise SystemExit(f"cpython.py: no {field} field")
    return {name: digest for digest, _size, name in (line.split() for line in block.group(1).splitlines())}


def verified_release(downloads):
    """InRelease's text, its signature checked against the archive keyring."""
    signed = downloads / "InRelease"
    signed.write_bytes(fetch(f"{ARCHIVE}/dists/{SUITE}/InRelease"))
    check = subprocess.run(["gpgv", "--keyring", KEYRING, str(signed)], capture_output=True, text=True)
    if check.returncode != 0:
        raise SystemExit(f"cpython.py: InRelease's signature does not verify:\n{check.stderr}")
    return signed.read_text()


def source_stanza(release):
    index = "main/source/Sources.xz"
    digest = re.search(rf"^ ([0-9a-f]{{64}}) +\d+ {re.escape(index)}$", release, re.M)
    if not digest:
        raise SystemExit(f"cpython.py: InRelease lists no SHA-256 for {index}")
    sources = lzma.decompress(fetch(f"{ARCHIVE}/dists/{SUITE}/{index}", sha256=digest.group(1))).decode()
    for stanza in sources.split("\n\n"):
        if re.search(rf"^Package: {re.escape(SOURCE_PACKAGE)}$", stanza, re.M):
            return stanza
    raise SystemExit(f"cpython.py: {SUITE} has no source package {SOURCE_PACKAGE}")


def fetch_source(downloads):
    """Downloads and verifies the source package; (version, path of the upstream tarball)."""
    stanza = source_stanza(verified_release(downloads))
    version = re.search(r"^Version: (\S+)$", stanza, re.M).group(1)
    directory = re.search(r"^Directory: (\S+)$", stanza, re.M).group(1)
    listed = checksums(stanza)
    dsc_name = next(name for name in listed if name.endswith(".dsc"))
    dsc = fetch(f"{ARCHIVE}/{directory}/{dsc_name}", sha256=listed[dsc_name]).decode()
    (downloads / dsc_name).write_text(dsc)
    tarballs = checksums(dsc)
    for name, digest in tarballs.items():
        if listed.get(name) != digest:
            raise SystemExit(f"cpython.py: {name}: the .dsc and the source index disagree")
        target = downloads / name
        if not (target.exists() and hashlib.sha256(target.read_bytes()).hexdigest() == digest):
            target.write_bytes(fetch(f"{ARCHIVE}/{directory}/{name}", sha256=digest))
    orig = next(name for name in tarballs if ".orig.tar." in name)
    say(f"{SOURCE_PACKAGE} {version}: .dsc and {len(tarballs)} tarballs verified")
    return version, downloads / orig


def install_build_dependencies(packages):
    missing = [p for p in packages if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout != "install ok installed"]
    if not missing:
        return
    if os.geteuid() != 0:
        raise SystemExit(f"cpython.py: missing build dependencies; as root: apt-get install {' '.join(missing)}")
    say("apt-get install", *missing)
    quiet = {"stdout": sys.stderr, "env": dict(os.environ, DEBIAN_FRONTEND="noninteractive")}
    if subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *missing], **quiet).returncode:
        subprocess.run(["apt-get", "update"], check=True, **quiet)
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *missing], check=True, **quiet)


def run(command, cwd, env, log):
    say("$", " ".join(command), f"(log: {log})")
    with open(log, "a") as out:
        if subprocess.run(command, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT).returncode:
            tail = Path(log).read_text(errors="replace").splitlines()[-30:]
            raise SystemExit("cpython.py: failed: " + " ".join(command) + "\n" + "\n".join(tail))


def build(variant, prefix, work):
    settings = VARIANTS[variant]
    install_build_dependencies(COMMON_PACKAGES + settings["packages"])
    downloads = work.parent / "downloads"
    downloads.mkdir(parents=True, exist_ok=True)
    version, orig = fetch_source(downloads)
    configure = configure_command(variant, prefix)
    env = dict(os.environ, **settings["env"])
    log = work / "build.log"
    # A tree configured alike by an earlier, failed or interrupted, call is built on (make is
    # incremental); anything else starts from the tarball.
    configured = work / "configured"
    recipe = f"{orig.name} {recipe_of(variant, prefix)}"
    started = time.monotonic()
    if not (configured.exists() and configured.read_text() == recipe):
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        with tarfile.open(orig) as archive:
            archive.extractall(work, filter="data") if hasattr(tarfile, "data_filter") else archive.extractall(work)
        run(configure, source_tree(work), env, log)
        configured.write_text(recipe)
    else:
        say("building on the tree configured by an earlier call in", work)
    source = source_tree(work)
    run(["make", f"-j{os.cpu_count() or 2}"], source, env, log)
    shutil.rmtree(prefix, ignore_errors=True)
    run(["make", "install"], source, env, log)
    python = next(prefix.glob("bin/python3.13*t"))
    run([str(python), "-c", SELF_CHECK], source, env, log)
    say(f"{variant}: {SOURCE_PACKAGE} {version} built and installed in {time.monotonic() - started:.0f} s")
    shutil.rmtree(work, ignore_errors=True)
    return python


def configure_command(variant, prefix):
    return ["./configure", f"--prefix={prefix}", "--with-ensurepip=install", *VARIANTS[variant]["configure"]]


def recipe_of(variant, prefix):
    """What a build depends on besides the source: a cached build made otherwise is made again."""
    return " ".join([VARIANTS[variant]["env"].get("CC", "cc"), *configure_command(variant, prefix)])


def source_tree(work):
    return next(p for p in work.iterdir() if (p / "configure").exists())


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in VARIANTS:
        raise SystemExit(f"usage: {sys.argv[0]} {{{'|'.join(VARIANTS)}}}")
    variant = sys.argv[1]
    root = cache_root() / "python"
    prefix, stamp = root / variant, root / f"{variant}.done"
    root.mkdir(parents=True, exist_ok=True)
    # One builder per variant at a time; a second caller waits and then finds the stamp.
    with open(root / f"{variant}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        recorded = stamp.read_text().split("\n", 1) if stamp.exists() else []
        if recorded[1:] == [recipe_of(variant, prefix)] and Path(recorded[0]).exists():
            python = Path(recorded[0])
        else:
            stamp.unlink(missing_ok=True)
            python = build(variant, prefix, root / f"{variant}.work")
            stamp.write_text(f"{python}\n{recipe_of(variant, prefix)}")
    print(python)


if __name__ == "__main__":
    main()
