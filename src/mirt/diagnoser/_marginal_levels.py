"""The marginal plot over categorical slicing features: a bar per level.

A categorical feature has no axis of values for a score curve or an image of
intervals; its levels take its place, ordered by their score on the searched
rows from best to worst, so that weak levels gather on the right (or at the
top). With one feature the upper panel draws each level's score as a bar, the
levels of weak regions dark, with the threshold and each region's statistic,
and the lower panel each level's share of the rows with the share on the weak
side of the threshold. With two features the region image has a column (or
row) per level. The numbers come from the core through ``mirt._native``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from mirt import _native
from mirt.diagnoser._marginal_plot import (
    _dark2_with_white,
    _Drawn,
    _histogram_panel,
    _label_regions,
    _separate_labels,
)
from mirt.diagnoser.levels import LevelSet
from mirt.exceptions import MirtError
from mirt.plots import DARK, LIGHT, format_stat

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# More levels than this are drawn as the worst of them.
MAX_DRAWN = 40


def level_sets(stats: list[Any], k: int) -> list[LevelSet] | None:
    """The regions' level sets of slicing feature k, or None when it is numeric."""
    bounds = [region[f"lb{k + 1}"] for region in stats]
    if not any(isinstance(b, LevelSet) for b in bounds):
        return None
    if not all(isinstance(b, LevelSet) for b in bounds):
        raise MirtError(f"the weak regions mix level sets and numbers for slicing feature {k + 1}")
    return bounds


@dataclass
class LevelAxis:
    """One categorical slicing feature as the plot lays its levels out."""

    name: str
    names: list[str]  # per level
    codes: np.ndarray  # per searched row
    drawn: np.ndarray  # level codes in drawing order (positions 0, 1, ...)
    value: np.ndarray  # per level: its score, NaN without one
    share: np.ndarray  # per level: its share of the searched rows
    weak_share: np.ndarray | None  # per level: share of rows on the weak side, times share
    in_region: np.ndarray  # per level: in some weak region
    seen: int  # levels that the searched rows have

    def position(self) -> np.ndarray:
        """Per level: its position in the drawing, or -1 when it is not drawn."""
        pos = np.full(self.value.size, -1, dtype=np.int64)
        pos[self.drawn] = np.arange(self.drawn.size)
        return pos

    def caption(self) -> str:
        if self.drawn.size < self.value.size and self.drawn.size < self.seen:
            return f"{self.name} (the {self.drawn.size} worst of {self.seen} levels)"
        return self.name


def _rule_values(inp: Any, k: int, n: int) -> np.ndarray:
    """Per level, the value of the rule whose level set holds it (metrics that
    score no single row, whose levels carry only their rules' scores)."""
    value = np.full(n, np.nan)
    for rule in inp.rule_list or []:
        bounds = rule["splits"].get(f"f{k}") if isinstance(rule["splits"], dict) else None
        if bounds is not None and isinstance(bounds.get("lb"), LevelSet):
            codes = list(bounds["lb"].codes)
            value[codes] = np.where(np.isnan(value[codes]), float(rule["values"]), value[codes])
    return value


def level_axis(inp: Any, k: int, sets: list[LevelSet]) -> LevelAxis:
    levels = sets[0].levels
    n = len(levels)
    col = inp.column(k)
    zeros = np.zeros(col.size)
    if inp.scores is not None:
        counts, value, _, _ = _native.level_stats(col, n, inp.scores)
        weak_rows = (inp.sign * inp.scores <= inp.sign * inp.threshold).astype(np.float64)
        weak_share = np.nan_to_num(_native.level_stats(col, n, weak_rows)[1])
    else:
        counts = _native.level_stats(col, n, zeros)[0]
        value, weak_share = _rule_values(inp, k, n), None
    share = counts / max(col.size, 1)
    in_region = np.zeros(n, dtype=bool)
    for s in sets:
        in_region[list(s.codes)] = True
    seen = np.flatnonzero(counts > 0)
    # Best to worst: the weak side of the threshold ends up on the right.
    badness = -inp.sign * value[seen]
    order = seen[np.lexsort((seen, np.nan_to_num(badness, nan=-np.inf)))]
    if order.size > MAX_DRAWN:
        order = order[-MAX_DRAWN:]
    else:
        # Levels no searched row has are named too, after the others.
        unseen = np.flatnonzero(counts == 0)[: MAX_DRAWN - order.size]
        order = np.concatenate([order, unseen])
    return LevelAxis(
        name=inp.feature_name(k),
        names=levels.names(),
        codes=col.astype(np.int64),
        drawn=order.astype(np.int64),
        value=value,
        share=share,
        weak_share=None if weak_share is None else weak_share * share,
        in_region=in_region,
        seen=int(seen.size),
    )


