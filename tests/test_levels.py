from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from mirt import _native
from mirt.diagnoser.levels import MISSING, Levels, as_levels, encode_frame
from mirt.diagnoser.lowpatch import HistogramSlicing
from mirt.exceptions import MirtError

labels = st.sampled_from(["Lyon", "Paris", "Nice", "", "missing", None, np.nan])


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.tuples(labels, st.sampled_from([True, False, None]), st.floats(-3, 3)), min_size=1),
    st.booleans(),
)
def test_codes_decode_to_the_values_and_numbers_stay_as_they_were(rows, as_category):
    text = pd.Series([r[0] for r in rows], dtype=object)
    frame = pd.DataFrame(
        {
            "city": text.astype("category") if as_category else text,
            "flag": pd.array([r[1] for r in rows], dtype="boolean"),
            "x": [r[2] for r in rows],
        }
    )
    x, types, levels = encode_frame(frame, ["city", "flag", "x"], None)
    assert types == ["categorical", "categorical", "numerical"]
    np.testing.assert_array_equal(x[:, 2], frame["x"].to_numpy(float))
    for j, name in enumerate(["city", "flag"]):
        lv = levels[name]
        codes = x[:, j].astype(int)
        assert (codes == x[:, j]).all() and 0 <= codes.min() and codes.max() < len(lv)
        decoded = [lv.labels[c] for c in codes]
        expected = [MISSING if pd.isna(v) else v for v in frame[name]]
        assert decoded == expected
        # Every level is known on every side of a split: missing comes last,
        # a boolean always has both levels.
        assert MISSING not in lv.labels[:-1]
    assert levels["flag"].labels[:2] == (False, True)


def test_level_sets_read_as_sets_and_survive_pickling():
    city = Levels(["Lyon", "Nice", "Paris"], missing=True)
    s = city.level_set([3, 2, 0])
    assert repr(s) == "{'Lyon', 'Paris', missing}" and str(s) == repr(s)
    assert "Paris" in s and MISSING in s and "Nice" not in s and len(s) == 3
    back = pickle.loads(pickle.dumps(s))
    assert back == s and back.labels[-1] is MISSING
    assert s.mask().tolist() == [True, False, True, True]
    many = Levels(range(100)).level_set(range(50))
    assert repr(many).endswith(", ... and 38 more}")
    assert as_levels({"city": ["Lyon", MISSING]})["city"] == Levels(["Lyon"], missing=True)
    assert list(city.decode([0, 3]).categories) == ["Lyon", "Nice", "Paris", "missing"]
    with pytest.raises(MirtError, match="codes must be integers"):
        city.decode([4])
    with pytest.raises(MirtError, match="must map feature names"):
        as_levels(["Lyon"])


def test_the_weak_set_follows_from_per_level_figures_alone():
    # What a search over partial results (per-level figures) would do gives
    # the search's own set.
    rng = np.random.default_rng(5)
    codes = rng.integers(0, 6, 500).astype(float)
    scores = rng.uniform(size=500) * (1 + 2 * np.isin(codes, [2, 4]))
    counts, values, weighted, sums = _native.level_stats(codes, 6, scores)
    assert sums.tolist() == counts.tolist() and not weighted.any()
    slicer = HistogramSlicing(slice_features=["c"], min_samples=20, levels={"c": range(6)})
    slicer.feature_names = ["c"]
    slicer._fit(codes[:, None], scores, scores, scores)
    weak, in_region, count, kept = _native.weak_levels(
        counts, values, weighted, -1.0, slicer.threshold_value, 20
    )
    region = slicer.weak_region[0]["lb1"]
    assert kept and np.flatnonzero(in_region).tolist() == list(region.codes) == [2, 4]
    assert count == slicer.rule_list[0]["counts"] and weak.tolist() == in_region.tolist()
