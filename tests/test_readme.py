"""The README's Python examples run as written: in order, in one namespace."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

import matplotlib.pyplot as plt

README = Path(__file__).resolve().parents[1] / "README.md"
# A block that starts with this line runs only where the Dask extra is installed.
NEEDS_DASK = "# Needs the Dask extra"


def test_every_python_block_of_the_readme_runs_in_order(tmp_path, monkeypatch):
    text = README.read_text(encoding="utf-8")
    blocks = re.findall(r"^```python\n(.*?)^```", text, flags=re.MULTILINE | re.DOTALL)
    assert len(blocks) >= 4
    # The examples save their pictures to the current directory.
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "readme"}
    try:
        for k, block in enumerate(blocks, start=1):
            if block.startswith(NEEDS_DASK) and importlib.util.find_spec("distributed") is None:
                continue
            exec(compile(block, f"README.md, Python block {k}", "exec"), namespace)
    finally:
        plt.close("all")
