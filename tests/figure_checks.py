"""Checks of drawn figures through their artists."""

from __future__ import annotations

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.text import Text


def _undrawn_tick_labels(fig) -> set[int]:
    """Labels of ticks outside their axis's view, which matplotlib keeps but skips."""
    skipped = set()
    for ax in fig.axes:
        for axis in (ax.xaxis, ax.yaxis):
            lo, hi = sorted(axis.get_view_interval())
            slack = 1e-9 * (hi - lo)
            for tick in axis.get_major_ticks() + axis.get_minor_ticks():
                if not lo - slack <= tick.get_loc() <= hi + slack:
                    skipped.update((id(tick.label1), id(tick.label2)))
    return skipped


def stray_texts(fig) -> list[str]:
    """The drawn texts of a figure that reach outside it (1 pixel of slack)."""
    canvas = fig.canvas if isinstance(fig.canvas, FigureCanvasAgg) else FigureCanvasAgg(fig)
    canvas.draw()
    renderer = canvas.get_renderer()
    skipped = _undrawn_tick_labels(fig)
    box = fig.bbox
    out = []
    for text in fig.findobj(Text):
        if id(text) in skipped or not (text.get_visible() and text.get_text().strip()):
            continue
        e = text.get_window_extent(renderer)
        if e.x0 < box.x0 - 1 or e.y0 < box.y0 - 1 or e.x1 > box.x1 + 1 or e.y1 > box.y1 + 1:
            out.append(text.get_text())
    return out
