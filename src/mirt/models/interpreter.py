"""Read a model that is a sum of main effects and pairwise interactions.

:class:`FANOVAInterpreter` is what a user reads a fitted functional-ANOVA
model through: which effects matter, what shape each has, and how one
prediction is made up.
"""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from mirt.exceptions import MirtError
from mirt.models.utils import find_effect, is_dask

if TYPE_CHECKING:  # matplotlib is imported when a figure is drawn
    from matplotlib.figure import Figure

__all__ = ["FANOVAInterpreter"]


def _figure(**kwargs: Any) -> Figure:
    from matplotlib.figure import Figure

    return Figure(**kwargs)


# Bar charts grow by this much per bar (inches) up to _MAX_BARS bars; more
# would not stay legible in a figure of bounded height, so the rest are added
# up in one last bar.
_BAR_PITCH = 0.3
_MAX_BARS = 40


def _bar_figsize(labels: Sequence[str], extra_height: float = 0.0) -> tuple[float, float]:
    """A bar chart's size: taller with the bar count, wider with the longest
    label, bounded both ways."""
    longest = max((len(label) for label in labels), default=0)
    width = min(10.0, max(6.0, 3.5 + 0.075 * longest))
    return width, 1.3 + extra_height + _BAR_PITCH * max(len(labels), 1)


# Longer bar labels are cut in the middle, so that the bars keep their room.
_MAX_LABEL = 45


def _short(text: str) -> str:
    if len(text) <= _MAX_LABEL:
        return text
    half = (_MAX_LABEL - 1) // 2
    return text[:half] + "\u2026" + text[-half:]


# The colour of a bar that adds up several effects.
_LUMPED = "0.65"


def _bar_chart(
    labels: list[str],
    values: np.ndarray,
    colors: Sequence[str],
    value_labels: list[str],
    figsize: tuple[float, float] | None,
    extra_height: float = 0.0,
) -> tuple[Figure, Any]:
    """Horizontal bars, the first on top, each labelled with its value."""
    n = len(labels)
    fig = _figure(figsize=figsize or _bar_figsize(labels, extra_height))
    ax = fig.add_subplot()
    positions = np.arange(n)[::-1]
    bars = ax.barh(positions, values, height=0.7, color=colors)
    ax.bar_label(bars, labels=value_labels, padding=2, fontsize=7)
    ax.set_yticks(positions, labels=labels, fontsize=8)
    if n:
        # The bars fill the panel: no empty band above or below them.
        ax.set_ylim(-0.5, n - 0.5)
    return fig, ax


def _lump(labels: list[str], values: np.ndarray, keep: int) -> tuple[list, np.ndarray, bool]:
    """The first ``keep`` bars and, when more are left, one bar adding them up;
    the flag says whether that last bar was made."""
    if len(labels) <= keep:
        return labels, values, False
    rest = len(labels) - keep
    return (
        [*labels[:keep], f"other {rest} effects"],
        np.append(values[:keep], values[keep:].sum()),
        True,
    )


