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

    def plot(self, **kwargs: Any) -> Any:
        """Draw the chart this kind of result calls for.

        - "resilience_shift_histogram": horizontal bars of the most shifted
          features' distances;
        - "lowpatch_shift": histograms of the shown feature for the weak
          rows (outlined) and the reference rows, with their distance in the
          title;
        - "lowpatch_plot": the marginal plot of the weak regions;
        - "lowpatch_result": the train and test score of each weak region
          and their gap.

        Parameters
        ----------
        **kwargs
            Passed on to the chart: ``figsize`` for every chart, ``bins``,
            ``distance_metric`` and ``psi_buckets`` for "lowpatch_shift",
            ``grid`` and ``scaler`` for "lowpatch_plot".

        Returns
        -------
        matplotlib.figure.Figure
            The figure drawn, which is also the current figure.

        Raises
        ------
        MirtInfo
            When the result holds nothing to draw (no weak region, no
            feature).
        MirtError
            For a key no chart is defined for.

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> res = TestDataResult("resilience_shift_histogram",
        ...                      {"title": "Shift", "distance_metric": "PSI",
        ...                       "x": ["bmi", "age"], "y": [0.4, 0.1]})
        >>> fig = res.plot()
        >>> fig.axes[0].get_title()
        'Shift'
        """
        # Imported here: plotting pulls in matplotlib, and the marginal plot
        # lives in the compiled diagnoser module, which imports this one.
        from mirt import plots

        key = self.key
        if key == "resilience_shift_histogram":
            return plots.plot_distance(self.value, **kwargs)
        if key == "lowpatch_shift":
            return plots.plot_shift(self.value, **kwargs)
        if key == "lowpatch_result":
            return plots.plot_weak_regions(self.value, **kwargs)
        if key == "lowpatch_plot":
            import matplotlib.pyplot as plt

            from mirt.diagnoser.lowpatch import LowPatch

            LowPatch.plot_marginal(self, **kwargs)
            return plt.gcf()
        from mirt.exceptions import MirtError

        raise MirtError(
            f"no chart is defined for results with key {key!r}; charts exist for "
            "'resilience_shift_histogram', 'lowpatch_shift', 'lowpatch_plot' and "
            "'lowpatch_result'"
        )

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
