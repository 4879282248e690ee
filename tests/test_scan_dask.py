"""Runs on a two-worker LocalCluster give the single-process table, even
when workers are lost mid-run."""

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("distributed")

from velmora_scan import SAMPLE, table  # noqa: E402
from velmora_scan.dask import local_client, scan_to_parquet  # noqa: E402

# Worker processes under the sanitizer run would each need the preloaded
# runtimes; the cluster adds nothing the sanitizers could check.
pytestmark = [
    pytest.mark.slow,
    # The in-process scheduler warns when its set-up is slow, as it is on a
    # loaded machine.
    pytest.mark.filterwarnings("ignore:Creating scratch directories is taking a surprisingly long time"),
]

FUNCTIONS = [("file", "ascending"), ("line", "ascending"), ("column", "ascending"), ("qualname", "ascending")]
FILES = [("path", "ascending")]


@pytest.fixture(scope="module")
def client():
    c = local_client(2)
    yield c
    cluster = c.cluster
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    shutil.copytree(SAMPLE, root / "pkg")
    shutil.copytree(os.path.join(os.path.dirname(os.__file__), "json"), root / "json")
    (root / "broken.py").write_text("def f(:\n")
    for i in range(40):   # enough partitions that some are in flight when a worker is lost
        body = "".join(f"def f{j}(x):\n    if x > {j}:\n        return [y for y in x if y]\n" for j in range(40))
        (root / f"gen{i}.py").write_text(body)
    functions, files = table.read_batches(table.scan_batches([str(root)], jobs=1, cache=False))
    return str(root), functions.sort_by(FUNCTIONS), files.sort_by(FILES)


def _tables(output, run):
    return table.read_run(output, run, "functions").sort_by(FUNCTIONS), table.read_run(output, run, "files").sort_by(FILES)


def _kill_busy_worker(client):
    busy = sorted(w for w, keys in client.processing().items() if keys)
    assert busy, "no partition in flight to lose"
    os.kill(client.run(os.getpid, workers=busy[:1])[busy[0]], signal.SIGKILL)


@pytest.mark.parametrize("disruption", [None, "kill", "restart"])
def test_cluster_table_equals_the_single_process_table(client, corpus, tmp_path, disruption):
    root, functions, files = corpus
    out = str(tmp_path / "out")

    def disrupt(done, total):
        if done == 1 and disruption == "kill":
            _kill_busy_worker(client)  # the nanny starts a new worker; its tasks move
        elif done == 1 and disruption == "restart":
            client.restart()           # every running and queued partition is cancelled

    summary = scan_to_parquet([os.path.join(root, "*")], out, client, run_id="r", on_partition=disrupt,
                              partition_bytes=3000, cache=False)
    assert summary.partitions >= 8
    got_functions, got_files = _tables(out, "r")
    assert got_functions.equals(functions) and got_files.equals(files)
    assert [p.path for p in summary.problems] == [os.path.join(root, "broken.py")]
    if disruption == "restart":
        assert summary.resubmitted > 0
    assert not [n for t in ("functions", "files") for n in os.listdir(table.run_dir(out, t, "r")) if n.startswith(".")]


@pytest.mark.parametrize("where", [[], ["--dask", "local", "-j", "2"]], ids=["local", "dask"])
def test_ctrl_c_leaves_complete_partitions_only(tmp_path, where):
    out = tmp_path / "out"
    done = out / "functions" / "run=x"
    cmd = [sys.executable, "-m", "velmora_scan", "--stdlib", "--format", "parquet", "--output", str(out),
           "--run-id", "x", "--no-cache", *where]
    # A session of its own: Ctrl-C at a terminal reaches every process of the group.
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 90
        while not (done.is_dir() and any(n.startswith("part-") for n in os.listdir(done))):
            assert p.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        os.killpg(p.pid, signal.SIGINT)
        _, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
    assert p.returncode == 130 and "run x is incomplete" in err, err
    assert sorted(os.listdir(out)) == ["files", "functions"]          # no runs row
    names = [sorted(os.listdir(out / t / "run=x")) for t in ("functions", "files")]
    parts = [[n for n in ns if not n.startswith(".")] for ns in names]
    assert parts[0] and parts[0] == parts[1], err
    # A task already running on a worker when the run stopped may leave its
    # (hidden) temporary file; nothing else is there.
    assert all(n.startswith("part-") or (where and n.endswith(".tmp")) for ns in names for n in ns)
    for n in parts[0]:   # every part that is there reads whole
        table.pq.read_table(done / n)