class FANOVAInterpreter:
    """Importance, plots and local explanations of an additive-effect model.

    The model is read, not copied: every method uses the model's current
    ``effects_``, so a model parsed again is seen as it is now.

    Parameters
    ----------
    model : object
        A parsed model with ``effects_`` (dict of effect records with
        ``"fidx"``, ``"split_unique_list"``, ``"values"`` and optionally
        ``"name"``, ``"type"`` and ``"importance"``), ``intercept_`` (float,
        margin units), ``X_`` (the training matrix), ``feature_names_`` and
        ``partial_dependence(fidx, X)``, which evaluates one effect.

    Examples
    --------
    >>> import numpy as np
    >>> from mirt.models.utils import predict_1D_func_tree
    >>> class Additive:
    ...     def __init__(self):
    ...         self.X_ = np.random.default_rng(0).normal(size=(100, 2))
    ...         self.feature_names_ = ["a", "b"]
    ...         self.intercept_ = 1.0
    ...         self.effects_ = {
    ...             "a": {"fidx": [0], "split_unique_list": [np.array([0.0])],
    ...                   "values": np.array([-1.0, 1.0])},
    ...             "b": {"fidx": [1], "split_unique_list": [np.array([0.0])],
    ...                   "values": np.array([-0.1, 0.1])}}
    ...     def partial_dependence(self, fidx, X):
    ...         rec = next(r for r in self.effects_.values() if set(r["fidx"]) == set(fidx))
    ...         return predict_1D_func_tree(rec["fidx"], rec["split_unique_list"][0],
    ...                                     rec["values"])(X)
    >>> fanova = FANOVAInterpreter(Additive())
    >>> fanova.importance()["effect"].tolist()
    ['a', 'b']
    >>> round(float(fanova.explain_local(np.array([1.0, -1.0]))["contribution"].sum()), 6)
    1.9
    """

    def __init__(self, model: Any) -> None:
        self.model = model

    # ------------------------------------------------------------------ access
    def _effects(self) -> dict[Any, dict[str, Any]]:
        effects = getattr(self.model, "effects_", None)
        if effects is None:
            raise MirtError(
                "the model has no effects yet; fit it and call parse_model before interpreting it"
            )
        return effects

    def _feature_names(self) -> list[str]:
        names = getattr(self.model, "feature_names_", None)
        if names is None:
            # The shape alone, which a Dask matrix knows without computing.
            return [f"X{j}" for j in range(np.shape(self.model.X_)[1])]
        return [str(n) for n in names]

    def _name(self, key: Any, rec: dict[str, Any]) -> str:
        if "name" in rec:
            return str(rec["name"])
        names = self._feature_names()
        return " x ".join(names[j] for j in rec["fidx"])

    def _lookup(self, effect: Any) -> tuple[Any, dict[str, Any]]:
        found = find_effect(self._effects(), self._feature_names(), effect)
        if found is not None:
            return found
        if isinstance(effect, str):
            raise MirtError(f"no effect named {effect!r}")
        raise MirtError(f"Effect not found: {effect!r}")

    def _target(self) -> str:
        """What the effects add up to, in words: a classifier's log-odds or a
        regressor's prediction."""
        if hasattr(self.model, "__sklearn_tags__"):
            from sklearn.base import is_classifier

            return "log-odds" if is_classifier(self.model) else "prediction"
        return "log-odds" if hasattr(self.model, "predict_proba") else "prediction"

    def _training_matrix(self) -> Any:
        X = getattr(self.model, "X_", None)
        if X is None:
            raise MirtError("the model keeps no training matrix (X_); fit it first")
        if is_dask(X):
            # Read where it lives: only ranges and bin counts reach the client.
            X = X.to_dask_array() if hasattr(X, "to_dask_array") else X
            return X.astype(np.float64)
        return np.asarray(X, dtype=np.float64)

    # -------------------------------------------------------------- importance
    def importance(self) -> pd.DataFrame:
        """Effect importance: the variance of each effect over the training matrix.

        Returns
        -------
        pandas.DataFrame
            One row per effect, sorted by decreasing importance (ties keep
            the model's order), with the columns ``effect`` (name), ``type``
            (``"main_effect"`` or ``"interaction"``), ``fidx`` (tuple of column
            indices), ``importance`` (variance of the effect over the rows of
            ``X_``) and ``percent`` (share of the summed importances, in %).

        Examples
        --------
        >>> import numpy as np
        >>> from mirt.models.xgb2.xgboost import XGB2Regressor
        >>> X = np.random.default_rng(0).uniform(size=(300, 3))
        >>> model = XGB2Regressor(n_estimators=20).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
        >>> fanova = model.parse_model()
        >>> fanova.importance()["effect"].head(3).tolist()
        ['X0', 'X2', 'X1']
        """
        rows = []
        X = None
        for key, rec in self._effects().items():
            imp = rec.get("importance")
            if imp is None:
                if X is None:
                    X = self._training_matrix()
                imp = float(np.var(self.model.partial_dependence(list(rec["fidx"]), X)))
            kind = rec.get("type") or ("main_effect" if len(rec["fidx"]) == 1 else "interaction")
            rows.append((self._name(key, rec), kind, tuple(int(j) for j in rec["fidx"]), imp))
        table = pd.DataFrame(rows, columns=["effect", "type", "fidx", "importance"])
        total = float(table["importance"].sum()) if len(table) else 0.0
        table["percent"] = 100.0 * table["importance"] / total if total > 0 else 0.0
        table = table.sort_values("importance", ascending=False, kind="stable")
        return table.reset_index(drop=True)

    def plot_importance(
        self, top_k: int | None = 10, figsize: tuple[float, float] | None = None
    ) -> Figure:
        """Horizontal bar chart of the largest effect importances.

        Parameters
        ----------
        top_k : int or None, default 10
            Number of effects shown (all when None). Beyond 39 the rest are
            added up in one bar, "other N effects", so that the figure's
            height stays bounded.
        figsize : tuple of float, optional
            Figure size in inches; by default the height grows with the bars.

        Returns
        -------
        matplotlib.figure.Figure

        Examples
        --------
        >>> import numpy as np
        >>> from mirt.models.xgb2.xgboost import XGB2Regressor
        >>> X = np.random.default_rng(0).uniform(size=(300, 3))
        >>> model = XGB2Regressor(n_estimators=20).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
        >>> fanova = model.parse_model()
        >>> fig = fanova.plot_importance(top_k=2)
        >>> len(fig.axes[0].patches)
        2
        """
        table = self.importance()
        if top_k is not None:
            if not isinstance(top_k, numbers.Integral) or top_k < 1:
                raise MirtError(f"top_k must be a positive integer or None, got {top_k!r}")
            table = table.head(int(top_k))
        labels, shares, lumped = _lump(
            [_short(e) for e in table["effect"]],
            table["percent"].to_numpy(dtype=np.float64),
            _MAX_BARS - 1,
        )
        colors = ["#4C72B0"] * len(labels)
        if lumped:
            colors[-1] = _LUMPED
        fig, ax = _bar_chart(labels, shares, colors, [f"{v:.3g}%" for v in shares], figsize)
        ax.margins(x=0.12)
        ax.set_xlabel("Share of importance (%)")
        ax.set_title("Effect importance")
        fig.tight_layout()
        return fig

    # ----------------------------------------------------------- effect shapes
    def plot_effect(
        self, effect: Any, figsize: tuple[float, float] | None = None, density: bool = True
    ) -> Figure:
        """Plot one main effect (step line) or one interaction (heatmap).

        Parameters
        ----------
        effect : str, int or sequence of int
            The effect's key or name, a feature name or column index (main
            effect), or a pair of column indices in either order.
        figsize : tuple of float, optional
            Figure size in inches.
        density : bool, default True
            For a main effect, draw the histogram of the feature's training
            values beneath the effect.

        Returns
        -------
        matplotlib.figure.Figure
            A main effect has the effect's axes first and, with ``density``,
            the histogram's below it; an interaction has the heatmap and its
            colour bar. The values are the effect's contribution to the
            prediction (to the log-odds for a classifier).

        Examples
        --------
        >>> import numpy as np
        >>> from mirt.models.xgb2.xgboost import XGB2Regressor
        >>> X = np.random.default_rng(0).uniform(size=(300, 3))
        >>> model = XGB2Regressor(n_estimators=20).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
        >>> fanova = model.parse_model()
        >>> len(fanova.plot_effect("X0").axes)  # the effect and the density beneath
        2
        >>> fig = fanova.plot_effect((2, 1))  # a heatmap with X1 across, X2 up
        """
        key, rec = self._lookup(effect)
        X = self._training_matrix()
        fidx = [int(j) for j in rec["fidx"]]
        splits = [np.asarray(s, dtype=np.float64) for s in rec["split_unique_list"]]
        values = np.asarray(rec["values"], dtype=np.float64)
        names = self._feature_names()
        what = f"Contribution to the {self._target()}"
        if len(fidx) == 1:
            fig = _figure(figsize=figsize or (6.0, 4.5))
            if density:
                grid = fig.add_gridspec(2, 1, height_ratios=(4, 1), hspace=0.05)
                ax = fig.add_subplot(grid[0])
                ax_d = fig.add_subplot(grid[1], sharex=ax)
            else:
                ax = fig.add_subplot()
            data_range = _column_range(X, fidx[0])
            edges = _edges(splits[0], data_range)
            ax.stairs(values, edges, baseline=None, color="#4C72B0", linewidth=2)
            ax.axhline(0.0, color="0.6", linewidth=0.8, zorder=0)
            ax.set_ylabel(what)
            _fit_title(ax, f"Main effect of {names[fidx[0]]}")
            if density:
                args, kwargs = _histogram(X, fidx[0], 40, data_range)
                ax_d.hist(*args, **kwargs, color="0.6")
                ax_d.set_yticks([])
                ax_d.set_ylabel("rows", fontsize=8)
                ax_d.set_xlabel(names[fidx[0]])
                ax.tick_params(labelbottom=False)
                # The figure-wide layout skips a grid with its own spacing.
                grid.tight_layout(fig, h_pad=0.3)
            else:
                ax.set_xlabel(names[fidx[0]])
                fig.tight_layout()
            return fig
        fig = _figure(figsize=figsize or (6.0, 5.0))
        ax = fig.add_subplot()
        e1 = _edges(splits[0], _column_range(X, fidx[0]))
        e2 = _edges(splits[1], _column_range(X, fidx[1]))
        vmax = float(np.max(np.abs(values))) if values.size else 0.0
        vmax = vmax if vmax > 0 else 1.0
        mesh = ax.pcolormesh(e1, e2, values.T, cmap="RdBu_r", vmin=-vmax, vmax=vmax)
        fig.colorbar(mesh, ax=ax, label=what)
        ax.set_xlabel(names[fidx[0]])
        ax.set_ylabel(names[fidx[1]])
        _fit_title(ax, f"Interaction of {names[fidx[0]]} and {names[fidx[1]]}")
        fig.tight_layout()
        return fig

    # ------------------------------------------------------- local explanation
    def explain_local(self, x: Any) -> pd.DataFrame:
        """Contribution of every effect and the intercept to one prediction.

        Parameters
        ----------
        x : array-like of shape (n_features,) or (1, n_features)
            One row of feature values.

        Returns
        -------
        pandas.DataFrame
            The intercept first, then the effects by decreasing absolute
            contribution, with the columns ``effect``, ``type``, ``value``
            (the feature value or values the effect reads) and
            ``contribution`` (margin units). The contributions sum to the
            model's margin at ``x``.

        Examples
        --------
        >>> import numpy as np
        >>> from mirt.models.xgb2.xgboost import XGB2Regressor
        >>> X = np.random.default_rng(0).uniform(size=(300, 3))
        >>> model = XGB2Regressor(n_estimators=20).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
        >>> fanova = model.parse_model()
        >>> table = fanova.explain_local(X[0])
        >>> bool(np.isclose(table["contribution"].sum(), model.predict(X[:1])[0], atol=1e-5))
        True
        """
        row = np.asarray(x, dtype=np.float64)
        if row.ndim == 2 and row.shape[0] == 1:
            row = row[0]
        if row.ndim != 1:
            raise MirtError(f"x must be one row of feature values, got shape {row.shape}")
        n_features = len(self._feature_names())
        if row.shape[0] != n_features:
            raise MirtError(f"x has {row.shape[0]} values, but the model has {n_features} features")
        rows = []
        for key, rec in self._effects().items():
            fidx = [int(j) for j in rec["fidx"]]
            contrib = float(np.asarray(self.model.partial_dependence(fidx, row[None, :]))[0])
            kind = rec.get("type") or ("main_effect" if len(fidx) == 1 else "interaction")
            value = ", ".join(f"{row[j]:.6g}" for j in fidx)
            rows.append((self._name(key, rec), kind, value, contrib))
        rows.sort(key=lambda r: -abs(r[3]))
        intercept = ("intercept", "intercept", "", float(self.model.intercept_))
        return pd.DataFrame([intercept, *rows], columns=["effect", "type", "value", "contribution"])

    def plot_local(
        self, x: Any, top_k: int | None = 10, figsize: tuple[float, float] | None = None
    ) -> Figure:
        """Bar chart of the largest contributions to one prediction.

        Parameters
        ----------
        x : array-like of shape (n_features,)
            One row of feature values.
        top_k : int or None, default 10
            Number of effects drawn one by one (all when None, at most 39);
            the others are added up in one bar, "other N effects".
        figsize : tuple of float, optional
            Figure size in inches; by default the height grows with the bars.

        Returns
        -------
        matplotlib.figure.Figure
            One bar per effect, largest on top, labelled with the feature
            values it reads and its contribution; the title states the
            prediction (a classifier's log-odds and probability) and the
            intercept, which with the bars adds up to it.

        Examples
        --------
        >>> import numpy as np
        >>> from mirt.models.xgb2.xgboost import XGB2Regressor
        >>> X = np.random.default_rng(0).uniform(size=(300, 3))
        >>> model = XGB2Regressor(n_estimators=20).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
        >>> fanova = model.parse_model()
        >>> fig = fanova.plot_local(X[0], top_k=3)
        >>> len(fig.axes[0].patches)  # three effects and one bar for the rest
        4
        """
        table = self.explain_local(x)
        if top_k is not None and (not isinstance(top_k, numbers.Integral) or top_k < 1):
            raise MirtError(f"top_k must be a positive integer or None, got {top_k!r}")
        row = np.asarray(x, dtype=np.float64).reshape(-1)
        fidx = {self._name(k, rec): rec["fidx"] for k, rec in self._effects().items()}
        intercept = float(table["contribution"].iloc[0])
        effects = table.iloc[1:]
        labels = [
            f"{_short(name)} = " + ", ".join(f"{row[int(j)]:.4g}" for j in fidx[name])
            for name in effects["effect"]
        ]
        keep = _MAX_BARS - 1 if top_k is None else min(int(top_k), _MAX_BARS - 1)
        labels, contrib, lumped = _lump(
            labels, effects["contribution"].to_numpy(dtype=np.float64), keep
        )
        # The intercept is stated, not drawn: as a bar it would dwarf the
        # effects. The bars and it add up to the stated value.
        total = intercept + float(contrib.sum())
        target = self._target()
        headline = f"Local explanation: {target} {total:.4g}"
        if target == "log-odds":
            headline += f" (probability {1.0 / (1.0 + np.exp(-total)):.3g})"
        colors = ["#C44E52" if v >= 0 else "#4C72B0" for v in contrib]
        if lumped:
            colors[-1] = _LUMPED
        value_labels = [f"{v:+.4g}" for v in contrib]
        fig, ax = _bar_chart(labels, contrib, colors, value_labels, figsize, extra_height=0.4)
        ax.margins(x=0.15)
        ax.axvline(0.0, color="0.4", linewidth=0.8)
        ax.set_xlabel(f"Contribution to the {target}")
        fig.suptitle(
            f"{headline}\n= intercept {intercept:.4g} + the bars below",
            x=0.02,
            ha="left",
            fontsize=10,
        )
        fig.tight_layout()
        return fig


