"""The marginal plot of a diagnosis: the weak regions drawn over the slicing
feature(s), with the marginal histogram of each feature and the share of weak
samples in each bin.

The numbers (histograms, score curve, region image, label levels) come from
the native core through ``mirt._native``; this module reads the marginal
result as ``_marginal_inputs`` checked it and hands arrays to matplotlib.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from mirt import _native
from mirt.diagnoser._marginal_inputs import (
    _bounds,
    _drawn_range,
    _has_levels,
    _Inputs,
    _read_inputs,
)
from mirt.plots import DARK, LIGHT, format_stat, scale_plot_ticks

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.text import Annotation

_TITLE = "Weak Regions"
_TITLE_SIZE = 15
_LABEL_SIZE = 8
_LEGEND_SIZE = 8
# np.histogram's default bin count.
_HIST_BINS = 10
# Annotations sit this far (points) above the point they describe.
_LABEL_LIFT = 3.0


def _histogram_panel(
    ax: Axes,
    inp: _Inputs,
    col: np.ndarray,
    name: str,
    scaler: Any,
    horizontal: bool,
    with_legend: bool = True,
) -> None:
    """The light bars of all samples and, with per-sample scores, the dark bars
    of the weak samples over them, along x (bar) or along y (barh)."""
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    edges, density, weak = _native.marginal_histogram(
        col, inp.scores, inp.sign, inp.threshold, _HIST_BINS
    )
    centres = (edges[:-1] + edges[1:]) / 2
    width = edges[1] - edges[0]
    draw = ax.barh if horizontal else ax.bar
    size = "height" if horizontal else "width"
    draw(centres, density, **{size: width}, color=LIGHT, edgecolor="black")
    if weak is not None:
        draw(centres, weak, **{size: width}, color=DARK, edgecolor="black")
        # The light part left showing is the other side of the threshold. The
        # fixed labels get a title that says what lies above or below it: each
        # row's own score, not a region's.
        labels = ["Below threshold", "Above threshold"]
        if inp.sign > 0:
            labels.reverse()
        if with_legend:
            # The corner below the narrow panel has room for short lines only.
            gap = "\n" if horizontal else " "
            legend = ax.legend(
                labels,
                title=f"rows whose own{gap}{inp.score_name} is",
                title_fontsize=_LEGEND_SIZE,
                fontsize=_LEGEND_SIZE,
                loc="upper right" if horizontal else "best",
                handlelength=1.2,
                handletextpad=0.4,
                borderpad=0.3,
            )
            if horizontal:
                # The panel is too narrow for a legend: it goes below it, into
                # the empty corner of the grid, once the layout is known
                # (_place_corner_legend).
                legend.set_in_layout(False)
            else:
                # Headroom above the bars, where the legend covers none.
                ax.set_ylim(0.0, 1.5 * float(np.max(density)))
    if horizontal:
        ax.set_ylabel(name)
        ax.set_xlabel("Density")
        # The narrow width holds one density label; the bars show where 0 is.
        ax.xaxis.set_major_locator(MaxNLocator(nbins=2, min_n_ticks=2))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}" if v else ""))
        ax.tick_params(axis="x", labelsize=7)
    else:
        ax.set_xlabel(name)
        ax.set_ylabel("Density")
        ax.yaxis.set_major_locator(MaxNLocator(nbins=3))
    scale_plot_ticks(ax=ax, feature=name, scaler=scaler, axis=1 if horizontal else 0)


def _separate_labels(fig: Figure, ax: Axes, labels: list[Annotation], lift: float) -> float:
    """Lift crowded annotations to free levels and keep them inside the axes.

    Returns the display-coordinate top of the highest label.
    """
    if not labels:
        return -math.inf
    pt = fig.dpi / 72.0
    left, right = ax.bbox.x0, ax.bbox.x1
    boxes = np.empty((len(labels), 4))
    shift = np.zeros(len(labels))
    for i, label in enumerate(labels):
        e = label.get_window_extent()
        # Labels of regions at the edges are moved in rather than cut off.
        if e.x1 > right:
            shift[i] = right - e.x1
        if e.x0 + shift[i] < left:
            shift[i] = left - e.x0
        boxes[i] = (e.x0 + shift[i], e.x1 + shift[i], e.y0, e.y1)
    step = float(np.max(boxes[:, 3] - boxes[:, 2], initial=0.0)) + 1.0 * pt
    levels = _native.stack_labels(boxes[:, 0], boxes[:, 1], boxes[:, 2], boxes[:, 3], step)
    for label, s, level in zip(labels, shift, levels, strict=True):
        label.xyann = (s / pt, lift + level * step / pt)
    return float(np.max(boxes[:, 3] + levels * step))


@dataclass
class _Drawn:
    """What the layout step needs of the panels drawn."""

    gs: Any
    ax: Axes  # the main panel
    ax_y: Axes | None = None  # two features: the left histogram
    caption: Any = None  # two features: the text saying what the labels are


def _curve_rules(inp: _Inputs, col: np.ndarray, lo: float, hi: float) -> tuple[Any, Any, Any]:
    """The rules the one-feature curve is drawn from, as (lb, ub, value) arrays."""
    if inp.rule_list is not None and len(inp.rule_list) > 0:
        lb, ub, values = [], [], []
        for rule in inp.rule_list:
            splits = rule["splits"]
            a, b = -math.inf, math.inf
            if isinstance(splits, dict) and "f0" in splits:
                a, b = float(splits["f0"]["lb"]), float(splits["f0"]["ub"])
            lb.append(a)
            ub.append(b)
            values.append(float(rule["values"]))
        return lb, ub, values
    if inp.scores is not None:
        # No rules kept: the weak regions' bounds cut the range into segments,
        # each drawn at its mean score.
        cuts = [v for region in inp.stats for v in _bounds(region, 0)]
        return _native.segment_rules(col, inp.scores, lo, hi, np.asarray(cuts, dtype=np.float64))
    bounds = [_bounds(region, 0) for region in inp.stats]
    return (
        [b[0] for b in bounds],
        [b[1] for b in bounds],
        [inp.stat(region) for region in inp.stats],
    )


def _plot_one_feature(fig: Figure, inp: _Inputs, scaler: Any) -> _Drawn:
    col = inp.column(0)
    name = inp.feature_name(0)
    lo, hi = _drawn_range(col)
    lb, ub, values = _curve_rules(inp, col, lo, hi)
    curve_x, curve_y = _native.rule_curve(lo, hi, inp.grid, lb, ub, values)

    gs = fig.add_gridspec(2, 1, wspace=0.1, hspace=0.1, height_ratios=(2, 1))
    ax = fig.add_subplot(gs[0, 0])
    ax_hist = fig.add_subplot(gs[1, 0], sharex=ax)

    ax.plot(curve_x, curve_y, color="black", lw=1)
    ax.axhline(inp.threshold, color="red", ls="--", lw=0.5)
    ax.tick_params(labelbottom=False)
    ax.set_ylabel(inp.score_name, color="black")
    ax.set_title(_TITLE, fontsize=_TITLE_SIZE)
    ax.set_xlim(lo, hi)

    # Y range: the curve, the threshold and the annotated statistics.
    stat_values = [inp.stat(region) for region in inp.stats]
    shown = np.concatenate([curve_y, stat_values, [inp.threshold]])
    shown = shown[np.isfinite(shown)]
    y_lo, y_hi = float(shown.min()), float(shown.max())
    span = y_hi - y_lo
    margin = 0.15 * span
    if span == 0:
        # A flat picture still needs a visible range around its one value.
        size = max(abs(y_lo), abs(y_hi))
        margin = 0.1 * size if size > 0.001 else 0.001
    y_lo, y_hi = y_lo - margin, y_hi + margin
    ax.set_ylim(y_lo, y_hi)

    # The threshold line says what it is at its left end; region labels rise
    # above it where they would cross it.
    lifted = {
        "xytext": (0.0, _LABEL_LIFT),
        "textcoords": "offset points",
        "va": "bottom",
        "color": "red",
        "fontsize": _LABEL_SIZE,
    }
    threshold_label = f"threshold {format_stat(inp.threshold)}"
    labels = [ax.annotate(threshold_label, xy=(lo, inp.threshold), ha="left", **lifted)]
    for region, s in zip(inp.stats, stat_values, strict=True):
        lb1, ub1 = _bounds(region, 0)
        a, c = max(lb1, lo), min(ub1, hi)
        # A faint band shows where each region lies, however narrow.
        ax.axvspan(a, c, color="red", alpha=0.08, lw=0, zorder=0)
        y = s if math.isfinite(s) else inp.threshold
        labels.append(
            ax.annotate(inp.stat_label(s), xy=(a + 0.55 * (c - a), y), ha="center", **lifted)
        )
    top = _separate_labels(fig, ax, labels, _LABEL_LIFT)
    ax_top, ax_height = ax.bbox.y1, ax.bbox.height
    if top > ax_top and ax_height > 0:
        # Raise the top of the panel until the highest label fits inside it.
        over = (top - ax_top) / ax_height
        y_hi += over * (y_hi - y_lo) / max(1e-6, 1.0 - over) * 1.05
        ax.set_ylim(y_lo, y_hi)

    _histogram_panel(ax_hist, inp, col, name, scaler, horizontal=False)
    return _Drawn(gs, ax)


def _dark2_with_white() -> Any:
    import matplotlib
    from matplotlib.colors import LinearSegmentedColormap

    colours = [(1, 1, 1), *matplotlib.colormaps["Dark2"].colors]
    return LinearSegmentedColormap.from_list("Dark2withWhite", colours, N=6, gamma=1)


def _plot_two_features(fig: Figure, inp: _Inputs, scaler: Any) -> _Drawn:
    from matplotlib.patches import Rectangle

    col1, col2 = inp.column(0), inp.column(1)
    name1, name2 = inp.feature_name(0), inp.feature_name(1)
    lo1, hi1 = _drawn_range(col1)
    lo2, hi2 = _drawn_range(col2)
    rects = np.array([(*_bounds(r, 0), *_bounds(r, 1)) for r in inp.stats], dtype=np.float64)
    cells, centre1, centre2 = _native.region_image(lo1, hi1, lo2, hi2, inp.grid, *rects.T)

    gs = fig.add_gridspec(2, 2, wspace=0.1, hspace=0.1, height_ratios=(6, 1), width_ratios=(1, 6))
    ax = fig.add_subplot(gs[0, 1])
    ax_x = fig.add_subplot(gs[1, 1], sharex=ax)
    ax_y = fig.add_subplot(gs[0, 0], sharey=ax)

    ax.imshow(
        cells,
        interpolation="nearest",
        cmap=_dark2_with_white(),
        vmin=-1,
        vmax=6,
        aspect="auto",
        extent=(lo1, hi1, lo2, hi2),
    )
    # Fixed before the histograms are drawn: their bars must not widen the
    # shared ranges, and the tick scaler reads the final ticks.
    ax.set_xlim(lo1, hi1)
    ax.set_ylim(lo2, hi2)
    ax.tick_params(labelbottom=False, labelleft=False)
    ax.set_title(_TITLE, fontsize=_TITLE_SIZE)

    # Colours repeat every five regions, so touching regions may share one; a
    # thin white outline keeps them apart.
    for a0, a1, b0, b1 in rects:
        x0, x1 = max(a0, lo1), min(a1, hi1)
        y0, y1 = max(b0, lo2), min(b1, hi2)
        if x0 <= x1 and y0 <= y1:
            ax.add_patch(
                Rectangle((x0, y0), x1 - x0, y1 - y0, fill=False, edgecolor="white", lw=0.8)
            )

    caption = _label_regions(fig, ax, ax_y, inp, centre1, centre2)

    # Both panels share the colours: one legend, in the corner, says what they are.
    _histogram_panel(ax_x, inp, col1, name1, scaler, horizontal=False, with_legend=False)
    # Density labels on the outer side keep the panels close to the image.
    ax_x.yaxis.tick_right()
    ax_x.yaxis.set_label_position("right")
    _histogram_panel(ax_y, inp, col2, name2, scaler, horizontal=True)
    return _Drawn(gs, ax, ax_y, caption)


def _label_regions(
    fig: Figure, ax: Axes, ax_y: Axes, inp: _Inputs, centre1: Any, centre2: Any
) -> Any:
    """Each region's statistic at its centre (axes fractions) in the region
    image, and the caption that says what the numbers are; returns the caption."""
    plate = {"boxstyle": "round,pad=0.2", "facecolor": "white", "edgecolor": "none", "alpha": 0.7}
    labels = [
        ax.annotate(
            format_stat(inp.stat(region)),
            xy=(c1, c2),
            xycoords="axes fraction",
            xytext=(0.0, 0.0),
            textcoords="offset points",
            ha="center",
            va="center",
            color="black",
            fontsize=_LABEL_SIZE,
            bbox=plate,
        )
        for region, c1, c2 in zip(inp.stats, centre1, centre2, strict=True)
        if math.isfinite(c1) and math.isfinite(c2)
    ]
    _separate_labels(fig, ax, labels, 0.0)
    # Regions are small here, so their labels carry the number only; what the
    # number is is said once, above the left panel, beside the main title. It
    # reaches over the image's corner, so the layout must not make room for it.
    caption = ax_y.set_title(
        f"{inp.side()} {inp.score_name} per region", fontsize=_LABEL_SIZE, loc="left"
    )
    caption.set_in_layout(False)
    return caption


def _place_corner_legend(fig: Figure, ax_y: Axes) -> float:
    """Put the left histogram's legend just below that panel and its labels,
    right-aligned with it, so it fills the empty corner of the grid and the
    left margin instead of covering bars. Needs the final layout.

    Returns how far (as a fraction of the figure's width) it would stick out
    on the left.
    """
    legend = ax_y.get_legend()
    if legend is None:
        return 0.0
    pt = fig.dpi / 72.0
    right = ax_y.get_position().x1
    bottom = ax_y.get_tightbbox().y0
    legend.set_bbox_to_anchor((right, (bottom - 2.0 * pt) / fig.bbox.height), fig.transFigure)
    x0 = legend.get_window_extent().x0
    return (4.0 * pt - x0) / fig.bbox.width if x0 < 4.0 * pt else 0.0


def _fit_caption(ax: Axes, caption: Any) -> None:
    """In a narrow figure the caption over the left panel breaks into two lines
    rather than run into the main title."""
    text = caption.get_text()
    if not text:
        return
    if caption.get_window_extent().x1 + 2.0 <= ax.title.get_window_extent().x0:
        return
    head, sep, tail = text.partition(" per region")
    if sep:
        caption.set_text(head + "\nper region" + tail)


def _lay_out(fig: Figure, drawn: _Drawn) -> None:
    # The figure-wide tight layout skips a grid with its own spacing (and
    # warns that it did); the grid's own layout arranges these panels.
    drawn.gs.tight_layout(fig)
    if drawn.ax_y is None:
        return
    overflow = _place_corner_legend(fig, drawn.ax_y)
    if 0 < overflow < 0.12:
        # Short tick labels leave a margin too narrow for the legend: lay the
        # panels out again with that much more room on the left.
        drawn.gs.tight_layout(fig, rect=(overflow, 0.0, 1.0, 1.0))
        _place_corner_legend(fig, drawn.ax_y)
    elif overflow > 0:
        # A figure this small has no room to spare: keep the legend whole at
        # the left edge rather than squeeze the panels.
        legend = drawn.ax_y.get_legend()
        pt = fig.dpi / 72.0
        y = legend.get_bbox_to_anchor().y0 / fig.bbox.height
        legend.set_loc("upper left")
        legend.set_bbox_to_anchor((4.0 * pt / fig.bbox.width, y), fig.transFigure)
    _fit_caption(drawn.ax, drawn.caption)


def plot_marginal(
    diagnose_result: Any, grid: Any = 1000, scaler: Any = None, figsize: Any = (6, 6)
) -> None:
    """Draw the weak regions of a diagnosis over its slicing features.

    The body of ``LowPatch.plot_marginal``, whose docstring says what is
    drawn. Returns None and leaves the figure current.

    Examples
    --------
    >>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
    """
    inp = _read_inputs(diagnose_result, grid)
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=figsize)
    try:
        if _has_levels(inp):
            from mirt.diagnoser import _marginal_levels as levels

            if len(inp.fidx) == 1:
                drawn = levels.plot_one_feature(fig, inp)
            else:
                drawn = levels.plot_two_features(fig, inp, scaler)
        else:
            plot = _plot_one_feature if len(inp.fidx) == 1 else _plot_two_features
            drawn = plot(fig, inp, scaler)
        _lay_out(fig, drawn)
    except BaseException:
        # No half-drawn figure is left behind to be saved by mistake.
        plt.close(fig)
        raise
    plt.show()
