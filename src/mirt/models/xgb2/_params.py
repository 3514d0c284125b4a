"""The depth-2 models' constructor parameters, kept in one table.

The signature of the three constructors, the attributes ``__init__`` stores,
the keywords the estimators hand to the base, the docstring's parameter
section and the booster's parameter dict (``xgb_params_``) are all read from
:data:`PARAMETERS`, so that a parameter is added or changed in one place.
"""

from __future__ import annotations

from typing import Any, NamedTuple


class Parameter(NamedTuple):
    """One constructor parameter and everything derived from it."""

    name: str
    base_default: Any
    estimator_default: Any
    # The docstring's entry: its head line and its description lines.
    doc_head: str
    doc_text: str
    # Position in the docstring, which lists reg_alpha before reg_lambda.
    doc_rank: int
    # Position in xgb_params_, whose order differs from the signature's; -1
    # when the booster does not receive the parameter.
    booster_rank: int


# Signature order. The docstring keeps its historical texts ("gpu_hist", a
# max_bin default of 20) and adds the sentence that makes each of them true.
PARAMETERS: tuple[Parameter, ...] = (
    Parameter("n_estimators", 100, 100, "n_estimators : int, default=100",
              "Number of gradient boosted trees.", 0, 1),
    Parameter("eta", 0.3, 0.3, "eta : float, default=0.3", "Boosting learning rate.", 1, 2),
    Parameter("max_depth", 2, 2, "max_depth: int, default=2", "Max tree depth", 2, 0),
    Parameter(
        "tree_method", "auto", "auto",
        'tree_method : {"exact", "hist", "approx", "gpu_hist", "auto"}, default="auto"',
        "Specify which tree method to use.\n"
        'XGBoost 2 deprecates "gpu_hist" and XGBoost 3 refuses it: since version 2,\n'
        'XGBoost chooses the GPU through its own `device` setting, with "hist".',
        3, 4,
    ),
    Parameter(
        "max_bin", 20, 256, "max_bin : int, default=20",
        "If using histogram-based algorithm, maximum number of bins per feature.\n"
        "This estimator's default is 256, as its signature says.",
        4, 5,
    ),
    Parameter("reg_lambda", 1, 0, "reg_lambda : float, default=0",
              "L2 regularization term on weights.", 6, 6),
    Parameter("reg_alpha", 0, 0, "reg_alpha : float, default=0",
              "L1 regularization term on weights.", 5, 7),
    Parameter(
        "gamma", 0, 0, "gamma : float, default=0",
        "Minimum loss reduction required to make a further partition on a leaf node of the tree.",
        7, 3,
    ),
    Parameter("feature_names", None, None, "feature_names : list or None, default=None",
              "The list of feature names.", 8, -1),
    Parameter(
        "feature_types", None, None, "feature_types : list or None, default=None",
        'The list of feature types. Available types include "numerical" and "categorical".',
        9, -1,
    ),
    # Both monotone lists become the booster's one constraint vector, which
    # takes the increasing list's place.
    Parameter("mono_increasing_list", (), (), "mono_increasing_list : tuple of str, default=()",
              "The feature name tuple subject to monotonic increasing constraint.", 10, 8),
    Parameter("mono_decreasing_list", (), (), "mono_decreasing_list : tuple of str, default=()",
              "The feature name tuple subject to monotonic decreasing constraint.", 11, -1),
    Parameter("random_state", 0, 0, "random_state : int, default=0", "The random seed.", 12, 9),
)  # fmt: skip

NAMES: tuple[str, ...] = tuple(p.name for p in PARAMETERS)

# (head, description, indent of the description) of the docstring's attributes.
ATTRIBUTES: tuple[tuple[str, str, int], ...] = (
    ("n_features_in_ : int", "The number of input features.", 12),
    ("is_fitted_ : bool", "Indicator of whether the model is fitted.", 12),
    ("feature_names_ : list of str", "The feature name list of all input features.", 12),
    ("feature_types_ : list of str", "The feature type list of all input features.", 12),
    ("split_info_: dict", "The split points per feature.", 11),
    ("n_splits_raw_ : int", "The total number of splits in the raw XGB model.", 12),
    ("n_splits_ : int", "The total number of splits.", 12),
    ("xgb_params_ : dict", "The parameter dict of XGB model.", 12),
)


def init_params(estimator: bool) -> list[tuple[str, Any]]:
    """(name, default) of every constructor parameter, in signature order:
    the estimators' defaults, or the base's (max_bin and reg_lambda differ).

    Examples
    --------
    >>> dict(init_params(True))["max_bin"], dict(init_params(False))["max_bin"]
    (256, 20)
    """
    return [(p.name, p.estimator_default if estimator else p.base_default) for p in PARAMETERS]


def booster_params(model: Any, monotone_constraints: str) -> dict[str, Any]:
    """The booster's parameter dict (``xgb_params_``): the model's settings in
    the booster's order, with the monotone constraint text given."""
    out: dict[str, Any] = {}
    for p in sorted((p for p in PARAMETERS if p.booster_rank >= 0), key=lambda p: p.booster_rank):
        if p.name == "mono_increasing_list":
            out["monotone_constraints"] = monotone_constraints
        else:
            out[p.name] = getattr(model, p.name)
    return out


def _entry(head: str, text: str, indent: int) -> str:
    lines = "".join(" " * indent + line + "\n" for line in text.split("\n"))
    return " " * 8 + head + "\n" + lines


def estimator_doc(summary: str) -> str:
    """The estimators' class docstring, with its summary line."""
    i8 = " " * 8
    ranked = sorted(PARAMETERS, key=lambda p: p.doc_rank)
    return (
        f"\n{i8}{summary}\n\n{i8}Parameters\n{i8}----------\n"
        + "".join(_entry(p.doc_head, p.doc_text, 12) for p in ranked)
        + f"\n{i8}Attributes\n{i8}----------\n"
        + "".join(_entry(*a) for a in ATTRIBUTES)
        + " " * 5
    )