def _fit_title(ax: Any, text: str, fontsize: float = 12.0) -> None:
    """A title broken into lines that fit the figure's width."""
    import textwrap

    # About 0.55 em per character of the default sans-serif font.
    chars = int(ax.figure.get_figwidth() * 72 / (0.55 * fontsize)) - 4
    ax.set_title(textwrap.fill(text, width=max(chars, 20)), fontsize=fontsize)


def _column_range(X: Any, j: int) -> tuple[float, float] | None:
    """The smallest and largest value of column j, or None for no rows."""
    column = X[:, j]
    if is_dask(X):
        import dask

        return tuple(float(v) for v in dask.compute(column.min(), column.max()))
    return (float(np.min(column)), float(np.max(column))) if column.size else None


def _histogram(
    X: Any, j: int, bins: int, data_range: tuple[float, float] | None
) -> tuple[tuple, dict]:
    """What ``Axes.hist`` draws for column j: the column itself in memory; for
    a Dask matrix, the same bins' counts, counted on the workers."""
    if not is_dask(X):
        return (X[:, j],), {"bins": bins}
    import dask.array as da

    edges = np.histogram_bin_edges(np.asarray(data_range), bins=bins)
    counts, _ = da.histogram(X[:, j], bins=edges)
    return (edges[:-1],), {"bins": edges, "weights": counts.compute()}


def _edges(splits: np.ndarray, data_range: tuple[float, float] | None) -> np.ndarray:
    """Cell edges for drawing: the split points, closed off by the data range."""
    lo, hi = data_range if data_range is not None else (0.0, 1.0)
    if splits.size:
        span = float(splits[-1] - splits[0]) or max(abs(float(splits[0])), 1.0)
        pad = 0.05 * span
        lo = min(lo, float(splits[0]) - pad)
        hi = max(hi, float(splits[-1]) + pad)
    if not hi > lo:
        lo, hi = lo - 0.5, hi + 0.5
    return np.concatenate([[lo], splits, [hi]])
