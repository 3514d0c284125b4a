from __future__ import annotations

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

from mirt.diagnoser.base import BaseDiagnoser
from mirt.exceptions import MirtError

N = 12


@pytest.fixture
def frame():
    rng = np.random.default_rng(0)
    return pd.DataFrame(
        {
            "age": rng.integers(20, 60, N),
            "income": rng.normal(size=N),
            "member": rng.integers(0, 2, N).astype(bool),
        }
    )


def fitted(*args, estimator=None, **kwargs):
    diag = BaseDiagnoser(estimator)
    diag.fit(*args, **kwargs)
    return diag


class SubDiagnoser(BaseDiagnoser):
    pass


class TestInitAndPickle:
    def test_init_stores_objects_unchanged(self):
        est = LinearRegression()
        diag = BaseDiagnoser(est, "regression", 7)
        assert diag.estimator is est
        assert diag.task_type == "regression" and diag.random_state == 7
        assert BaseDiagnoser().random_state == 0

    def test_subclass_calls_base_positionally_and_pickles(self, frame):
        diag = SubDiagnoser()
        BaseDiagnoser.__init__(diag, None, "regression", 3)
        y = np.arange(N, dtype=float)
        BaseDiagnoser.fit(diag, frame, y, y, None, None, [0, 1], None, None, None, "t", "p")
        back = pickle.loads(pickle.dumps(diag))
        assert type(back) is SubDiagnoser
        np.testing.assert_array_equal(back.x, diag.x)
        assert back.test_idx.tolist() == [0, 1] and back.predict_name == "p"


