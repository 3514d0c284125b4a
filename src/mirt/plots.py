"""Plot helpers shared by mirt's figures."""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
from matplotlib.axes import Axes
from matplotlib.ticker import FixedFormatter, FixedLocator

from mirt.exceptions import MirtError

__all__ = ["scale_plot_ticks"]


def _feature_column(feature: Any, scaler: Any) -> int:
    """Position of ``feature`` among the columns the scaler was fitted on."""
    names = getattr(scaler, "feature_names_in_", None)
    if names is not None:
        names = [str(n) for n in names]
        if str(feature) in names:
            return names.index(str(feature))
        raise MirtError(
            f"feature {feature!r} is not known to the scaler; it was fitted on "
            + ", ".join(repr(n) for n in names)
        )
    n_features = getattr(scaler, "n_features_in_", None)
    if n_features is None:
        raise MirtError(
            "scaler must be fitted (it has no n_features_in_) before its units can label a plot"
        )
    if n_features == 1:
        return 0
    if (
        isinstance(feature, numbers.Integral)
        and not isinstance(feature, (bool, np.bool_))
        and 0 <= feature < n_features
    ):
        return int(feature)
    raise MirtError(
        f"cannot locate feature {feature!r}: the scaler was fitted on "
        f"{n_features} unnamed columns; fit it on a DataFrame or pass the "
        "column position"
    )


def _format(values: np.ndarray) -> list[str]:
    span = np.max(np.abs(values)) if values.size else 0.0
    # Inverse transforms leave round-off such as 1e-17 where 0 belongs.
    cleaned = np.where(np.abs(values) <= 1e-12 * span, 0.0, values)
    return [f"{v + 0.0:.3g}" for v in cleaned]


def scale_plot_ticks(ax: Axes, feature: Any, scaler: Any, axis: int) -> None:
    """Label an axis in a feature's original units.

    Plots of scaled data show scaled values on their axes. This relabels
    the current ticks of one axis with the values they correspond to before
    scaling; the tick positions stay where they are. Call it once the data
    are drawn, since the ticks are fixed from then on.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
        The axes to relabel.
    feature : str or int
        Name of the feature shown on the axis, as the scaler knows it
        (``feature_names_in_`` when fitted on a DataFrame). A scaler fitted
        on a single column accepts any name; one fitted on several unnamed
        columns needs the column position.
    scaler : fitted scikit-learn scaler or None
        Any column-wise transformer with ``inverse_transform``, such as
        StandardScaler, MinMaxScaler, MaxAbsScaler or RobustScaler. With
        None the axis is left unchanged.
    axis : {0, 1}
        0 for the x axis, 1 for the y axis.

    Returns
    -------
    None

    Raises
    ------
    MirtError
        If ``axis`` is not 0 or 1, or the scaler does not know ``feature``.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import matplotlib.pyplot as plt
    >>> import pandas as pd
    >>> from sklearn.preprocessing import StandardScaler
    >>> frame = pd.DataFrame({"age": [20.0, 40.0, 60.0]})
    >>> scaler = StandardScaler().fit(frame)
    >>> fig, ax = plt.subplots()
    >>> _ = ax.plot(scaler.transform(frame)[:, 0], [0, 1, 2])
    >>> ax.set_xticks([-1.0, 0.0, 1.0])  # doctest: +ELLIPSIS
    [...]
    >>> scale_plot_ticks(ax, "age", scaler, axis=0)
    >>> [t.get_text() for t in ax.get_xticklabels()]
    ['23.7', '40', '56.3']
    >>> plt.close(fig)
    """
    if isinstance(axis, (bool, np.bool_)) or axis not in (0, 1):
        raise MirtError(f"axis must be 0 (x axis) or 1 (y axis), got {axis!r}")
    if scaler is None:
        return
    if not hasattr(scaler, "inverse_transform"):
        raise MirtError(
            f"scaler must have an inverse_transform method, got {type(scaler).__name__}"
        )
    column = _feature_column(feature, scaler)
    target = ax.xaxis if axis == 0 else ax.yaxis
    ticks = np.asarray(target.get_ticklocs(), dtype=np.float64)
    scaled = np.zeros((ticks.size, int(getattr(scaler, "n_features_in_", 1))))
    scaled[:, column] = ticks
    original = np.asarray(scaler.inverse_transform(scaled), dtype=np.float64)[:, column]
    target.set_major_locator(FixedLocator(ticks))
    target.set_major_formatter(FixedFormatter(_format(original)))
