"""Print the digest of the sources that a build of mirt is made from.

The build records it in the installed package (``mirt/_source_digest``), and
the test command compares the two: an installed build of the very same
sources is tested as it is instead of being built again.

    python tools/source_digest.py              # the digest of this checkout
    python tools/source_digest.py --installed  # the installed build's, or nothing
"""

from __future__ import annotations

import hashlib
import importlib.util
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Everything the wheel is made of: the build's configuration, the native core,
# the bindings and the Python package.
INPUTS = ("CMakeLists.txt", "pyproject.toml", "cpp/include", "cpp/src", "bindings", "src/mirt")
# Products of builds and of running the code, which do not go into the wheel.
SKIPPED_SUFFIXES = (".pyc", ".so", ".pyd")


def source_files(root: Path = ROOT) -> list[Path]:
    """The files that go into a build, in a fixed order."""
    files = []
    for name in INPUTS:
        path = root / name
        candidates = sorted(path.rglob("*")) if path.is_dir() else [path]
        files.extend(
            p
            for p in candidates
            if p.is_file()
            and "__pycache__" not in p.parts
            and not p.name.endswith(SKIPPED_SUFFIXES)
        )
    return files


def digest(root: Path = ROOT) -> str:
    """SHA-256 over the relative path and the content of every source file."""
    total = hashlib.sha256()
    for path in source_files(root):
        total.update(path.relative_to(root).as_posix().encode() + b"\0")
        total.update(hashlib.sha256(path.read_bytes()).digest())
    return total.hexdigest()


def installed_digest() -> str:
    """The digest the installed mirt was built from; empty when there is none."""
    # find_spec locates the package without running it.
    spec = importlib.util.find_spec("mirt")
    if spec is None or not spec.submodule_search_locations:
        return ""
    for location in spec.submodule_search_locations:
        stamp = Path(location) / "_source_digest"
        if stamp.is_file():
            return stamp.read_text(encoding="utf-8").strip()
    return ""


if __name__ == "__main__":
    print(installed_digest() if "--installed" in sys.argv[1:] else digest())
