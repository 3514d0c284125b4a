"""LowPatch on mixed frames: a pipeline that encodes its own categories, the
reports on categorical features, and the inputs that could go wrong."""

from __future__ import annotations

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from sklearn.compose import make_column_transformer
from sklearn.linear_model import LinearRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from mirt.diagnoser.levels import MAX_LEVELS, LevelSet
from mirt.diagnoser.lowpatch import LowPatch
from mirt.exceptions import MirtError
from mirt.plots import DARK

CITIES = ["Brest", "Lille", "Lyon", "Nice", "Paris"]


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


def mixed(n=3000, seed=0):
    """Nice and Lille are weak (noisy), and so are ages above 70."""
    rng = np.random.default_rng(seed)
    city = rng.choice(CITIES, n).astype(object)
    city[rng.uniform(size=n) < 0.03] = None
    frame = pd.DataFrame(
        {
            "city": city,
            "grade": pd.Categorical(rng.choice(list("ABC"), n), categories=list("ABCD")),
            "member": rng.uniform(size=n) < 0.4,
            "age": rng.integers(18, 90, n).astype(float),
        }
    )
    noisy = frame["city"].isin(["Nice", "Lille"]).to_numpy() | (frame["age"] > 70).to_numpy()
    y = frame["age"] / 10 + 2.0 * frame["member"] + rng.normal(size=n) * (1 + 3 * noisy)
    return frame, pd.Series(y, name="y"), noisy


@pytest.fixture(scope="module")
def fitted_pipeline():
    frame, y, noisy = mixed()
    encode = make_column_transformer(
        (OneHotEncoder(handle_unknown="ignore"), ["city", "grade", "member"]),
        remainder="passthrough",
    )
    model = make_pipeline(encode, LinearRegression())
    train, test = np.arange(2000), np.arange(2000, len(frame))
    model.fit(frame.iloc[train], y.iloc[train])
    return frame, y, noisy, model, train, test


def test_a_pipeline_on_a_mixed_frame_finds_the_weak_levels(fitted_pipeline):
    frame, y, noisy, model, train, test = fitted_pipeline
    lp = LowPatch(model, ["city"], min_samples=20)
    lp.fit(frame, y, train, test)
    table = lp.output
    assert list(table.columns[:2]) == ["[city", "city)"]
    weak = table["[city"].iloc[0]
    assert isinstance(weak, LevelSet) and table["city)"].iloc[0] == weak
    assert set(weak.labels) == {"Lille", "Nice"} and repr(weak) == "{'Lille', 'Nice'}"
    rows = lp.get_target_rows()
    assert frame.iloc[rows]["city"].isin(["Lille", "Nice"]).all()
    in_weak = frame.iloc[train]["city"].isin(["Lille", "Nice"]).sum()
    assert table["#Train"].iloc[0] == in_weak == len(rows)
    # Levels beside numbers, and the tree's sets of levels.
    for method in ("histogram", "tree"):
        two = LowPatch(model, ["age", "city"], method=method, min_samples=20)
        two.fit(frame, y, train, test)
        found = np.zeros(len(frame), dtype=bool)
        found[train[two.get_target_idx()]] = True
        truth = noisy[train]
        jaccard = (found[train] & truth).sum() / (found[train] | truth).sum()
        assert jaccard > 0.6, method
    # The region image has a row per level beside the numeric axis.
    LowPatch.plot_marginal(two.get_marginal())
    levels_panel = plt.gcf().axes[2]
    assert {t.get_text() for t in levels_panel.get_yticklabels()} == set(CITIES) | {"missing"}


