from __future__ import annotations

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

from mirt.exceptions import MirtError, MirtInfo, MirtWarning
from mirt.utils import TestDataResult


class TestExceptions:
    def test_error_is_caught_as_value_error(self):
        with pytest.raises(ValueError, match="bad bins"):
            raise MirtError("bad bins")

    def test_info_is_not_a_value_error(self):
        # "Nothing to show" must not be swallowed by argument-error handlers.
        assert not issubclass(MirtInfo, ValueError)
        with pytest.raises(MirtInfo, match="No weak regions detected."):
            raise MirtInfo("No weak regions detected.")

    def test_warning_category(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            warnings.warn(MirtWarning("few rows"), stacklevel=1)
        assert caught[0].category is MirtWarning
        assert issubclass(MirtWarning, UserWarning)

    @pytest.mark.parametrize("cls", [MirtError, MirtInfo, MirtWarning])
    def test_pickle_keeps_type_and_message(self, cls):
        err = pickle.loads(pickle.dumps(cls("some text")))
        assert type(err) is cls
        assert str(err) == "some text"


class TestDataResultBehaviour:
    def test_stores_same_objects_positionally_and_by_keyword(self):
        payload = {"a": 1}
        assert TestDataResult("k", payload).value is payload
        res = TestDataResult(value=payload, key="k")
        assert res.key == "k" and res.value is payload

    def test_repr_summarises_large_payloads(self):
        value = {
            "slice_features": ["X0", "X1"],
            "data": pd.DataFrame(np.zeros((3, 7))),
            "matrix": np.zeros((1000, 4), dtype=np.float32),
            "rows": list(range(5000)),
            "series": pd.Series(np.arange(300)),
            "nested": {"deep": {"deeper": list(range(10))}},
            "note": "x" * 1000,
        }
        text = repr(TestDataResult("lowpatch_result", value))
        assert text.startswith("TestDataResult(key='lowpatch_result'")
        assert "<DataFrame 3x7>" in text
        assert "(1000, 4)" in text and "float32" in text
        assert "len=5000" in text and "len=300" in text
        assert "'X0'" in text
        assert len(text) < 800
        assert text.count("\n") <= 15

    def test_repr_of_small_values(self):
        assert repr(TestDataResult("k", {"a": 1})) == "TestDataResult(key='k', value={'a': 1})"
        assert "np.float64" not in repr(TestDataResult("k", {"t": np.float64(0.5)}))
        assert repr(TestDataResult("k", None)) == "TestDataResult(key='k', value=None)"

    def test_repr_of_many_keys_is_bounded(self):
        text = repr(TestDataResult("k", {f"key{i}": i for i in range(100)}))
        assert "more" in text
        assert text.count("\n") <= 15

    def test_pickle_round_trip(self):
        res = TestDataResult("k", {"data": pd.DataFrame({"a": [1, 2]}), "arr": np.eye(2)})
        back = pickle.loads(pickle.dumps(res))
        assert back.key == "k"
        pd.testing.assert_frame_equal(back.value["data"], res.value["data"])
        np.testing.assert_array_equal(back.value["arr"], np.eye(2))