def _label_levels(ax: Axes, axis: LevelAxis, horizontal: bool) -> None:
    labels = [axis.names[c] for c in axis.drawn]
    positions = np.arange(axis.drawn.size)
    if horizontal:
        ax.set_yticks(positions, labels=labels, fontsize=7)
        ax.set_ylim(-0.5, axis.drawn.size - 0.5)
        return
    # Upright while the names fit side by side.
    crowded = sum(len(s) + 1 for s in labels) > 48
    ax.set_xticks(positions, labels=labels, fontsize=7, rotation=90 if crowded else 0)
    ax.set_xlim(-0.5, axis.drawn.size - 0.5)


def share_panel(ax: Axes, inp: Any, axis: LevelAxis, horizontal: bool, legend: bool) -> None:
    """Each level's share of the rows (light) and of the rows on the weak side
    of the threshold (dark): the categorical counterpart of the histogram."""
    positions = np.arange(axis.drawn.size)
    draw = ax.barh if horizontal else ax.bar
    size = "height" if horizontal else "width"
    draw(positions, axis.share[axis.drawn], **{size: 0.8}, color=LIGHT, edgecolor="black")
    if axis.weak_share is not None:
        draw(positions, axis.weak_share[axis.drawn], **{size: 0.8}, color=DARK, edgecolor="black")
        if legend:
            labels = ["Below threshold", "Above threshold"]
            if inp.sign > 0:
                labels.reverse()
            gap = "\n" if horizontal else " "
            drawn_legend = ax.legend(
                labels,
                title=f"rows whose own{gap}{inp.score_name} is",
                title_fontsize=8,
                fontsize=8,
                loc="upper right" if horizontal else "best",
                handlelength=1.2,
            )
            # As with the histogram: the narrow panel's legend goes to the
            # corner below it once the layout is known.
            drawn_legend.set_in_layout(not horizontal)
    _label_levels(ax, axis, horizontal)
    if horizontal:
        ax.set_ylabel(axis.caption())
        ax.set_xlabel("Share")
        ax.tick_params(axis="x", labelsize=7)
    else:
        ax.set_xlabel(axis.caption())
        ax.set_ylabel("Share")
        top = float(np.nanmax(axis.share[axis.drawn], initial=0.0))
        ax.set_ylim(0.0, 1.5 * top if top > 0 else 1.0)


def plot_one_feature(fig: Figure, inp: Any) -> _Drawn:
    sets = level_sets(inp.stats, 0)
    axis = level_axis(inp, 0, sets)
    gs = fig.add_gridspec(2, 1, wspace=0.1, hspace=0.1, height_ratios=(2, 1))
    ax = fig.add_subplot(gs[0, 0])
    ax_share = fig.add_subplot(gs[1, 0], sharex=ax)
    positions = np.arange(axis.drawn.size)
    heights = axis.value[axis.drawn]
    weak = axis.in_region[axis.drawn]
    ax.bar(
        positions,
        np.nan_to_num(heights),
        width=0.8,
        color=[DARK if w else LIGHT for w in weak],
        edgecolor="black",
        lw=0.5,
    )
    ax.axhline(inp.threshold, color="red", ls="--", lw=0.5)
    ax.tick_params(labelbottom=False)
    ax.set_ylabel(inp.score_name, color="black")
    ax.set_title("Weak Regions", fontsize=15)
    shown = np.concatenate([heights[np.isfinite(heights)], [inp.threshold, 0.0]])
    lo, hi = float(shown.min()), float(shown.max())
    margin = 0.15 * (hi - lo) if hi > lo else max(abs(hi), 1e-3) * 0.1
    ax.set_ylim(lo - (margin if lo < 0 else 0.0), hi + margin)

    lifted = {
        "xytext": (0.0, 3.0),
        "textcoords": "offset points",
        "va": "bottom",
        "color": "red",
        "fontsize": 8,
    }
    labels = [
        ax.annotate(
            f"threshold {format_stat(inp.threshold)}",
            xy=(-0.5, inp.threshold),
            ha="left",
            **lifted,
        )
    ]
    pos = axis.position()
    for region, s in zip(inp.stats, sets, strict=True):
        where = pos[list(s.codes)]
        where = where[where >= 0]
        if where.size == 0:
            continue
        a, b = float(where.min()) - 0.5, float(where.max()) + 0.5
        ax.axvspan(a, b, color="red", alpha=0.08, lw=0, zorder=0)
        stat = inp.stat(region)
        top = np.nanmax(np.append(heights[where], inp.threshold))
        y = stat if math.isfinite(stat) else top
        labels.append(
            ax.annotate(inp.stat_label(stat), xy=((a + b) / 2, max(y, top)), ha="center", **lifted)
        )
    top = _separate_labels(fig, ax, labels, 3.0)
    y_lo, y_hi = ax.get_ylim()
    if top > ax.bbox.y1 and ax.bbox.height > 0:
        # Raise the top of the panel until the highest label fits inside it.
        over = (top - ax.bbox.y1) / ax.bbox.height
        ax.set_ylim(y_lo, y_hi + over * (y_hi - y_lo) / max(1e-6, 1.0 - over) * 1.05)
    share_panel(ax_share, inp, axis, horizontal=False, legend=True)
    return _Drawn(gs, ax)