class TestFeatures:
    def test_frame_becomes_float_matrix_with_column_names(self, frame):
        diag = fitted(frame, np.zeros(N))
        assert diag.x.dtype == np.float64 and diag.x.shape == (N, 3)
        assert diag.feature_names == ["age", "income", "member"]
        # A bool column is categorical; its codes are its values.
        assert diag.feature_types == ["numerical", "numerical", "categorical"]
        np.testing.assert_array_equal(diag.x[:, 2], frame["member"].astype(float))

    def test_array_defaults_and_one_dimensional_x(self):
        diag = fitted(np.arange(5), np.arange(5))
        assert diag.x.shape == (5, 1) and diag.feature_names == ["X0"]
        assert diag.target_name == "target" and diag.predict_name == "prediction"
        assert diag.pred is None and diag.pred_proba is None
        assert diag.sample_weight is None

    def test_float64_x_is_kept_without_a_copy_and_other_x_is_converted(self):
        x = np.ones((3, 2))
        assert np.shares_memory(fitted(x, np.zeros(3)).x, x)
        ints = np.ones((3, 2), dtype=np.int64)
        stored = fitted(ints, np.zeros(3)).x
        assert stored.dtype == np.float64 and stored.flags.c_contiguous
        fortran = np.asfortranarray(np.arange(6.0).reshape(3, 2))
        assert fitted(fortran, np.zeros(3)).x.flags.c_contiguous

    def test_nullable_integer_columns_are_accepted(self):
        x = pd.DataFrame({"a": pd.array([1, None, 3], dtype="Int64")})
        diag = fitted(x, [0, 1, 0])
        assert np.isnan(diag.x[1, 0]) and diag.x[2, 0] == 3.0

    def test_mixed_columns_become_codes_and_the_estimator_sees_them_as_given(self, frame):
        mixed = frame.assign(city=["b", None, "a"] * (N // 3), grade=pd.Categorical(["y"] * N))
        seen = []

        class Model:
            def predict(self, x):
                seen.append(x)
                return np.zeros(len(x))

        diag = fitted(mixed, np.zeros(N), estimator=Model())
        assert seen[0] is mixed
        assert diag.feature_types[3:] == ["categorical", "categorical"]
        assert diag.x[:3, 3].tolist() == [1.0, 2.0, 0.0]
        assert diag.levels["city"].names() == ["a", "b", "missing"]
        np.testing.assert_array_equal(diag.x[:, :2], frame[["age", "income"]].to_numpy(float))
        # A numeric column typed categorical gets its sorted values as levels.
        typed = fitted(frame, np.zeros(N), feature_types=["categorical", "numerical", "numerical"])
        assert typed.levels["age"].labels == tuple(sorted(frame["age"].unique().tolist()))
        assert fitted(np.array([["a", 1.5]], dtype=object), [1]).feature_types == [
            "categorical",
            "numerical",
        ]

    def test_columns_that_cannot_be_read_are_named(self, frame):
        dated = frame.assign(when=pd.Timestamp("2020-01-01"), city="a")
        with pytest.raises(MirtError, match="unsupported: 'when'") as info:
            fitted(dated, np.zeros(N))
        assert "'city'" not in str(info.value)
        with pytest.raises(MirtError, match="must have the feature type 'categorical': 'city'"):
            fitted(frame.assign(city="a"), np.zeros(N), feature_types=["numerical"] * 4)

    @pytest.mark.parametrize(
        "x, message",
        [
            (np.empty((0, 2)), "at least one row"),
            (np.empty((3, 0)), "at least one column"),
            (np.zeros((2, 2, 2)), "2-D"),
            (pd.DataFrame(index=range(3)), "at least one column"),
        ],
    )
    def test_bad_shapes(self, x, message):
        with pytest.raises(MirtError, match=message):
            fitted(x, np.zeros(len(x)))

    def test_given_names_are_checked(self, frame):
        diag = fitted(frame, np.zeros(N), feature_names=("a", "b", "c"))
        assert diag.feature_names == ["a", "b", "c"]
        with pytest.raises(MirtError, match="feature_names has 2 entries but x has 3"):
            fitted(frame, np.zeros(N), feature_names=["a", "b"])
        with pytest.raises(MirtError, match="duplicated: 'a'"):
            fitted(frame, np.zeros(N), feature_names=["a", "b", "a"])
        with pytest.raises(MirtError, match="feature_names must be a list"):
            fitted(frame, np.zeros(N), feature_names="abc")

    def test_duplicate_frame_columns_are_refused(self):
        x = pd.DataFrame(np.zeros((2, 2)), columns=["a", "a"])
        with pytest.raises(MirtError, match="unique"):
            fitted(x, [0, 1])
        assert fitted(x, [0, 1], feature_names=["a", "b"]).feature_names == ["a", "b"]

    def test_feature_types(self):
        diag = fitted(np.zeros((2, 2)), [0, 1], feature_types=["numerical", "categorical"])
        assert diag.feature_types == ["numerical", "categorical"]
        with pytest.raises(MirtError, match="feature_types has 1 entries"):
            fitted(np.zeros((2, 2)), [0, 1], feature_types=["numerical"])
        with pytest.raises(MirtError, match="feature_types must be strings"):
            fitted(np.zeros((2, 2)), [0, 1], feature_types=["numerical", 3])


class TestTargetAndPredictions:
    @pytest.mark.parametrize(
        "y",
        [
            pd.Series(["no", "yes", "no"]),
            pd.DataFrame({"label": ["no", "yes", "no"]}),
            np.array([["no"], ["yes"], ["no"]]),
        ],
    )
    def test_label_targets_keep_their_values(self, y):
        diag = fitted(np.zeros((3, 1)), y)
        assert diag.y.ndim == 1
        assert diag.y.tolist() == ["no", "yes", "no"]

    def test_length_mismatches_name_the_argument(self):
        x = np.zeros((100, 2))
        with pytest.raises(MirtError, match="y has 99 entries but x has 100 rows"):
            fitted(x, np.zeros(99))
        with pytest.raises(MirtError, match="prediction has 3 entries"):
            fitted(x, np.zeros(100), prediction=np.zeros(3))
        with pytest.raises(MirtError, match="prediction_proba has 3 entries"):
            fitted(x, np.zeros(100), prediction_proba=np.zeros((3, 2)))
        with pytest.raises(MirtError, match="y must be one column"):
            fitted(x, pd.DataFrame(np.zeros((100, 2))))

    def test_proba_forms(self):
        x, y = np.zeros((4, 1)), [0, 1, 0, 1]
        two = np.array([[0.9, 0.1], [0.2, 0.8], [0.6, 0.4], [0.3, 0.7]])
        for given in (two, two[:, 1:], two[:, 1], pd.DataFrame(two)):
            proba = fitted(x, y, prediction_proba=given).pred_proba
            assert proba.shape == (4,) and proba.dtype == np.float64
            np.testing.assert_array_equal(proba, two[:, 1])
        multi = np.full((4, 3), 1 / 3)
        assert fitted(x, y, prediction_proba=multi).pred_proba.shape == (4, 3)
        with pytest.raises(MirtError, match="prediction_proba must be numeric"):
            fitted(x, y, prediction_proba=["a"] * 4)

    def test_estimator_predictions_see_the_frame(self, frame):
        y = (frame["income"] > 0).astype(int)
        model = LogisticRegression().fit(frame, y)
        diag = BaseDiagnoser(model, "classification")
        # Warnings about missing feature names would mean the frame was lost.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            diag.fit(frame, y)
        np.testing.assert_array_equal(diag.pred, model.predict(frame))
        np.testing.assert_allclose(diag.pred_proba, model.predict_proba(frame)[:, 1])

    def test_given_predictions_win_over_estimator(self):
        x = np.arange(6.0).reshape(3, 2)
        model = LinearRegression().fit(x, [0.0, 1.0, 2.0])
        diag = fitted(x, [0, 1, 2], prediction=[5, 5, 5], estimator=model)
        assert diag.pred.tolist() == [5, 5, 5]
        assert diag.pred_proba is None

    def test_estimator_output_of_wrong_length_is_reported(self):
        class Broken:
            def predict(self, x):
                return np.zeros(len(x) + 1)

        with pytest.raises(MirtError, match="returned by the estimator"):
            fitted(np.zeros((3, 1)), [0, 1, 2], estimator=Broken())


class TestIndices:
    def test_defaults(self):
        diag = fitted(np.zeros((4, 1)), np.zeros(4))
        assert diag.train_idx.dtype == np.int64 and diag.train_idx.tolist() == [
            0,
            1,
            2,
            3,
        ]
        assert diag.test_idx.dtype == np.int64 and diag.test_idx.size == 0

    @pytest.mark.parametrize(
        "given, expected",
        [
            ([0, 2], [0, 2]),
            ((3,), [3]),
            (range(1, 3), [1, 2]),
            (pd.Series([1, 0]), [1, 0]),
            (np.array([-1, -4], dtype=np.int32), [3, 0]),
            (np.array([2], dtype=np.uint8), [2]),
            ([True, False, True, False], [0, 2]),
            (pd.Series([False, True, False, True]), [1, 3]),
            ([], []),
        ],
    )
    def test_accepted_forms(self, given, expected):
        diag = fitted(np.zeros((4, 1)), np.zeros(4), train_idx=given, test_idx=given)
        for idx in (diag.train_idx, diag.test_idx):
            assert idx.dtype == np.int64 and idx.tolist() == expected

    @pytest.mark.parametrize(
        "given, message",
        [
            (np.array([0.0, 1.0]), "integer row positions"),
            ([4], "position 4, outside"),
            ([-5], "position -5, outside"),
            (np.array([2**63], dtype=np.uint64), "outside"),
            ([True, False], "boolean mask of 2 entries but x has 4 rows"),
            (np.zeros((2, 1), dtype=int), "1-D"),
            (3, "must be a 1-D array"),
            ("01", "must be a 1-D array"),
        ],
    )
    def test_refused_forms(self, given, message):
        with pytest.raises(MirtError, match=message) as info:
            fitted(np.zeros((4, 1)), np.zeros(4), test_idx=given)
        assert "test_idx" in str(info.value)


class TestSampleWeight:
    def test_converted_to_float(self):
        diag = fitted(np.zeros((3, 1)), np.zeros(3), sample_weight=pd.Series([1, 0, 2]))
        assert diag.sample_weight.dtype == np.float64
        assert diag.sample_weight.tolist() == [1.0, 0.0, 2.0]

    @pytest.mark.parametrize(
        "weight, message",
        [
            ([1.0, 2.0], "sample_weight has 2 entries"),
            ([1.0, np.nan, 1.0], "finite"),
            ([1.0, np.inf, 1.0], "finite"),
            ([1.0, -0.5, 1.0], "non-negative"),
            (["a", "b", "c"], "numeric"),
        ],
    )
    def test_refused(self, weight, message):
        with pytest.raises(MirtError, match=message):
            fitted(np.zeros((3, 1)), np.zeros(3), sample_weight=weight)


def test_failed_fit_keeps_previous_state(frame):
    diag = fitted(frame, np.arange(N), prediction=np.arange(N), test_idx=[0])
    before = {k: v for k, v in vars(diag).items()}
    with pytest.raises(MirtError):
        diag.fit(np.zeros((3, 2)), np.zeros(3), None, None, None, [5])
    for key, value in before.items():
        assert getattr(diag, key) is value
    # And a later valid fit replaces everything consistently.
    diag.fit(np.zeros((3, 2)), np.zeros(3))
    assert diag.x.shape == (3, 2) and diag.pred is None and diag.test_idx.size == 0
