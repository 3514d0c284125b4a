"""The native modules under hostile conditions: threads racing to make a
process's first fits, Ctrl-C in the middle of a long search, and arrays whose
memory the core must not read in place (misaligned, strided, big-endian).

This file is also run against a build with AddressSanitizer and UBSan
(tools/sanitize_pytest.sh), where a misaligned read aborts the process.
"""

from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from mirt import _native
from mirt.diagnoser.lowpatch import HistogramSlicing
from mirt.models.xgb2.xgboost import XGB2Regressor


def run_child(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


FIRST_FITS_RACE = """
import sys, threading
sys.setswitchinterval(1e-6)
import numpy as np
barrier = threading.Barrier(8)
results = [None] * 8

def work(k):
    rng = np.random.default_rng(k)
    x = rng.normal(size=(3000, 2))
    y = x[:, 0] ** 2 + rng.normal(size=3000)
    barrier.wait()
    from mirt.diagnoser.lowpatch import LowPatch
    lp = LowPatch(None, slice_features=["a"], min_samples=20)
    lp.fit(x, y, train_idx=np.arange(2000), test_idx=np.arange(2000, 3000),
           prediction=np.zeros(3000), feature_names=["a", "b"])
    results[k] = len(lp.output) if lp.output is not None else 0

threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("done", all(r is not None for r in results))
"""


@pytest.mark.parametrize("attempt", range(5))
def test_threads_making_a_processs_first_fits_at_once_do_not_deadlock(attempt):
    out = run_child(FIRST_FITS_RACE, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "done True"


INTERRUPTED_SEARCH = """
import time
import numpy as np
from mirt.diagnoser.lowpatch import HistogramSlicing
n = 2_000_000
rng = np.random.default_rng(0)
x = rng.normal(size=(n, 2))
y = rng.normal(size=n)
p = np.zeros(n)
s = HistogramSlicing(slice_features=["a", "b"], bins=2000, min_samples=1)
print("start", flush=True)
try:
    s.fit(x, y, x, y, p, p, ["a", "b"], use_test=False)
    print("finished", flush=True)
except KeyboardInterrupt:
    small = HistogramSlicing(slice_features=["a"], bins=10, min_samples=1)
    small.fit(x[:500], y[:500], x[:500], y[:500], p[:500], p[:500], ["a", "b"], use_test=False)
    print("interrupted", flush=True)
"""


def test_ctrl_c_stops_a_long_two_feature_search_and_leaves_the_process_healthy():
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_SEARCH], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "start"
        time.sleep(1.0)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
        took = time.perf_counter() - sent
    finally:
        child.kill()
    assert out.strip() == "interrupted" and child.returncode == 0
    assert took < 5.0


def misaligned(a: np.ndarray) -> np.ndarray:
    """A copy of `a` whose data starts one byte off its type's alignment."""
    raw = np.empty(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned or a.size == 0
    return out


def strided(a: np.ndarray) -> np.ndarray:
    wide = np.zeros((2,) + a.shape, dtype=a.dtype)
    wide[0] = a
    return np.moveaxis(wide, 0, -1)[..., 0]


LAYOUTS = {
    "misaligned": misaligned,
    "strided": strided,
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
}


@pytest.fixture(scope="module")
def fitted_xgb2():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(300, 3))
    y = x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(scale=0.1, size=300)
    model = XGB2Regressor(n_estimators=20).fit(x, y)
    model.parse_model()
    return model, x


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_arrays_the_core_cannot_read_in_place_give_the_same_results(layout, fitted_xgb2):
    convert = LAYOUTS[layout]
    rng = np.random.default_rng(1)
    x = rng.normal(size=(400, 2))
    y = x[:, 0] ** 2 + rng.normal(size=400)
    w = rng.uniform(0.5, 2.0, size=400)
    pred = np.zeros(400)

    def table(x, w, y):
        s = HistogramSlicing(slice_features=["a", "b"], min_samples=5)
        return s.fit(x, y, x, y, pred, pred, ["a", "b"], use_test=False, train_sample_weight=w)

    expected = table(x, w, y)
    got = table(convert(x), convert(w), convert(y))
    assert got.equals(expected)

    model, xm = fitted_xgb2
    for effect in ([0], [1, 2]):
        assert np.array_equal(
            model.partial_dependence(effect, convert(xm))[0],
            model.partial_dependence(effect, xm)[0],
        )
    a, b = x[:, 0].copy(), x[:, 1].copy()
    if layout != "big-endian":  # the private kernels take native float64 only
        assert np.array_equal(_native.squared_errors(convert(a), convert(b)), (a - b) ** 2)
        assert np.array_equal(_native.absolute_errors(convert(a), convert(b)), np.abs(a - b))

    # Kernels whose arguments pybind11 converts must still hand the core aligned memory.
    def deep(v):
        if isinstance(v, (list, tuple)):
            return type(v)(deep(item) for item in v)
        return convert(v) if isinstance(v, np.ndarray) else v

    codes = (x[:, 0] > 0).astype(np.float64)
    for kernel, args in [
        (_native.level_stats, (codes, 2, y, w)),
        (_native.bin_sums, (a, np.linspace(-4, 4, 5), 4.0, 0, y, w)),
        (_native.scan_bin_columns, (x, [0, 1], [0, 0], 8, y, w)),
        (_native.scan_pair_cells, ([(codes.astype(np.uint32), 2, x, 1, 0)], 8, y, w)),
        (_native.marginal_histogram, (a, y, 1.0, 1.0, 10)),
    ]:
        np.testing.assert_equal(kernel(*deep(args)), kernel(*args))


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_large_sides_measured_on_several_threads_give_the_same_table_from_any_layout(layout):
    # Above 2**15 rows a side the other side's columns are copied, and the
    # regions' scores gathered and averaged, on threads of their own: every
    # such read is checked here, and by the sanitizers in their run.
    n = 40_000
    rng = np.random.default_rng(2)
    x = np.round(rng.normal(size=(2 * n, 3)), 2)
    y = x[:, 0] ** 2 + rng.normal(size=2 * n)
    w = rng.uniform(0, 2, size=2 * n)
    zeros = np.zeros(n)

    def table(x, y, w, features, use_test):
        s = HistogramSlicing(slice_features=features, min_samples=20)
        return s.fit(
            x[:n],
            y[:n],
            x[n:],
            y[n:],
            zeros,
            zeros,
            ["a", "b", "c"],
            use_test=use_test,
            train_sample_weight=w[:n],
            test_sample_weight=w[n:],
        )

    convert = LAYOUTS[layout]
    for features, use_test in ((["a"], False), (["a", "b"], True)):
        expected = table(x, y, w, features, use_test)
        assert expected is not None
        assert table(convert(x), convert(y), convert(w), features, use_test).equals(expected)


@settings(max_examples=25, deadline=None)
@given(
    n=st.integers(1, 300),
    offset=st.integers(1, 7),
    step=st.integers(1, 3),
    splits=st.lists(st.floats(-2, 2), max_size=8, unique=True),
)
def test_effect_lookups_read_any_layout_as_its_aligned_copy(n, offset, step, splits):
    rng = np.random.default_rng(n)
    X = rng.normal(size=(n * step, 3))[::step]
    raw = np.empty(X.nbytes + offset, dtype=np.uint8)
    odd = np.frombuffer(raw.data, dtype=np.float64, count=X.size, offset=offset).reshape(X.shape)
    odd[...] = X
    s = np.sort(np.asarray(splits, dtype=float))
    values = np.arange(len(s) + 1, dtype=float)
    for rule in (True, False):
        assert np.array_equal(
            _native.effect_1d(odd, 1, s, values, rule), _native.effect_1d(X, 1, s, values, rule)
        )
        assert np.array_equal(
            _native.grid_cells(odd, 2, s, rule), _native.grid_cells(X, 2, s, rule)
        )


def test_tree_decomposition_refuses_child_ids_that_are_not_whole_numbers():
    # One tree: root splits column 0 at 0.5 into two leaves.
    args = dict(
        offsets=np.array([0, 3]),
        left=np.array([1.0, -1.0, -1.0]),
        right=np.array([2.0, -1.0, -1.0]),
        feature=np.array([0, 0, 0]),
        threshold=np.array([0.5, 1.0, 2.0]),
        tree_weight=np.array([1.0]),
        n_features=1,
        X=np.array([[0.0], [1.0]]),
        purify=True,
        true_to_data=False,
        tol=1e-10,
        max_sweeps=10,
    )
    assert _native.decompose_trees(**args)[1]  # whole numbers in floats are fine
    with pytest.raises(TypeError, match="integers"):
        _native.decompose_trees(**dict(args, left=np.array([1.5, -1.0, -1.0])))


def test_scratch_memory_kept_between_searches_is_given_back_on_request():
    from mirt.diagnoser.lowpatch import release_scratch_memory

    rng = np.random.default_rng(0)
    x = rng.normal(size=(300_000, 2))
    y = rng.normal(size=300_000)
    HistogramSlicing(slice_features=["a"]).fit(x, y, x, y, y * 0, y * 0, ["a", "b"])
    assert release_scratch_memory() > 0
    assert release_scratch_memory() == 0
