from __future__ import annotations

from sklearn.utils.estimator_checks import parametrize_with_checks

from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

# Each check below demands a behaviour or message text that the models fix
# differently on purpose.
SHARED = {
    "check_sample_weight_equivalence_on_dense_data": (
        "weights are rescaled to sum to the kept row count, so integer weights do not "
        "equal repeated rows"
    ),
    "check_n_features_in_after_fitting": (
        "a wrong column count is refused with the models' own two-line message"
    ),
    "check_all_zero_sample_weights_error": (
        "all-zero weights are refused with the message 'Invalid sample_weight'"
    ),
}
CLASSIFIER_ONLY = {
    "check_classifier_not_supporting_multiclass": (
        "three or more classes are refused with 'multi-classification not supported'"
    ),
}


def expected_failed_checks(estimator):
    if isinstance(estimator, XGB2Classifier):
        return {**SHARED, **CLASSIFIER_ONLY}
    return dict(SHARED)


@parametrize_with_checks(
    [XGB2Regressor(), XGB2Classifier()], expected_failed_checks=expected_failed_checks
)
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)
