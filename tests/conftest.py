from __future__ import annotations

import matplotlib
import pytest

matplotlib.use("Agg")


@pytest.fixture(scope="session")
def dask_client():
    """A ``distributed.Client`` on a two-worker ``LocalCluster``, one per session.

    It is the default client while the session runs, so Dask computations and
    fits that look for one find it. Tests that ask for it are skipped when the
    Dask extra (``pip install 'mirt[dask]'``) is not installed. The workers
    are threads of this process: they start in a fraction of a second and
    share the installed package, where worker processes would take seconds
    to start on a two-core machine and add nothing these tests check.
    """
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client