def _grid(inp: Any, k: int, axis: LevelAxis | None, col: np.ndarray) -> tuple[np.ndarray, tuple]:
    """Grid points of one axis of the region image and the axis's extent."""
    if axis is not None:
        return np.arange(axis.drawn.size, dtype=np.float64), (-0.5, axis.drawn.size - 0.5)
    lo, hi = float(col.min()), float(col.max())
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    return np.linspace(lo, hi, min(inp.grid, 1000)), (lo, hi)


def _inside(region: Any, k: int, axis: LevelAxis | None, grid: np.ndarray) -> np.ndarray:
    """Which grid points of axis k lie in the region (the nearest one for a
    numeric interval narrower than the grid spacing)."""
    if axis is not None:
        s = region[f"lb{k + 1}"]
        return np.isin(axis.drawn, list(s.codes))
    lb, ub = float(region[f"lb{k + 1}"]), float(region[f"ub{k + 1}"])
    inside = (grid >= lb) & (grid <= ub)
    if not inside.any() and lb <= grid[-1] and ub >= grid[0]:
        inside[np.argmin(np.abs(grid - (lb + ub) / 2))] = True
    return inside


def plot_two_features(fig: Figure, inp: Any, scaler: Any) -> _Drawn:
    """Two slicing features, at least one of them categorical."""
    cols = [inp.column(0), inp.column(1)]
    axes: list[LevelAxis | None] = []
    for k in range(2):
        sets = level_sets(inp.stats, k)
        axes.append(None if sets is None else level_axis(inp, k, sets))
    (g1, ext1), (g2, ext2) = (_grid(inp, k, axes[k], cols[k]) for k in range(2))
    cells = np.zeros((g2.size, g1.size), dtype=np.uint8)
    centres = []
    for n, region in enumerate(inp.stats):
        in1, in2 = _inside(region, 0, axes[0], g1), _inside(region, 1, axes[1], g2)
        cells[np.ix_(in2, in1)] = n % 5 + 1
        both = in1.any() and in2.any()
        centres.append(
            (
                (np.mean(np.flatnonzero(in1)) + 0.5) / g1.size if both else math.nan,
                (np.mean(np.flatnonzero(in2)) + 0.5) / g2.size if both else math.nan,
            )
        )

    gs = fig.add_gridspec(2, 2, wspace=0.1, hspace=0.1, height_ratios=(6, 1), width_ratios=(1, 6))
    ax = fig.add_subplot(gs[0, 1])
    ax_x = fig.add_subplot(gs[1, 1], sharex=ax)
    ax_y = fig.add_subplot(gs[0, 0], sharey=ax)
    ax.imshow(
        cells[::-1],
        interpolation="nearest",
        cmap=_dark2_with_white(),
        vmin=-1,
        vmax=6,
        aspect="auto",
        extent=(*ext1, *ext2),
    )
    ax.set_xlim(*ext1)
    ax.set_ylim(*ext2)
    ax.tick_params(labelbottom=False, labelleft=False)
    ax.set_title("Weak Regions", fontsize=15)
    caption = _label_regions(fig, ax, ax_y, inp, [c[0] for c in centres], [c[1] for c in centres])
    for k, panel, horizontal in ((0, ax_x, False), (1, ax_y, True)):
        if axes[k] is not None:
            share_panel(panel, inp, axes[k], horizontal, legend=horizontal)
        else:
            _histogram_panel(
                panel, inp, cols[k], inp.feature_name(k), scaler, horizontal, with_legend=horizontal
            )
    ax_x.yaxis.tick_right()
    ax_x.yaxis.set_label_position("right")
    return _Drawn(gs, ax, ax_y, caption)
