"""Plot helpers shared by mirt's figures."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from mirt.exceptions import MirtError, MirtInfo

if TYPE_CHECKING:  # matplotlib is imported when a figure is drawn, not with mirt
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot_distance", "plot_scan", "plot_shift", "plot_weak_regions", "scale_plot_ticks"]

# The colours of every chart of a diagnosis: light for reference or all
# samples, dark for weak ones.
LIGHT = "#c0dbec"
DARK = "#69a5cf"
_WEAK = "Weak Regions"


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
    from matplotlib.ticker import FixedFormatter, FixedLocator

    target.set_major_locator(FixedLocator(ticks))
    target.set_major_formatter(FixedFormatter(_format(original)))


def format_stat(v: Any) -> str:
    """A statistic as a reader takes it in on a chart.

    Parameters
    ----------
    v : number
        The value; anything that is not a number is shown as its text.

    Returns
    -------
    str
        Three significant digits, whole numbers from 1000 on (no exponent
        for large errors), "n/a" for NaN and infinity.

    Examples
    --------
    >>> format_stat(0.012345), format_stat(3876.4), format_stat(float("nan"))
    ('0.0123', '3876', 'n/a')
    """
    try:
        v = float(v)
    except (TypeError, ValueError):
        return str(v)
    if not math.isfinite(v):
        return "n/a"
    return f"{v:.0f}" if abs(v) >= 1000 else f"{v:.3g}"


def _payload(value: Any, keys: tuple[str, ...], what: str) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise MirtError(f"{what} needs the value dict of its result, got {type(value).__name__}")
    missing = [k for k in keys if k not in value]
    if missing:
        raise MirtError(f"{what} needs the entries {missing} in the result's value")
    return value


def plot_distance(value: Mapping[str, Any], figsize: tuple[float, float] | None = None) -> Figure:
    """Bar chart of the most shifted features of a distance report.

    Parameters
    ----------
    value : dict
        The value of a "resilience_shift_histogram" result, as made by
        ``LowPatch.get_distance``: feature names under "x", their distances
        under "y" (largest first), "title" and "distance_metric".
    figsize : tuple of float, optional
        Figure size; by default it grows with the number of features.

    Returns
    -------
    matplotlib.figure.Figure
        One horizontal bar per feature, the most shifted on top, each labelled
        with its distance.

    Raises
    ------
    MirtInfo
        When the report lists no feature.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> fig = plot_distance({"title": "Shift", "distance_metric": "PSI",
    ...                      "x": ["age", "bmi"], "y": [0.31, 0.05]})
    >>> [t.get_text() for t in fig.axes[0].get_yticklabels()]
    ['age', 'bmi']
    """
    import matplotlib.pyplot as plt

    value = _payload(value, ("x", "y"), "plot_distance")
    names = [str(n) for n in value["x"]]
    distances = np.asarray(value["y"], dtype=np.float64).ravel()
    if len(names) == 0:
        raise MirtInfo("No features to show.")
    if len(names) != distances.size:
        raise MirtError(
            f"the distance report lists {len(names)} features but {distances.size} distances"
        )
    if figsize is None:
        figsize = (6.0, max(2.5, 0.4 * len(names) + 1.3))
    fig = plt.figure(figsize=figsize)
    ax = fig.add_subplot()
    bars = ax.barh(np.arange(len(names)), distances, color=DARK, edgecolor="black", lw=0.5)
    ax.set_yticks(np.arange(len(names)), labels=names)
    ax.invert_yaxis()
    ax.bar_label(bars, labels=[format_stat(d) for d in distances], padding=3, fontsize=8)
    # Room on the right for the labels of the longest bars.
    ax.margins(x=0.15)
    metric = value.get("distance_metric", "distance")
    ax.set_xlabel(f"{metric} between weak and reference rows")
    ax.set_title(str(value.get("title", "Distribution Shift")))
    fig.tight_layout()
    return fig


def plot_shift(
    value: Mapping[str, Any],
    figsize: tuple[float, float] | None = None,
    bins: int = 20,
    distance_metric: str = "PSI",
    psi_buckets: str = "uniform",
) -> Figure:
    """Histograms of one feature for the weak and the reference rows.

    Parameters
    ----------
    value : dict
        The value of a "lowpatch_shift" result, as made by
        ``LowPatch.get_shift``: the stacked rows under "data" with their group
        in the "resi_type_" column, the feature under "show_feature", its
        "feature_type" and the "title".
    figsize : tuple of float, optional
        Figure size, (6, 4) by default.
    bins : int, default=20
        Number of equal-width bins, shared by both groups, for a numerical
        feature. A feature typed "categorical" is drawn as the share of each
        level in each group instead, every level of a categorical column
        (those no row has too) in the column's order.
    distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
        The distance between the two groups that the title states, as
        ``calculate_distance`` measures it (for numeric values; a categorical
        feature's is always the PSI over its levels' shares).
    psi_buckets : {"uniform", "quantile"}, default="uniform"
        Buckets of the PSI distance.

    Returns
    -------
    matplotlib.figure.Figure
        The reference rows as light bars and the weak rows as a dark outline
        over them (side by side for categories), as densities so that groups
        of different size compare; the title ends with the distance.

    Raises
    ------
    MirtInfo
        When there are no weak rows to draw.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import pandas as pd
    >>> data = pd.DataFrame({"age": [20.0, 30.0, 40.0, 70.0, 75.0],
    ...                      "resi_type_": ["Remaining Regions"] * 3 + ["Weak Regions"] * 2})
    >>> fig = plot_shift({"title": "Shift", "show_feature": "age",
    ...                   "feature_type": "numerical", "data": data}, bins=5)
    >>> [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    ['Remaining Regions', 'Weak Regions']
    """
    import matplotlib.pyplot as plt

    value = _payload(value, ("data", "show_feature"), "plot_shift")
    data = value["data"]
    feature = value["show_feature"]
    if not isinstance(data, pd.DataFrame) or "resi_type_" not in data.columns:
        raise MirtError('plot_shift needs a data frame with a "resi_type_" column under "data"')
    if feature not in data.columns:
        raise MirtError(f"show_feature {feature!r} is not a column of the data")
    if isinstance(bins, (bool, np.bool_)) or not isinstance(bins, numbers.Integral) or bins < 1:
        raise MirtError(f"bins must be a positive integer, got {bins!r}")
    groups = data["resi_type_"].astype(str)
    weak = data.loc[(groups == _WEAK).to_numpy(), feature]
    if len(weak) == 0:
        raise MirtInfo("No weak samples to show.")
    others = [g for g in pd.unique(groups) if g != _WEAK]
    reference_name = others[0] if others else "Remaining Regions"
    reference = data.loc[(groups == reference_name).to_numpy(), feature]

    categorical = value.get("feature_type") == "categorical"
    distance = _group_distance(reference, weak, psi_buckets, distance_metric, categorical)
    if categorical:
        distance_metric = "PSI"
    fig = plt.figure(figsize=figsize if figsize is not None else (6.0, 4.0))
    ax = fig.add_subplot()
    if categorical:
        column = data[feature]
        if isinstance(column.dtype, pd.CategoricalDtype):
            # Every level in its own order, those no row has included.
            categories = list(column.dtype.categories)
        else:
            categories = sorted(pd.unique(column), key=str)
        positions = np.arange(len(categories))
        width = 0.4
        for k, (name, values, colour) in enumerate(
            [(reference_name, reference, LIGHT), (_WEAK, weak, DARK)]
        ):
            shares = values.value_counts(normalize=True).reindex(categories, fill_value=0.0)
            ax.bar(
                positions + (k - 0.5) * width,
                shares.to_numpy(dtype=np.float64),
                width=width,
                color=colour,
                edgecolor="black",
                lw=0.5,
                label=name,
            )
        ax.set_xticks(positions, labels=[str(c) for c in categories])
        ax.set_ylabel("Share")
    else:
        both = _finite(data[feature])
        if both.size == 0:
            plt.close(fig)
            raise MirtError(f"feature {feature!r} holds no finite number to draw")
        edges = np.histogram_bin_edges(both, bins=int(bins))
        # Opaque bars under an outline: where the groups overlap no third,
        # blended colour appears that neither group has.
        finite = _finite(reference)
        if finite.size:
            ax.hist(
                finite,
                bins=edges,
                density=True,
                color=LIGHT,
                edgecolor="white",
                lw=0.5,
                label=reference_name,
            )
        finite = _finite(weak)
        if finite.size:
            density, _ = np.histogram(finite, bins=edges, density=True)
            ax.stairs(density, edges, color=DARK, lw=2, label=_WEAK)
        ax.set_ylabel("Density")
    ax.set_xlabel(str(feature))
    title = str(value.get("title", "Distribution Shift"))
    if distance is not None:
        title += f"\n{distance_metric} of {feature}: {format_stat(distance)}"
    ax.set_title(title)
    ax.legend(fontsize=8)
    fig.tight_layout()
    return fig


def _finite(values: Any) -> np.ndarray:
    numeric = pd.to_numeric(pd.Series(values), errors="coerce").to_numpy(dtype=np.float64)
    return numeric[np.isfinite(numeric)]


def _group_distance(
    reference: Any, weak: Any, buckets: str, metric: str, categorical: bool = False
) -> float | None:
    """The distance of the two groups' numeric values (of their levels' shares
    for a categorical feature), None when either has none."""
    from mirt.diagnoser.utils import calculate_distance

    if categorical:
        if len(reference) == 0 or len(weak) == 0:
            return None
        return calculate_distance(reference, weak, categorical=True)
    ref, bad = _finite(reference), _finite(weak)
    if ref.size == 0 or bad.size == 0:
        return None
    return calculate_distance(ref, bad, buckettype=buckets, method=metric)


def _interval(name: str, lb: Any, ub: Any) -> str:
    from mirt.diagnoser.levels import LevelSet

    if isinstance(lb, LevelSet):
        # A categorical region's bounds are both its set of levels.
        return f"{name} in {lb!r}"
    return f"{name} [{format_stat(lb)}, {format_stat(ub)})"


def _score_name(columns: list[str]) -> str:
    tests = [c for c in columns if c.startswith("test_")]
    trains = {c[len("train_") :] for c in columns if c.startswith("train_")}
    for c in tests:
        if c[len("test_") :] in trains:
            return c[len("test_") :]
    raise MirtError("the weak-region table has no test_ and train_ score columns")


def plot_weak_regions(
    value: Mapping[str, Any], figsize: tuple[float, float] | None = None
) -> Figure:
    """Train and test scores of every weak region, and the gap between them.

    Parameters
    ----------
    value : dict
        The value of a "lowpatch_result" result, as made by
        ``LowPatch.get_result``: the weak-region table under "data" (bound
        columns "[name" and "name)", "#Test", "#Train", the test and train
        scores and "Gap") and the "threshold_value", the absolute threshold
        the regions were judged by.
    figsize : tuple of float, optional
        Figure size; by default it grows with the number of regions.

    Returns
    -------
    matplotlib.figure.Figure
        Left, the train and test score of each region (largest gap on top)
        with the threshold; right, the gap, test minus train.

    Raises
    ------
    MirtInfo
        When the table is empty (no weak region was found).

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import pandas as pd
    >>> table = pd.DataFrame({"[bmi": [0.01], "bmi)": [0.05], "#Test": [40], "#Train": [90],
    ...                       "test_MSE": [3900.0], "train_MSE": [1200.0], "Gap": [2700.0]})
    >>> fig = plot_weak_regions({"threshold_value": 1000.0, "data": table})
    >>> [t.get_text() for t in fig.axes[0].get_yticklabels()]
    ['bmi [0.01, 0.05)']
    """
    import matplotlib.pyplot as plt

    value = _payload(value, ("data",), "plot_weak_regions")
    table = value["data"]
    if table is None or (isinstance(table, pd.DataFrame) and table.empty):
        raise MirtInfo("No weak regions detected.")
    if not isinstance(table, pd.DataFrame):
        raise MirtError(f"plot_weak_regions needs a data frame, got {type(table).__name__}")
    columns = [str(c) for c in table.columns]
    name = _score_name(columns)
    lower = [c for c in columns if c.startswith("[")]
    upper = [c for c in columns if c.endswith(")")]
    if not lower or len(lower) != len(upper):
        raise MirtError('the weak-region table needs "[name" and "name)" bound columns')
    labels = []
    for _, row in table.iterrows():
        parts = [_interval(lo[1:], row[lo], row[up]) for lo, up in zip(lower, upper, strict=True)]
        labels.append(" \u00d7 ".join(parts))
    train = table["train_" + name].to_numpy(dtype=np.float64)
    test = table["test_" + name].to_numpy(dtype=np.float64)
    gap = table["Gap"].to_numpy(dtype=np.float64)
    n = len(labels)
    if figsize is None:
        figsize = (9.0, max(2.8, 0.6 * n + 1.6))
    fig, (ax, ax_gap) = plt.subplots(
        1, 2, figsize=figsize, sharey=True, gridspec_kw={"width_ratios": [2, 1]}
    )
    rows = np.arange(n)
    height = 0.38
    # A side without rows has no score: its bar is left out and says so.
    for offset, scores, colour, side in (
        (-height / 2, train, LIGHT, "train"),
        (height / 2, test, DARK, "test"),
    ):
        drawn = np.where(np.isfinite(scores), scores, 0.0)
        bars = ax.barh(
            rows + offset,
            drawn,
            height=height,
            color=colour,
            edgecolor="black",
            lw=0.5,
            label=f"{side} {name}",
        )
        ax.bar_label(
            bars,
            labels=[format_stat(s) if np.isfinite(s) else "no rows" for s in scores],
            padding=2,
            fontsize=7,
        )
    threshold = value.get("threshold_value")
    try:
        threshold = float(threshold)
    except (TypeError, ValueError):
        threshold = math.nan
    if math.isfinite(threshold):
        ax.axvline(
            threshold, color="red", ls="--", lw=0.8, label=f"threshold {format_stat(threshold)}"
        )
    ax.set_yticks(rows, labels=labels, fontsize=8)
    ax.invert_yaxis()
    ax.margins(x=0.12)
    ax.set_xlabel(name)
    ax.set_title(f"Weak Regions: Train vs Test {name}")
    # Below the panels, in a row: inside them it would cover a value label
    # sooner or later.
    legend = ax.legend(
        fontsize=8,
        loc="lower center",
        bbox_to_anchor=(0.5, 0.0),
        bbox_transform=fig.transFigure,
        ncols=3,
        frameon=False,
    )
    legend.set_in_layout(False)

    drawn_gap = np.where(np.isfinite(gap), gap, 0.0)
    gap_bars = ax_gap.barh(rows, drawn_gap, height=0.6, color=DARK, edgecolor="black", lw=0.5)
    ax_gap.bar_label(gap_bars, labels=[format_stat(g) for g in gap], padding=2, fontsize=7)
    ax_gap.axvline(0.0, color="black", lw=0.8)
    ax_gap.margins(x=0.3)
    ax_gap.set_xlabel(f"test {name} \u2212 train {name}")
    ax_gap.set_title("Gap")
    fig.tight_layout()
    room = legend.get_window_extent().height / fig.bbox.height
    fig.tight_layout(rect=(0.0, room, 1.0, 1.0))
    return fig


def plot_scan(regions: pd.DataFrame, feature_names: list[str], top: int = 10) -> Figure:
    """Draw a scan's regions: the ``top`` most severe as a ranked chart of
    "excess" (significant ones red), beside a feature-by-feature map of the
    most severe region of each feature (diagonal) and pair.

    Parameters
    ----------
    regions : pandas.DataFrame
        The scan's ``regions_`` table.
    feature_names : list of str
        The data's column names, which order the map's axes.
    top : int, default 10
        How many regions the ranked chart shows.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> fig = plot_scan(scan.regions_, ["a", "b", "city"])  # doctest: +SKIP
    """
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, max(3.0, 0.4 * min(top, len(regions)))))
    head = regions.head(top)
    colors = ["tab:red" if s else "tab:gray" for s in head["significant"]]
    ax1.barh(range(len(head))[::-1], head["excess"], color=colors)
    ax1.set_yticks(range(len(head))[::-1], list(head["region"]))
    ax1.set_xlabel("excess")
    ax1.set_title("weak regions (red: significant)")
    order = {name: k for k, name in enumerate(feature_names)}
    names = sorted({str(f) for feats in regions["features"] for f in feats}, key=order.get)
    grid = np.full((len(names), len(names)), np.nan)
    for feats, ex in zip(regions["features"], regions["excess"], strict=True):
        ij = [names.index(str(f)) for f in feats]
        a, b = (ij[0], ij[0]) if len(ij) == 1 else ij
        for r, c in ((a, b), (b, a)):
            grid[r, c] = ex if np.isnan(grid[r, c]) else max(grid[r, c], ex)
    image = ax2.imshow(grid, cmap="Reds")
    ax2.set_xticks(range(len(names)), names, rotation=90)
    ax2.set_yticks(range(len(names)), names)
    ax2.set_title("most severe region\nper feature and pair")
    fig.colorbar(image, ax=ax2, label="excess")
    fig.tight_layout()
    return fig
