from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from mirt.exceptions import MirtError
from mirt.models.utils import predict_1D_func_tree, predict_2D_func_tree


def reference_cells(col, splits, xgb_rule):
    """Plain numpy formulation of the two rules."""
    col = np.asarray(col, dtype=np.float64)
    if xgb_rule:
        return np.searchsorted(splits, col.astype(np.float32).astype(np.float64), side="right")
    return np.searchsorted(splits, col, side="left")


float32_splits = hnp.arrays(
    np.float32,
    st.integers(0, 30),
    elements=st.floats(-1e3, 1e3, width=32),
    unique=True,
).map(lambda a: np.sort(a).astype(np.float64))


@settings(max_examples=150, deadline=None)
@given(
    splits=float32_splits,
    data=st.data(),
    xgb_rule=st.booleans(),
)
def test_main_effect_lookup_matches_the_numpy_formulation(splits, data, xgb_rule):
    n = data.draw(st.integers(0, 40))
    # Values on the split points, one float64 step either side of them, and anywhere.
    near = [np.nextafter(s, d) for s in splits for d in (-np.inf, np.inf)]
    pool = st.sampled_from(list(splits) + near) if splits.size else st.just(0.0)
    col = np.array(
        data.draw(st.lists(st.one_of(pool, st.floats(-2e3, 2e3)), min_size=n, max_size=n)),
        dtype=np.float64,
    )
    values = np.arange(splits.size + 1, dtype=np.float64) * 1.5 - 3.0
    X = np.column_stack([np.zeros(n), col])
    got = predict_1D_func_tree([1], splits, values, xgb_rule)(X)
    np.testing.assert_array_equal(got, values[reference_cells(col, splits, xgb_rule)])


@settings(max_examples=80, deadline=None)
@given(s1=float32_splits, s2=float32_splits, seed=st.integers(0, 2**32 - 1), xgb_rule=st.booleans())
def test_interaction_lookup_reads_each_column_on_its_own_grid(s1, s2, seed, xgb_rule):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.1e3, 1.1e3, size=(50, 3))
    if s1.size:
        X[::3, 2] = rng.choice(s1, size=X[::3].shape[0])
    if s2.size:
        X[1::3, 0] = rng.choice(s2, size=X[1::3].shape[0])
    values = rng.normal(size=(s1.size + 1, s2.size + 1))
    got = predict_2D_func_tree((2, 0), s1, s2, values, xgb_rule)(X)
    want = values[reference_cells(X[:, 2], s1, xgb_rule), reference_cells(X[:, 0], s2, xgb_rule)]
    np.testing.assert_array_equal(got, want)


class TestSplitPointRules:
    def test_a_value_on_a_split_point_takes_the_upper_cell_under_xgboosts_rule(self):
        f = predict_1D_func_tree(0, [1.0, 2.0], [10.0, 20.0, 30.0], True)
        g = predict_1D_func_tree(0, [1.0, 2.0], [10.0, 20.0, 30.0], False)
        X = np.array([[0.0], [1.0], [1.5], [2.0], [9.0]])
        np.testing.assert_array_equal(f(X), [10, 20, 20, 30, 30])
        np.testing.assert_array_equal(g(X), [10, 10, 20, 20, 30])

    def test_xgboosts_rule_compares_in_float32(self):
        t = float(np.float32(0.1))
        below = np.nextafter(t, 0.0)  # smaller in float64, equal in float32
        f = predict_1D_func_tree(0, [t], [0.0, 1.0], True)
        g = predict_1D_func_tree(0, [t], [0.0, 1.0], False)
        X = np.array([[below]])
        assert f(X)[0] == 1.0
        assert g(X)[0] == 0.0

    def test_infinite_values_fall_into_the_outer_cells(self):
        f = predict_1D_func_tree(0, [0.0], [-1.0, 1.0])
        np.testing.assert_array_equal(f(np.array([[-np.inf], [np.inf]])), [-1.0, 1.0])

    def test_an_effect_without_split_points_is_constant(self):
        f = predict_2D_func_tree((0, 1), [], [0.5], [[2.0, 3.0]])
        np.testing.assert_array_equal(f(np.array([[-5.0, 0.0], [5.0, 1.0]])), [2.0, 3.0])


