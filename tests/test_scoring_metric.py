from __future__ import annotations

import pickle

import numpy as np
import pytest
from sklearn import metrics

from mirt.diagnoser.utils import absolute_error, get_scoring_metric, squared_error
from mirt.exceptions import MirtError

rng = np.random.default_rng(3)
Y_BIN = rng.integers(0, 2, 300)
PROBA = rng.uniform(0.01, 0.99, 300)
Y_REG = rng.normal(size=300)
PRED_REG = Y_REG + rng.normal(scale=0.5, size=300)
WEIGHT = rng.uniform(0.1, 2.0, 300)

ALL_NAMES = ["MSE", "MAE", "RMSE", "R2", "ACC", "F1", "LogLoss", "Brier", "AUC"]


class TestLookup:
    @pytest.mark.parametrize(
        "metric, expected",
        [
            (None, ("MSE", -1, False, True)),
            ("mae", ("MAE", -1, False, True)),
            ("Acc", ("ACC", 1, False, True)),
            ("LOGLOSS", ("LogLoss", -1, True, True)),
            ("brier", ("Brier", -1, True, True)),
            ("auc", ("AUC", 1, True, False)),
            ("F1", ("F1", 1, False, False)),
            ("r2", ("R2", 1, False, False)),
        ],
    )
    def test_named_metrics(self, metric, expected):
        name, sign, _, needs_proba, additive = get_scoring_metric(metric)
        assert (name, sign, needs_proba, additive) == expected
        # With average=True nothing returns per-sample scores.
        assert get_scoring_metric(metric, average=True)[4] is False

    def test_unknown_name_lists_known_ones(self):
        with pytest.raises(MirtError, match="unknown metric 'gini'") as info:
            get_scoring_metric("gini")
        for name in ALL_NAMES:
            assert name in str(info.value)

    @pytest.mark.parametrize("metric", [3, 1.5, {"name": "MSE"}, b"mse"])
    def test_wrong_types(self, metric):
        with pytest.raises(MirtError):
            get_scoring_metric(metric)

    @pytest.mark.parametrize("name", ALL_NAMES)
    @pytest.mark.parametrize("average", [False, True])
    def test_functions_pickle(self, name, average):
        func = get_scoring_metric(name, average=average)[2]
        back = pickle.loads(pickle.dumps(func))
        y, pred = (Y_BIN, PROBA) if name in ("LogLoss", "Brier", "AUC") else (Y_BIN, Y_BIN)
        np.testing.assert_allclose(back(y, pred), func(y, pred))


class TestAgreesWithScikitLearn:
    @pytest.mark.parametrize(
        "name, reference, y, pred",
        [
            ("MSE", metrics.mean_squared_error, Y_REG, PRED_REG),
            ("MAE", metrics.mean_absolute_error, Y_REG, PRED_REG),
            ("R2", metrics.r2_score, Y_REG, PRED_REG),
            ("ACC", metrics.accuracy_score, Y_BIN, (PROBA > 0.5).astype(int)),
            ("F1", metrics.f1_score, Y_BIN, (PROBA > 0.5).astype(int)),
            ("LogLoss", metrics.log_loss, Y_BIN, PROBA),
            ("Brier", metrics.brier_score_loss, Y_BIN, PROBA),
            ("AUC", metrics.roc_auc_score, Y_BIN, PROBA),
        ],
    )
    def test_aggregate_with_and_without_weights(self, name, reference, y, pred):
        func = get_scoring_metric(name, average=True)[2]
        assert func(y, pred) == pytest.approx(reference(y, pred))
        assert func(y, pred, sample_weight=WEIGHT) == pytest.approx(
            reference(y, pred, sample_weight=WEIGHT)
        )

    @pytest.mark.parametrize("name", ["MSE", "MAE", "ACC", "LogLoss", "Brier"])
    def test_weighted_mean_of_per_sample_scores_is_the_metric(self, name):
        y, pred = (Y_REG, PRED_REG) if name in ("MSE", "MAE") else (Y_BIN, PROBA)
        if name == "ACC":
            pred = (PROBA > 0.5).astype(int)
        per_sample = get_scoring_metric(name)[2](y, pred)
        assert per_sample.shape == (300,) and per_sample.dtype == np.float64
        expected = get_scoring_metric(name, average=True)[2](y, pred, sample_weight=WEIGHT)
        assert np.average(per_sample, weights=WEIGHT) == pytest.approx(expected)

    def test_rmse(self):
        func = get_scoring_metric("rmse")[2]
        assert func(Y_REG, PRED_REG) == pytest.approx(
            np.sqrt(metrics.mean_squared_error(Y_REG, PRED_REG))
        )


