from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import DataConversionWarning

from mirt.exceptions import MirtError
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

X3 = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]])
Y3 = np.array([1.0, 2.0, 3.0])


def validate(weights, x=X3, y=Y3, model=None):
    model = model or XGB2Regressor()
    return model._validate_input(x, y, weights)


class TestWeights:
    @pytest.mark.parametrize(
        ("weights", "rows", "expected"),
        [
            ([0, 1, 1], [1, 2], [1.0, 1.0]),
            ([-1, 3, 1], [1, 2], [1.5, 0.5]),
            ([np.nan, 2, 6], [1, 2], [0.5, 1.5]),
            (np.array([[2.0], [6.0], [0.0]]), [0, 1], [0.5, 1.5]),
            (np.array([0, 2, 6], dtype=object), [1, 2], [0.5, 1.5]),
        ],
    )
    def test_non_positive_rows_are_dropped_and_the_rest_sum_to_their_count(
        self, weights, rows, expected
    ):
        x, y, w = validate(weights)
        np.testing.assert_array_equal(x, X3[rows])
        np.testing.assert_array_equal(y, Y3[rows])
        assert w.dtype == np.float64 and w.ndim == 1
        np.testing.assert_array_equal(w, expected)

    def test_rescaling_equals_numpys_formula_to_the_bit(self):
        rng = np.random.default_rng(1)
        x = rng.normal(size=(1000, 2))
        weights = rng.normal(size=1000)
        _, _, w = validate(weights, x, x[:, 0])
        kept = weights[weights > 0]
        np.testing.assert_array_equal(w, len(kept) * kept / np.sum(kept))

    def test_inputs_are_not_modified(self):
        x, y, weights = X3.copy(), Y3.copy(), np.array([0.0, 2.0, 6.0])
        validate(weights, x, y)
        np.testing.assert_array_equal(weights, [0.0, 2.0, 6.0])
        np.testing.assert_array_equal(x, X3)

    def test_without_weights_every_row_gets_one(self):
        _, _, w = validate(None)
        np.testing.assert_array_equal(w, np.ones(3))

    @pytest.mark.parametrize(
        "weights", [2.0, [1, 1, 1, 1], [1, 1], np.ones((3, 2)), np.ones((3, 1, 1))]
    )
    def test_weights_not_one_per_row_are_a_shape_mismatch(self, weights):
        with pytest.raises(ValueError, match="^sample_weight shape mismatches the input$"):
            validate(weights)

    def test_no_positive_weight_is_invalid_before_the_one_row_test(self):
        with pytest.raises(ValueError, match="^Invalid sample_weight$"):
            validate([0, 0, -1])

    def test_infinite_weight_is_refused(self):
        with pytest.raises(ValueError, match="Invalid sample_weight"):
            validate([1.0, np.inf, 2.0])

    def test_one_remaining_row_is_refused(self):
        with pytest.raises(ValueError, match="^n_samples=1$"):
            validate([0, 5], X3[:2], Y3[:2])
        with pytest.raises(ValueError, match="^n_samples=1$"):
            validate(None, X3[:1], Y3[:1])

    def test_features_are_counted_on_the_full_input(self):
        model = XGB2Regressor()
        with pytest.raises(ValueError, match="n_samples=1"):
            validate([0, 0, 1.0], np.zeros((3, 4)), Y3, model=model)
        assert model.n_features_in_ == 4


class TestTargets:
    def test_regressor_flattens_a_column_target_with_a_warning(self):
        with pytest.warns(DataConversionWarning):
            _, y, _ = validate(None, X3, Y3[:, None])
        assert y.shape == (3,)

    def test_regressor_refuses_non_numeric_targets_and_bad_x(self):
        with pytest.raises(ValueError):
            validate(None, X3, np.array(["a", "b", "c"], dtype=object))
        with pytest.raises(ValueError, match="NaN"):
            validate(None, np.array([[0.0], [np.nan], [1.0]]), Y3)

    def test_classifier_encodes_the_later_label_as_one(self):
        model = XGB2Classifier()
        labels = np.array(["zeta", "alpha", "zeta"])
        _, y, _ = model._validate_input(X3, labels, None)
        np.testing.assert_array_equal(model.classes_, ["alpha", "zeta"])
        np.testing.assert_array_equal(y, [1.0, 0.0, 1.0])
        assert y.dtype == np.float64

    def test_classifier_flattens_a_column_of_labels(self):
        model = XGB2Classifier()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DataConversionWarning)
            _, y, _ = model._validate_input(X3, np.array([[3], [7], [3]]), None)
        np.testing.assert_array_equal(y, [0.0, 1.0, 0.0])

    def test_classes_are_those_of_the_kept_rows(self):
        model = XGB2Classifier()
        with pytest.raises(ValueError, match="^Classifier can't train when only one class"):
            model._validate_input(X3, np.array([0, 1, 1]), [0.0, 1.0, 1.0])
        np.testing.assert_array_equal(model.classes_, [1])

    def test_more_than_two_classes_are_refused(self):
        with pytest.raises(ValueError, match="^multi-classification not supported$"):
            XGB2Classifier()._validate_input(X3, np.array(["a", "b", "c"]), None)


class TestColumns:
    FRAME = pd.DataFrame(
        {
            "age": [30.0, 40.0, 50.0, 60.0],
            "sex": pd.Categorical(["f", "m", "f", "m"]),
            "city": pd.Series(["a", "b", "a", "c"], dtype="string"),
            "note": np.array(["x", 1, 2.0, "y"], dtype=object),
            "count": np.array([1, 2, 3, 4], dtype=object),
        }
    )

    @pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
    def test_category_and_text_columns_are_named_in_the_refusal(self, cls):
        y = np.array([0, 1, 0, 1])
        with pytest.raises(MirtError, match=cls.__name__) as err:
            cls(n_estimators=2).fit(self.FRAME, y)
        assert all(f"'{c}'" in str(err.value) for c in ("sex", "city", "note"))
        assert "'age'" not in str(err.value) and "'count'" not in str(err.value)
        with pytest.raises(MirtError, match=r"column 1 \(<U1\)"):
            cls(n_estimators=2).fit(np.array([["1", "b"], ["2", "c"]]), y[:2])
        cls(n_estimators=2).fit(self.FRAME[["age", "count"]], y)