def test_reports_and_plots_read_levels(fitted_pipeline):
    frame, y, _, model, train, test = fitted_pipeline
    lp = LowPatch(model, ["city"], min_samples=20, use_test=True)
    lp.fit(frame, y, train, test)
    distance = lp.get_distance()
    assert "city" in distance.value["x"][:2]
    shift = lp.get_shift(show_feature="city").value
    column = shift["data"]["city"]
    assert shift["feature_type"] == "categorical"
    assert list(column.cat.categories) == CITIES + ["missing"]
    weak_rows = shift["data"][shift["data"]["resi_type_"] == "Weak Regions"]
    assert set(weak_rows["city"]) == {"Lille", "Nice"}
    # Every level, the one no row has too, is a bar of the shift chart.
    grade = lp.get_shift(show_feature="grade")
    fig = grade.plot()
    assert [t.get_text() for t in fig.axes[0].get_xticklabels()] == list("ABCD")
    LowPatch.plot_marginal(lp.get_marginal())
    main, share = plt.gcf().axes[:2]
    names = [t.get_text() for t in share.get_xticklabels()]
    assert set(names) == set(CITIES) | {"missing"}
    dark = [p for p in main.patches if p.get_facecolor()[:3] == plt.matplotlib.colors.to_rgb(DARK)]
    weak_positions = sorted(names.index(c) for c in ("Lille", "Nice"))
    assert sorted(round(p.get_x() + p.get_width() / 2) for p in dark) == weak_positions
    # Every level has rows, and the weak two are the worst: drawn last.
    assert weak_positions == [len(names) - 2, len(names) - 1]
    fig = lp.get_result().plot()
    assert "city in {'Lille', 'Nice'}" in [t.get_text() for t in fig.axes[0].get_yticklabels()]


def test_levels_that_could_go_wrong():
    rng = np.random.default_rng(1)
    n = 400
    train, test = np.arange(300), np.arange(300, n)
    late = np.array(["a"] * 200 + ["b"] * 100 + ["a"] * 50 + ["b"] * 30 + ["new"] * 20)
    x = pd.DataFrame(
        {
            "rare": [f"r{k:03d}" for k in range(n)],  # every level rarer than min_samples
            "one": ["only"] * n,
            "late": late,  # "new" only in the test rows
            "z": rng.normal(size=n),
        }
    )
    y = rng.normal(size=n)
    pred = y + rng.normal(size=n) * (1 + 3 * (late != "a"))
    fit = {"prediction": pred}
    # Levels of 1 row each: the weak ones together are one region, their set.
    rare = LowPatch(None, ["rare"], min_samples=20)
    rare.fit(x, y, train, test, **fit)
    region = rare.output["[rare"].iloc[0]
    assert rare.output["#Train"].iloc[0] == len(region) >= 20 and rare.output["#Test"].iloc[0] == 0
    # A single level is weak only when everything is: with threshold 0.5 it is.
    for method in ("histogram", "tree"):
        one = LowPatch(None, ["one"], method=method, threshold=0.5, min_samples=5)
        one.fit(x, y, train, test, **fit)
        if method == "histogram":
            assert one.output["[one"].iloc[0].labels == ("only",)
            assert one.output["#Train"].iloc[0] == len(train)
        else:  # the tree cannot split a single level
            assert one.output is None
    # A level the searched rows lack is kept, counted (0 rows) and shown.
    lp = LowPatch(None, ["late"], min_samples=20)
    lp.fit(x, y, train, test, **fit)
    assert lp.output["[late"].iloc[0].labels == ("b",) and lp.output["#Test"].iloc[0] == 30
    counts = {r["splits"]["f0"]["lb"].labels: r["counts"] for r in lp.diag.rule_list}
    assert counts == {("b",): 100, ("a",): 200, ("new",): 0}
    on_test = LowPatch(None, ["late"], min_samples=20, use_test=True)
    on_test.fit(x, y, train, test, **fit)
    assert set(on_test.output["[late"].iloc[0].labels) == {"b", "new"}
    data = on_test.get_shift(show_feature="late").value["data"]
    assert (data["late"] == "new").sum() == 20 and list(data["late"].cat.categories) == [
        "a",
        "b",
        "new",
    ]
    # A numeric column typed categorical may have MAX_LEVELS levels, not more.
    ids = np.arange(MAX_LEVELS + 1, dtype=float)
    zeros = np.zeros(ids.size)
    kinds = ["categorical", "numerical"]
    for top, ok in ((MAX_LEVELS - 1, True), (MAX_LEVELS, False)):
        big = pd.DataFrame({"id": np.minimum(ids, top), "z": rng.normal(size=ids.size)})
        lp = LowPatch(None, ["id"], min_samples=2)
        if ok:
            lp.fit(big, zeros, np.arange(ids.size), [], prediction=big["z"], feature_types=kinds)
            assert len(lp.levels["id"]) == MAX_LEVELS
            assert sum(r["counts"] for r in lp.diag.rule_list) == ids.size
            continue
        with pytest.raises(MirtError, match="more than the 100000"):
            lp.fit(big, zeros, np.arange(ids.size), [], prediction=big["z"], feature_types=kinds)
