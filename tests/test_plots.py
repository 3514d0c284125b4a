from __future__ import annotations

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import (
    MaxAbsScaler,
    MinMaxScaler,
    RobustScaler,
    StandardScaler,
)

from mirt.exceptions import MirtError
from mirt.plots import scale_plot_ticks

FRAME = pd.DataFrame({"age": [20.0, 30.0, 45.0, 60.0], "income": [1e3, 5e3, 2e4, 1e5]})
TICKS = [-1.0, 0.0, 0.5, 1.0]


@pytest.fixture
def ax():
    fig, axes = plt.subplots()
    axes.plot([-1, 1], [-1, 1])
    axes.set_xticks(TICKS)
    axes.set_yticks(TICKS)
    yield axes
    plt.close(fig)


def drawn_labels(ax, axis):
    ax.figure.canvas.draw()
    labels = ax.get_xticklabels() if axis == 0 else ax.get_yticklabels()
    return [label.get_text() for label in labels]


def expected(scaler, feature):
    column = list(FRAME.columns).index(feature)
    scaled = np.zeros((len(TICKS), FRAME.shape[1]))
    scaled[:, column] = TICKS
    return [f"{v:.3g}" for v in scaler.inverse_transform(scaled)[:, column]]


@pytest.mark.parametrize("scaler_cls", [StandardScaler, MinMaxScaler, MaxAbsScaler, RobustScaler])
@pytest.mark.parametrize("feature", ["age", "income"])
def test_labels_in_original_units(ax, scaler_cls, feature):
    scaler = scaler_cls().fit(FRAME)
    scale_plot_ticks(ax, feature, scaler, axis=0)
    assert drawn_labels(ax, 0) == expected(scaler, feature)
    np.testing.assert_array_equal(ax.get_xticks(), TICKS)


def test_only_the_requested_axis_changes(ax):
    before_x = drawn_labels(ax, 0)
    scale_plot_ticks(ax, "age", StandardScaler().fit(FRAME), axis=1)
    assert drawn_labels(ax, 0) == before_x
    assert drawn_labels(ax, 1) == expected(StandardScaler().fit(FRAME), "age")


def test_none_scaler_leaves_axis_alone(ax):
    before = drawn_labels(ax, 0)
    scale_plot_ticks(ax, "age", None, axis=0)
    assert drawn_labels(ax, 0) == before


def test_single_unnamed_column_accepts_any_name(ax):
    scaler = MinMaxScaler().fit(np.array([[10.0], [20.0]]))
    scale_plot_ticks(ax, "whatever", scaler, axis=0)
    # 0 maps exactly to the minimum; no "-0" or round-off digits.
    assert drawn_labels(ax, 0) == ["0", "10", "15", "20"]


def test_unnamed_columns_by_position(ax):
    scaler = StandardScaler().fit(FRAME.to_numpy())
    scale_plot_ticks(ax, 1, scaler, axis=0)
    assert drawn_labels(ax, 0) == expected(StandardScaler().fit(FRAME), "income")


@pytest.mark.parametrize(
    "feature, scaler, axis, message",
    [
        ("height", StandardScaler().fit(FRAME), 0, "'height' is not known"),
        ("age", StandardScaler().fit(FRAME.to_numpy()), 0, "unnamed columns"),
        ("age", StandardScaler(), 0, "must be fitted"),
        ("age", object(), 0, "inverse_transform"),
        ("age", StandardScaler().fit(FRAME), 2, "axis must be 0"),
        ("age", None, "x", "axis must be 0"),
    ],
)
def test_refused(ax, feature, scaler, axis, message):
    with pytest.raises(MirtError, match=message):
        scale_plot_ticks(ax, feature, scaler, axis)
