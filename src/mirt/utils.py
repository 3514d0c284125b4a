"""Small shared helpers for mirt results."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

__all__ = ["TestDataResult"]

# Limits that keep a result's repr to a few lines however large its payload.
_MAX_ITEMS = 6
_MAX_TEXT = 60
_MAX_DEPTH = 2
_LINE_WIDTH = 100


def _shorten(text: str) -> str:
    if len(text) <= _MAX_TEXT:
        return text
    return text[: _MAX_TEXT - 3] + "..."


def _summarise(obj: Any, depth: int = 0) -> str:
    """Return a short, one-line description of ``obj``.

    Tables and arrays are described by their shape rather than their
    contents; containers are shown element by element only while they are
    small and not nested too deeply.
    """
    if isinstance(obj, pd.DataFrame):
        return f"<DataFrame {obj.shape[0]}x{obj.shape[1]}>"
    if isinstance(obj, pd.Series):
        return f"<Series len={len(obj)}>"
    if isinstance(obj, np.ndarray):
        if obj.ndim <= 1 and obj.size <= _MAX_ITEMS:
            return _shorten("array(" + np.array2string(obj, separator=", ") + ")")
        return f"<ndarray shape={obj.shape} dtype={obj.dtype}>"
    if isinstance(obj, np.generic):
        # numpy 2 spells scalars as ``np.float64(0.5)``; the plain value reads better.
        return _shorten(repr(obj.item()))
    if isinstance(obj, dict):
        if depth >= _MAX_DEPTH:
            return f"<dict len={len(obj)}>"
        items = [
            f"{_shorten(repr(k))}: {_summarise(v, depth + 1)}"
            for k, v in list(obj.items())[:_MAX_ITEMS]
        ]
        if len(obj) > _MAX_ITEMS:
            items.append(f"... ({len(obj) - _MAX_ITEMS} more)")
        return "{" + ", ".join(items) + "}"
    if isinstance(obj, (list, tuple)):
        kind = type(obj).__name__
        if depth >= _MAX_DEPTH or len(obj) > _MAX_ITEMS:
            return f"<{kind} len={len(obj)}>"
        inner = ", ".join(_summarise(v, depth + 1) for v in obj)
        if isinstance(obj, tuple):
            return "(" + inner + ("," if len(obj) == 1 else "") + ")"
        return "[" + inner + "]"
    return _shorten(repr(obj))


class TestDataResult:
    """Named result of a diagnostic computation.

    A light container pairing a ``key`` that says which computation produced
    the result with its ``value`` (typically a dict of tables, arrays and
    settings). Both are stored exactly as given.

    Parameters
    ----------
    key : str
        Name of the result, e.g. ``"lowpatch_result"``.
    value : object
        The payload.

    Attributes
    ----------
    key : str
        The name given.
    value : object
        The payload given (the same object, not a copy).

    Examples
    --------
    >>> import pandas as pd
    >>> from mirt.utils import TestDataResult
    >>> res = TestDataResult("demo", {"data": pd.DataFrame({"a": [1, 2]}), "n": 2})
    >>> res
    TestDataResult(key='demo', value={'data': <DataFrame 2x1>, 'n': 2})
    >>> res.value["n"]
    2
    """

    # The class name starts with "Test"; keep pytest from collecting it.
    __test__ = False

    def __init__(self, key: Any, value: Any) -> None:
        self.key = key
        self.value = value

    def __repr__(self) -> str:
        head = f"{type(self).__name__}(key={_shorten(repr(self.key))}, value="
        value = self.value
        if isinstance(value, dict):
            items = [
                f"{_shorten(repr(k))}: {_summarise(v, 1)}"
                for k, v in list(value.items())[: 2 * _MAX_ITEMS]
            ]
            if len(value) > 2 * _MAX_ITEMS:
                items.append(f"... ({len(value) - 2 * _MAX_ITEMS} more)")
            one_line = head + "{" + ", ".join(items) + "})"
            if len(one_line) <= _LINE_WIDTH:
                return one_line
            # Long payloads get one entry per line so they stay scannable.
            body = ",\n".join("    " + item for item in items)
            return head + "{\n" + body + ",\n})"
        return head + _summarise(value) + ")"
