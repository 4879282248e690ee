"""Results as Arrow tables and Parquet runs: the rows hold every field of
the records, batches stay bounded, runs append, and a partition is either
complete or absent."""

import glob
import os
import shutil
import sys
from collections import Counter

import pytest
from hypothesis import given
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from velmora_scan import SAMPLE, scan, table  # noqa: E402
from velmora_scan.__main__ import main  # noqa: E402

# One process and no result cache, unless a test says otherwise.
LOCAL = {"jobs": 1, "cache": False}
IDENTITY = [("file", "ascending"), ("line", "ascending"), ("column", "ascending"), ("qualname", "ascending")]


@pytest.fixture
def corpus(tmp_path):
    root = tmp_path / "src"
    shutil.copytree(SAMPLE, root / "pkg")
    (root / "broken.py").write_text("def f(:\n")
    (root / "big.py").write_text("".join(f"def f{i}(x):\n    return [y for y in x if y > {i}]\n" for i in range(60)))
    return str(root)


def test_rows_hold_every_field_and_come_back_as_the_records(corpus):
    batches = list(table.scan_batches([corpus, "missing.py"], batch_rows=8, **LOCAL))
    sizes = [b.num_rows for name, b in batches if name == "functions"]
    assert len(sizes) > 3 and max(sizes) <= 60      # bounded by the limit or one file
    functions, files = table.read_batches(batches)
    expected = scan([corpus, "missing.py"], **LOCAL).files
    assert table.reports_from_tables(files, functions) == expected
    status = dict(zip(files.column("path").to_pylist(), files.column("status").to_pylist()))
    assert status[os.path.join(corpus, "broken.py")] == status["missing.py"] == "error"
    # Counts are keyed by kind name and agree with the sequence.
    for counts, seq in zip(functions.column("kind_counts").to_pylist(), functions.column("kind_sequence").to_pylist()):
        assert dict(counts) == Counter(seq) and [k for k, _ in counts] == sorted(Counter(seq))


@given(st.lists(st.binary(max_size=40).map(lambda b: bytes(c % len(table.KIND_NAMES) for c in b)), max_size=30))
def test_kind_counts_match_the_sequences(kinds):
    counts, sequences = table._kind_columns(kinds)
    assert sequences.to_pylist() == [[table.KIND_NAMES[c] for c in k] for k in kinds]
    assert counts.to_pylist() == [sorted((table.KIND_NAMES[c], n) for c, n in Counter(k).items()) for k in kinds]


def test_kind_names_unknown_to_this_interpreter_still_read(corpus):
    functions, _ = table.read_batches(table.scan_batches([corpus], **LOCAL))
    seq = functions.column("kind_sequence").combine_chunks()
    # The same sequences under a dictionary with an extra, foreign name.
    names = seq.values.dictionary.to_pylist() + ["kind_of_a_later_version"]
    indices = pa.array([len(names) - 1 if i == 0 else v for i, v in enumerate(seq.values.indices.to_pylist())], pa.int16())
    foreign = pa.ListArray.from_arrays(seq.offsets, pa.DictionaryArray.from_arrays(indices, pa.array(names)))
    got = table._kind_bytes(foreign)
    assert got[0][0] == len(table.KIND_NAMES) and got[0][1:] == table._kind_bytes(seq)[0][1:]
    assert got[1:] == table._kind_bytes(seq)[1:]


def _run(output, run, name):
    return pq.read_table(table.run_dir(str(output), name, run))