class TestInputForms:
    def test_column_vectors_and_two_column_proba(self):
        mse = get_scoring_metric("MSE")[2]
        np.testing.assert_array_equal(mse([[1.0], [2.0]], [1.0, 0.0]), [0.0, 4.0])
        loss = get_scoring_metric("LogLoss", average=True)[2]
        two = np.c_[1 - PROBA, PROBA]
        assert loss(Y_BIN.reshape(-1, 1), two) == pytest.approx(loss(Y_BIN, PROBA))
        assert loss(Y_BIN, PROBA.reshape(-1, 1)) == pytest.approx(loss(Y_BIN, PROBA))

    def test_length_mismatch(self):
        with pytest.raises(MirtError, match="y has 3 entries but prediction has 2"):
            get_scoring_metric("MSE")[2]([1, 2, 3], [1, 2])
        with pytest.raises(MirtError, match="prediction_proba has 2"):
            get_scoring_metric("Brier")[2]([0, 1, 1], [0.1, 0.2])

    def test_proba_with_three_columns_is_refused(self):
        with pytest.raises(MirtError, match="two columns"):
            get_scoring_metric("LogLoss")[2]([0, 1], np.full((2, 3), 1 / 3))

    def test_label_targets_for_probability_metrics(self):
        brier = get_scoring_metric("Brier")[2]
        # The larger label in sorted order is the positive class.
        np.testing.assert_allclose(brier(["no", "yes"], [0.2, 0.6]), [0.04, 0.16])
        np.testing.assert_allclose(brier([1, 2], [0.2, 0.6]), [0.04, 0.16])
        np.testing.assert_allclose(brier([False, True], [0.2, 0.6]), [0.04, 0.16])
        # Only zeros is still a valid 0/1 target.
        np.testing.assert_allclose(brier([0, 0], [0.2, 0.6]), [0.04, 0.36])
        with pytest.raises(MirtError, match="exactly two classes"):
            brier([1, 2, 3], [0.1, 0.2, 0.3])
        with pytest.raises(MirtError, match="exactly two classes"):
            brier(["a", "a"], [0.1, 0.2])

    def test_logloss_is_finite_at_certain_wrong_predictions(self):
        loss = get_scoring_metric("LogLoss")[2]([1, 0], [0.0, 1.0])
        assert np.isfinite(loss).all() and (loss > 30).all()

    def test_auc_single_class_is_not_given_a_score(self):
        # Older scikit-learn raises here, newer ones warn and return NaN;
        # either way no made-up number may come back.
        auc = get_scoring_metric("AUC")[2]
        try:
            with pytest.warns(UserWarning):
                value = auc([1, 1, 1], [0.2, 0.5, 0.9])
        except ValueError as err:
            assert "one class" in str(err)
        else:
            assert np.isnan(value)

    def test_accuracy_on_string_labels(self):
        acc = get_scoring_metric("ACC")[2]
        np.testing.assert_array_equal(acc(["a", "b", "c"], ["a", "c", "c"]), [1, 0, 1])

    def test_f1_binary_positive_label_and_multiclass(self):
        f1 = get_scoring_metric("F1")[2]
        y, pred = ["no", "yes", "yes", "no"], ["no", "yes", "no", "no"]
        assert f1(y, pred) == pytest.approx(metrics.f1_score(y, pred, pos_label="yes"))
        y3, p3 = [0, 1, 2, 2, 1], [0, 2, 2, 2, 1]
        assert f1(y3, p3) == pytest.approx(metrics.f1_score(y3, p3, average="macro"))

    def test_zero_total_weight_is_refused(self):
        mse = get_scoring_metric("MSE", average=True)[2]
        with pytest.raises(MirtError, match="positive sum"):
            mse([1.0, 2.0], [1.0, 2.0], sample_weight=[0.0, 0.0])


