from __future__ import annotations

import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, clone

from mirt.models.xgb2.xgboost import XGB2Base, XGB2Classifier, XGB2Regressor

PARAMS = [
    "n_estimators",
    "eta",
    "max_depth",
    "tree_method",
    "max_bin",
    "reg_lambda",
    "reg_alpha",
    "gamma",
    "feature_names",
    "feature_types",
    "mono_increasing_list",
    "mono_decreasing_list",
    "random_state",
]
ESTIMATORS = [XGB2Regressor, XGB2Classifier]


class TestClassTree:
    def test_mixin_stands_before_the_base_in_the_mro(self):
        assert XGB2Regressor.__mro__[:4] == (XGB2Regressor, RegressorMixin, XGB2Base, BaseEstimator)
        assert XGB2Classifier.__mro__[:4] == (
            XGB2Classifier,
            ClassifierMixin,
            XGB2Base,
            BaseEstimator,
        )

    def test_base_defines_no_validation_and_cannot_be_fitted(self):
        model = XGB2Base()
        with pytest.raises(AttributeError, match="_validate_input"):
            model.fit(np.zeros((3, 2)), np.zeros(3))
        assert not [k for k in vars(model) if k.endswith("_")]

    def test_subclassing_keeps_the_parameter_protocol(self):
        class Mine(XGB2Classifier):
            pass

        model = Mine(max_bin=7)
        assert clone(model).max_bin == 7
        assert list(inspect.signature(Mine).parameters) == PARAMS


class TestSignatureAndParams:
    @pytest.mark.parametrize("cls", [XGB2Base, *ESTIMATORS])
    def test_thirteen_parameters_in_order_on_class_and_init(self, cls):
        assert list(inspect.signature(cls).parameters) == PARAMS
        init = inspect.signature(cls.__init__)
        assert list(init.parameters) == ["self", *PARAMS]

    def test_defaults_of_base_and_estimators_differ_only_in_bins_and_lambda(self):
        base = XGB2Base().get_params()
        reg = XGB2Regressor().get_params()
        assert (base["max_bin"], base["reg_lambda"]) == (20, 1)
        assert (reg["max_bin"], reg["reg_lambda"]) == (256, 0)
        assert reg == XGB2Classifier().get_params()
        for key in set(PARAMS) - {"max_bin", "reg_lambda"}:
            assert base[key] == reg[key]
        assert type(reg["eta"]) is float and reg["mono_increasing_list"] == ()

    def test_sixth_position_is_reg_lambda(self):
        model = XGB2Regressor(100, 0.3, 2, "auto", 256, 5)
        assert (model.reg_lambda, model.reg_alpha) == (5, 0)

    def test_arguments_are_stored_as_the_same_objects(self):
        names = ["a", "b"]
        model = XGB2Classifier(feature_names=names)
        assert model.feature_names is names

    def test_too_many_positional_arguments_is_a_type_error(self):
        with pytest.raises(TypeError, match="positional"):
            XGB2Regressor(*range(14))

    @pytest.mark.parametrize("cls", ESTIMATORS)
    def test_set_params_clone_and_unfitted_pickle(self, cls):
        model = cls().set_params(eta=0.1, mono_increasing_list=("X0",))
        twin = clone(model)
        assert twin.get_params() == model.get_params() and twin is not model
        back = pickle.loads(pickle.dumps(model))
        assert type(back) is cls and back.get_params() == model.get_params()


class TestTags:
    def test_more_tags_are_fresh_dicts(self):
        xfail = {
            "check_sample_weights_invariance": (
                "zero sample_weight is not equivalent to removing samples",
            )
        }
        reg = XGB2Regressor()
        assert reg._more_tags() == {"_xfail_checks": xfail}
        clf = XGB2Classifier()
        tags = clf._more_tags()
        assert list(tags) == ["binary_only", "_xfail_checks"] and tags["binary_only"] is True
        tags["_xfail_checks"].clear()
        assert clf._more_tags()["_xfail_checks"] == xfail

    def test_sklearn_tags_mark_a_binary_only_classifier(self):
        clf = XGB2Classifier().__sklearn_tags__()
        assert clf.estimator_type == "classifier"
        assert clf.classifier_tags.multi_class is False
        reg = XGB2Regressor().__sklearn_tags__()
        assert reg.estimator_type == "regressor" and reg.target_tags.required


class TestDocstrings:
    @pytest.mark.parametrize(
        ("cls", "summary"),
        [(XGB2Regressor, "Regressor"), (XGB2Classifier, "Classifier")],
    )
    def test_layout(self, cls, summary):
        doc = cls.__doc__
        lines = doc.split("\n")
        assert lines[0] == "" and lines[1] == f"        Depth-2 XGBoost{summary}."
        assert doc.endswith("The parameter dict of XGB model.\n     ")
        assert "\n        max_depth: int, default=2\n            Max tree depth\n" in doc
        assert "\n        max_bin : int, default=20\n" in doc
        assert "\n        split_info_: dict\n           The split points per feature.\n" in doc
        assert (
            '\n        tree_method : {"exact", "hist", "approx", "gpu_hist", "auto"}, '
            'default="auto"\n            Specify which tree method to use.\n'
        ) in doc
        assert doc.index("reg_alpha :") < doc.index("reg_lambda :")
        heads = [ln for ln in lines if ln.startswith("        ") and not ln.startswith("         ")]
        assert len(heads) == 1 + 2 + 13 + 2 + 8

    @pytest.mark.parametrize("cls", ESTIMATORS)
    def test_kept_texts_are_completed_by_what_holds_today(self, cls):
        doc = cls.__doc__
        default = inspect.signature(cls).parameters["max_bin"].default
        assert f"default is {default}, as its signature says" in doc
        assert "`device` setting" in doc[doc.index("gpu_hist") :]

    def test_base_has_no_docstring(self):
        assert XGB2Base.__doc__ is None