def test_runs_append_and_partitions_replace_themselves(corpus, tmp_path):
    out = tmp_path / "out"
    first = table.write_parquet([corpus], str(out), run_id="a", partition_bytes=2000, jobs=2, cache=False)
    second = table.write_parquet([corpus], str(out), run_id="b", partition_bytes=10**9, **LOCAL)
    assert first.partitions > 2 and second.partitions == 1
    assert first.exit_status() == 1 and [p.path for p in first.problems] == [os.path.join(corpus, "broken.py")]
    both = pq.read_table(str(out / "functions"), partitioning="hive")
    by_run = Counter(both.column("run").to_pylist())
    assert by_run["a"] == by_run["b"] == first.functions
    assert _run(out, "a", "functions").sort_by(IDENTITY).equals(_run(out, "b", "functions").sort_by(IDENTITY))
    assert pq.read_table(str(out / "runs")).column("run").to_pylist() == ["a", "b"]
    # The second stage over the tables finds what a scan finds.
    expected = table.whole_input_rows(scan([corpus], **LOCAL))
    assert {n for n, rows in expected.items() if rows} >= {"clusters", "calls", "fans"}
    for name, rows in expected.items():
        assert (_run(out, "a", name).to_pylist() if rows else []) == rows, name
    assert not glob.glob(str(out / "**" / ".*"), recursive=True)
    # Writing a partition again (a retry) replaces it with the same rows.
    before = pq.read_table(table.run_dir(str(out), "functions", "a") + "/" + table.part_name(1))
    parts = table.plan([corpus], partition_bytes=2000).partitions
    table.write_partition(str(out), "a", 1, parts[1], table.Settings(**LOCAL))
    assert _run(out, "a", "functions").num_rows == first.functions
    assert pq.read_table(table.run_dir(str(out), "functions", "a") + "/" + table.part_name(1)).equals(before)
    with pytest.raises(table.UsageError, match="already exists"):
        table.start_run(str(out), "a")


def test_interrupted_partition_leaves_nothing_behind(corpus, tmp_path, monkeypatch):
    out = str(tmp_path / "out")
    calls = []
    analyze = table.analyze
    parts = table.plan([corpus], partition_bytes=4000).partitions
    stop = len(parts[0]) + 2      # the second file of the second partition
    assert len(parts[1]) >= 2

    def interrupted(entry, settings):
        calls.append(entry.path)
        if len(calls) == stop:
            raise KeyboardInterrupt
        return analyze(entry, settings)

    monkeypatch.setattr(table, "analyze", interrupted)
    with pytest.raises(KeyboardInterrupt):
        table.write_parquet([corpus], out, run_id="r", partition_bytes=4000, **LOCAL)
    left = sorted(os.listdir(table.run_dir(out, "functions", "r"))), sorted(os.listdir(table.run_dir(out, "files", "r")))
    assert left == (["part-00000.parquet"], ["part-00000.parquet"])
    assert not os.path.exists(os.path.join(out, "runs"))


def test_plan_balances_by_size(tmp_path):
    sizes = [50_000, 40_000, 30_000, 5_000, 4_000, 3_000, 2_000, 1_000, 10, 0]
    for i, n in enumerate(sizes):
        (tmp_path / f"m{i}.py").write_text("#" * n)
    parts = table.plan([str(tmp_path)], partition_bytes=40_000).partitions
    files = sorted(c.path for p in parts for c in p)
    assert files == sorted(str(tmp_path / f"m{i}.py") for i in range(len(sizes)))
    loads = [sum(os.path.getsize(c.path) + 512 for c in p) for p in parts]
    assert len(parts) == 4 and max(loads) - min(loads) <= 50_000 + 512
    assert parts == table.plan([str(tmp_path)], partition_bytes=40_000).partitions


@pytest.mark.parametrize("args, status, message", [
    (["--format", "parquet"], 2, "need --output DIR"),
    (["--format", "parquet", "--output", "{out}", "--run-id", "../x"], 2, "run id"),
    (["--format", "parquet", "--output", "{out}", "--run-id", "r1"], 0, ""),
    (["--dask", "local", "--format", "json", "--output", "{out}"], 2, "--format json does not apply"),
    (["--dask", "tcp://127.0.0.1:9", "--output", "{out}"], 2, "cannot reach the Dask scheduler"),
])
def test_cli_parquet(args, status, message, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(SAMPLE)
    if "--dask" in args:
        dask = pytest.importorskip("velmora_scan.dask")
        monkeypatch.setattr(dask, "CONNECT_TIMEOUT", 1)
    assert main([".", "--no-cache", "-j", "1", *(a.format(out=tmp_path) for a in args)]) == status
    out, err = capsys.readouterr()
    assert message in err
    if status == 0:
        assert "run r1: 21 functions of 4 files" in out
        assert "clusters: 2 rows" in out and "calls: " in out


def test_cli_without_pyarrow_is_a_usage_error(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.delitem(sys.modules, "velmora_scan.table")
    monkeypatch.delattr(sys.modules["velmora_scan"], "table")
    assert main([SAMPLE, "--format", "parquet", "--output", "x"]) == 2
    assert "pip install 'velmora[data]'" in capsys.readouterr().err