def per_sample_hinge(y, pred):
    return np.maximum(0.0, 1.0 - np.asarray(y) * np.asarray(pred))


class TestPerSampleErrors:
    def test_errors_equal_numpy_to_the_bit_on_every_layout(self):
        # The errors are computed in one native pass; every value must be the
        # one numpy gives for (y - pred) ** 2 and abs(y - pred), overflow,
        # NaN and infinity included, whatever the strides and dtypes.
        rng = np.random.default_rng(3)
        m = rng.normal(size=(2001, 3)) * np.array([1e-200, 1.0, 1e200])
        m[5, 0], m[7, 1], m[9, 2] = np.nan, np.inf, -np.inf
        big_endian = m[:, 1].astype(">f8")
        unaligned = np.frombuffer(b"\0" + m[:, 2].tobytes(), dtype=np.float64, offset=1)
        pairs = [
            (m[:, 0], m[:, 2]),  # strided columns
            (m[:, 2].copy(), m[::-1, 1].copy()),
            (m[::3, 1], m[1::3, 2]),
            (big_endian, m[:, 0]),
            (unaligned, m[:, 1]),
            (np.arange(2001), np.arange(2001)[::-1].astype(np.int32)),
            (np.array([]), np.array([])),
        ]
        for y, pred in pairs:
            a, b = y.astype(np.float64), pred.astype(np.float64)
            with np.errstate(all="ignore"):
                sq, ab = (a - b) ** 2, np.abs(a - b)
            np.testing.assert_array_equal(squared_error(y, pred).view(np.int64), sq.view(np.int64))
            np.testing.assert_array_equal(absolute_error(y, pred).view(np.int64), ab.view(np.int64))

    def test_length_mismatch_and_non_numbers_are_refused(self):
        with pytest.raises(MirtError, match="3 entries but prediction has 2"):
            squared_error(np.zeros(3), np.zeros(2))
        with pytest.raises(MirtError, match="numeric"):
            absolute_error(np.array(["a", "b"]), np.zeros(2))


class TestCustomMetric:
    def test_valid_configuration_is_returned_as_tuple(self):
        config = ["Hinge", -1, per_sample_hinge, False, True]
        assert get_scoring_metric(config) == (
            "Hinge",
            -1,
            per_sample_hinge,
            False,
            True,
        )

    def test_average_wraps_additive_custom_metric(self):
        name, _, func, _, additive = get_scoring_metric(
            ("Hinge", -1.0, per_sample_hinge, False, True), average=True
        )
        assert name == "Hinge" and additive is False
        assert func([1, -1], [0.5, 0.5], sample_weight=[1, 3]) == pytest.approx(1.25)
        pickle.loads(pickle.dumps(func))

    @pytest.mark.parametrize(
        "config, message",
        [
            (("Hinge", -1, per_sample_hinge, False), "got 4 items"),
            ((1, -1, per_sample_hinge, False, True), "name must be a str"),
            (("Hinge", 2, per_sample_hinge, False, True), "sign must be 1"),
            (("Hinge", True, per_sample_hinge, False, True), "sign must be 1"),
            (("Hinge", -1, "func", False, True), "callable"),
            (("Hinge", -1, per_sample_hinge, "no", True), "needs_proba"),
            (("Hinge", -1, per_sample_hinge, False, None), "is_metric_additive"),
        ],
    )
    def test_malformed_configuration(self, config, message):
        with pytest.raises(MirtError, match=message):
            get_scoring_metric(config)
