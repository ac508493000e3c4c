"""Ensembles of examples/ensemble.py: threads, worker processes and a Dask
cluster give the serial results bit for bit; the script prints what the
guide quotes."""

import concurrent.futures
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
GUIDE = ROOT / "docs" / "guide" / "calibration-ensembles.md"


@pytest.fixture(scope="module")
def ensemble():
    # Worker processes get this sys.path and import ensemble_members by name.
    sys.path.insert(0, str(EXAMPLES))
    try:
        import ensemble

        yield ensemble
    finally:
        sys.path.remove(str(EXAMPLES))


@pytest.fixture(scope="module")
def params(ensemble):
    return ensemble.members.sample_parameters(10)


@pytest.fixture(scope="module")
def serial(ensemble, params):
    result = ensemble.run_serial(params, 3)
    # Not a vacuous comparison: every member is its own, and finite.
    assert result.shape == (10, len(ensemble.members.OUTPUTS))
    assert np.isfinite(result).all() and len(np.unique(result[:, 1])) == 10
    return result


def test_a_batch_is_its_members_one_by_one(ensemble, params, serial):
    members = ensemble.members
    assert [tuple(row) for row in serial] == [members.run_member(p) for p in params]
    assert members.run_batch(params[:0]).shape == (0, len(members.OUTPUTS))


def test_threads_give_the_serial_bits(ensemble, params, serial):
    for workers in (2, 3):
        assert ensemble.run_threads(params, 3, workers).tobytes() == serial.tobytes()
    # Members share nothing mutable: one member per task, interleaved.
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        rows = list(pool.map(ensemble.members.run_member, list(params) * 3))
    assert np.array(rows).tobytes() == np.tile(serial, (3, 1)).tobytes()


def test_worker_processes_give_the_serial_bits(ensemble, params, serial):
    with ensemble.process_pool(2) as pool:
        result = ensemble.run_processes(params, 3, pool)
        pid = pool.submit(os.getpid).result()
    assert pid != os.getpid()
    assert result.tobytes() == serial.tobytes()


def test_dask_cluster_of_two_processes_gives_the_serial_bits(ensemble, params, serial):
    from dask.distributed import Client

    with ensemble.local_cluster(2) as cluster, Client(cluster) as client:
        workers = client.scheduler_info()["workers"]
        assert len(workers) == 2
        assert all(w["nthreads"] == 1 for w in workers.values())
        assert len(set(client.run(os.getpid).values()) - {os.getpid()}) == 2
        result = ensemble.run_dask(params, 3, client)
    assert result.tobytes() == serial.tobytes()
    assert cluster.status.name == "closed"


def test_script_prints_what_the_guide_quotes():
    """Without its Dask line: the cluster is the test above's."""
    quoted = re.search(r"<!-- ensemble.py output -->\n```text\n(.*?)\n```", GUIDE.read_text(), flags=re.S).group(1)
    dask_line = "  Dask LocalCluster, 2 worker processes    identical to serial, bit for bit\n"
    assert dask_line in quoted
    done = subprocess.run([sys.executable, str(EXAMPLES / "ensemble.py"), "--no-dask"], cwd=ROOT,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.rstrip("\n") == quoted.replace(dask_line, "")