class TestDataMatrices:
    splits = np.array([-0.5, 0.0, 0.5])
    values = np.array([1.0, 2.0, 3.0, 4.0])

    def expected(self, col):
        return self.values[reference_cells(col, self.splits, True)]

    @pytest.mark.parametrize(
        "convert",
        [
            lambda X: X,
            np.asfortranarray,
            lambda X: X.astype(np.float32),
            lambda X: pd.DataFrame(X, columns=list("abcd")),
            lambda X: pd.DataFrame(X).astype("Float64"),
            lambda X: X.tolist(),
            lambda X: np.repeat(X, 2, axis=1)[:, ::2],  # a strided view
        ],
        ids=["c-order", "f-order", "float32", "dataframe", "nullable", "list", "strided"],
    )
    def test_any_numeric_matrix_layout_gives_the_same_values(self, convert):
        X = np.random.default_rng(0).normal(size=(200, 4))
        X[:5, 2] = self.splits[[0, 1, 2, 0, 2]]
        got = predict_1D_func_tree(2, self.splits, self.values)(convert(X))
        # The split points are float32 numbers, so float32 input lands in the same cells.
        np.testing.assert_array_equal(got, self.expected(X[:, 2]))

    def test_integer_and_boolean_columns_are_read_as_numbers(self):
        X = np.array([[-1, 0], [0, 1], [1, 1]])
        f = predict_1D_func_tree(0, self.splits, self.values)
        np.testing.assert_array_equal(f(X), [1.0, 3.0, 4.0])
        np.testing.assert_array_equal(f(X.astype(bool)), [4.0, 3.0, 4.0])
        # Nullable pandas columns arrive as object arrays of numbers.
        np.testing.assert_array_equal(f(X.astype(object)), [1.0, 3.0, 4.0])

    def test_an_empty_matrix_gives_an_empty_result(self):
        f = predict_2D_func_tree((0, 1), [0.0], [0.0], np.zeros((2, 2)))
        assert f(np.zeros((0, 2))).shape == (0,)

    def test_the_callable_survives_pickling(self):
        f = predict_2D_func_tree((1, 0), [0.0], [1.0], [[1.0, 2.0], [3.0, 4.0]], False)
        g = pickle.loads(pickle.dumps(f))
        X = np.array([[0.0, 1.0], [2.0, -1.0]])
        np.testing.assert_array_equal(g(X), f(X))
        assert "rule='at-most-left'" in repr(g)


class TestBadInput:
    f = staticmethod(lambda: predict_2D_func_tree((0, 2), [0.0], [1.0], np.zeros((2, 2))))

    def test_nan_is_refused_naming_its_row_and_column(self):
        X = np.zeros((4, 3))
        X[2, 2] = np.nan
        with pytest.raises(MirtError, match=r"NaN in row 2 \(column 0 or 2\)"):
            self.f()(X)

    def test_too_few_columns_are_refused(self):
        with pytest.raises(MirtError, match="X has 2 columns, but the effect reads column 2"):
            self.f()(np.zeros((3, 2)))

    @pytest.mark.parametrize("X", [np.zeros(3), np.zeros((2, 3, 1)), 5.0])
    def test_matrices_of_other_dimensions_are_refused(self, X):
        with pytest.raises(MirtError, match="two-dimensional"):
            self.f()(X)

    def test_non_numeric_matrices_are_refused(self):
        with pytest.raises(TypeError, match="must hold numbers"):
            self.f()(np.array([["a", "b", "c"]]))
        with pytest.raises(TypeError, match="must hold numbers"):
            self.f()(np.array([["a", "b", "c"]], dtype=object))
        with pytest.raises(TypeError, match="None"):
            self.f()(None)

    @pytest.mark.parametrize(
        "splits, message",
        [
            ([1.0, 0.0], "strictly increasing"),
            ([0.0, 0.0], "strictly increasing"),
            ([0.0, np.nan], "finite"),
            ([[0.0, 1.0]], "one-dimensional"),
        ],
    )
    def test_unusable_split_points_are_refused_when_the_function_is_built(self, splits, message):
        with pytest.raises(MirtError, match=message):
            predict_1D_func_tree(0, splits, np.zeros(3))

    def test_values_must_fit_the_grid(self):
        with pytest.raises(MirtError, match=r"shape \(3,\)"):
            predict_1D_func_tree(0, [0.0, 1.0], [1.0, 2.0])
        with pytest.raises(MirtError, match=r"shape \(2, 3\)"):
            predict_2D_func_tree((0, 1), [0.0], [0.0, 1.0], np.zeros((3, 2)))

    @pytest.mark.parametrize(
        "fidx, exc, message",
        [
            ((3, 3), MirtError, "two different columns"),
            ((0,), MirtError, "must hold 2"),
            ((0, 1, 2), MirtError, "must hold 2"),
            ((-1, 0), MirtError, "non-negative"),
            ((0.0, 1), TypeError, "integers"),
            ((True, 1), TypeError, "integers"),
            ("01", TypeError, "sequence"),
        ],
    )
    def test_column_indices_are_checked(self, fidx, exc, message):
        with pytest.raises(exc, match=message):
            predict_2D_func_tree(fidx, [0.0], [0.0], np.zeros((2, 2)))

    def test_a_main_effect_takes_one_index_bare_or_in_a_sequence(self):
        X = np.array([[0.0, 5.0]])
        for fidx in (1, [1], (1,), np.array([1]), np.int64(1)):
            assert predict_1D_func_tree(fidx, [1.0], [0.0, 7.0])(X)[0] == 7.0
        with pytest.raises(MirtError, match="must hold 1"):
            predict_1D_func_tree((0, 1), [1.0], [0.0, 7.0])
