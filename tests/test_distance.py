import os
import random
import signal
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora
from velmora import DistanceResult, compute_sequence_distance


def full_table(source, target):
    """The textbook table and the traceback in its rule order: match, then
    substitution, then insertion, then deletion."""
    m, n = len(source), len(target)
    d = [[0] * (n + 1) for _ in range(m + 1)]
    for i in range(m + 1):
        d[i][0] = i
    for j in range(n + 1):
        d[0][j] = j
    for i in range(1, m + 1):
        for j in range(1, n + 1):
            if source[i - 1] == target[j - 1]:
                d[i][j] = d[i - 1][j - 1]
            else:
                d[i][j] = 1 + min(d[i - 1][j], d[i][j - 1], d[i - 1][j - 1])
    ins = dels = subs = 0
    i, j = m, n
    while i > 0 or j > 0:
        if i > 0 and j > 0 and source[i - 1] == target[j - 1]:
            i, j = i - 1, j - 1
        elif i > 0 and j > 0 and d[i][j] == d[i - 1][j - 1] + 1:
            subs, i, j = subs + 1, i - 1, j - 1
        elif j > 0 and d[i][j] == d[i][j - 1] + 1:
            ins, j = ins + 1, j - 1
        else:
            dels, i = dels + 1, i - 1
    return d[m][n], {"insertions": ins, "deletions": dels, "substitutions": subs}


def texts(alphabet, max_size):
    return st.lists(st.sampled_from(alphabet), max_size=max_size)


@st.composite
def similar_pairs(draw, min_size, max_size):
    """A sequence and an edited copy: long matching runs with ties around
    the edits, across the 64-row block edges."""
    alphabet = draw(st.sampled_from(["a", "ab", "abc"]))
    source = draw(st.lists(st.sampled_from(alphabet), min_size=min_size, max_size=max_size))
    target = list(source)
    for _ in range(draw(st.integers(0, 12))):
        at = draw(st.integers(0, len(target)))
        op = draw(st.sampled_from("ids"))
        if op == "i" or not target:
            target.insert(at, draw(st.sampled_from(alphabet)))
        elif op == "d":
            del target[min(at, len(target) - 1)]
        else:
            target[min(at, len(target) - 1)] = draw(st.sampled_from(alphabet))
    return source, target


class TestAgainstFullTable:
    @settings(max_examples=600)
    @given(st.sampled_from(["a", "ab", "abc"]).flatmap(lambda alpha: st.tuples(texts(alpha, 80), texts(alpha, 80))))
    def test_random_pairs_over_tiny_alphabets(self, pair):
        source, target = pair
        assert compute_sequence_distance(source, target) == full_table(source, target)

    @settings(max_examples=60)
    @given(similar_pairs(50, 200))
    def test_edited_copies_across_block_edges(self, pair):
        source, target = pair
        assert compute_sequence_distance(source, target) == full_table(source, target)

    def test_many_distinct_texts(self):
        # Most symbols occur once: their match words are scattered per column.
        rng = random.Random(3)
        words = [f"tok{k}" for k in range(150)] + ["é", "e\u0301", "", "a\0b"]
        source = rng.choices(words, k=300)
        target = [w if rng.random() < 0.8 else rng.choice(words) for w in source]
        assert compute_sequence_distance(source, target) == full_table(source, target)


class TestHandChecked:
    @pytest.mark.parametrize(
        "source, target, expected",
        [
            ([], [], (0, 0, 0, 0)),
            ([], ["x", "y", "z"], (3, 3, 0, 0)),
            (["x", "y"], [], (2, 0, 2, 0)),
            (["a", "b"], ["b", "a"], (2, 0, 0, 2)),
            (["a", "b", "c"], ["a", "c"], (1, 0, 1, 0)),
            (["a", "c"], ["a", "b", "c"], (1, 1, 0, 0)),
            (["node"], ["nodes"], (1, 0, 0, 1)),
            (["Node"], ["node"], (1, 0, 0, 1)),
            (["é"], ["e\u0301"], (1, 0, 0, 1)),
            # Insertion and deletion tie on the walk; taking the deletion
            # first would give 2 insertions and 1 deletion.
            (["a", "b", "a"], ["b", "c", "a", "b"], (3, 1, 0, 2)),
        ],
    )
    def test_examples(self, source, target, expected):
        distance, ops = compute_sequence_distance(source, target)
        assert (distance, ops["insertions"], ops["deletions"], ops["substitutions"]) == expected

    def test_result_shape(self):
        result = compute_sequence_distance(["a"], ["a"])
        assert type(result) is tuple and len(result) == 2
        assert type(result[0]) is int
        assert type(result[1]) is dict
        assert sorted(result[1]) == ["deletions", "insertions", "substitutions"]
        assert compute_sequence_distance(["a"], ["a"])[1] is not result[1]

    def test_identical_long_sequences(self):
        seq = [str(k % 97) for k in range(5000)]
        assert compute_sequence_distance(seq, list(seq)) == full_table([], [])


class TestArguments:
    def test_sequence_kinds(self):
        class Seq:
            def __init__(self, items):
                self.items = items

            def __len__(self):
                return len(self.items)

            def __getitem__(self, k):
                return self.items[k]

        class Text(str):
            pass

        expected = compute_sequence_distance(["a", "b", "c"], ["a", "c"])
        assert compute_sequence_distance(("a", "b", "c"), ("a", "c")) == expected
        assert compute_sequence_distance(Seq(["a", "b", "c"]), Seq(["a", "c"])) == expected
        assert compute_sequence_distance([Text("a"), "b", "c"], ["a", Text("c")]) == expected
        assert compute_sequence_distance(target=["a", "c"], source=["a", "b", "c"]) == expected

    def test_texts_are_equal_by_content_not_by_their_hash(self):
        class Lying(str):
            def __hash__(self):
                return 7  # the same for every text

        class Other(str):
            def __hash__(self):
                return hash(str(self)) + 1  # never the hash of the equal str

        expected = compute_sequence_distance(["x", "é", "𝔸b", "c"], ["é", "x", "c"])
        assert compute_sequence_distance([Lying("x"), "é", Other("𝔸b"), "c"], ["é", Lying("x"), Other("c")]) == expected
        assert compute_sequence_distance([Lying("a"), Lying("b")], ["b", "a"]) == full_table(["a", "b"], ["b", "a"])

    @pytest.mark.parametrize(
        "source, target, param",
        [
            ("ab", ["a"], "source"),
            (["a"], "ab", "target"),
            (["a", 1], ["a"], "source"),
            (["a"], [b"a"], "target"),
            (None, ["a"], "source"),
            (iter(["a"]), ["a"], "source"),
        ],
    )
    def test_type_errors_name_the_argument(self, source, target, param):
        with pytest.raises(TypeError, match=f"'{param}'"):
            compute_sequence_distance(source, target)

    def test_str_argument_message(self):
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`$"):
            compute_sequence_distance("abc", [])

    def test_source_fails_before_target_is_read(self):
        class Watched:
            touched = False

            def __len__(self):
                return 1

            def __getitem__(self, k):
                Watched.touched = True
                raise IndexError

        with pytest.raises(TypeError, match="'source'"):
            compute_sequence_distance([3], Watched())
        assert not Watched.touched

    def test_unencodable_text(self):
        with pytest.raises(UnicodeEncodeError):
            compute_sequence_distance(["ok"], ["\ud800"])
        assert compute_sequence_distance(["ok"], ["ok"])[0] == 0

    def test_item_errors_pass_through(self):
        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, k):
                if k == 1:
                    raise ZeroDivisionError
                return "a"

        with pytest.raises(ZeroDivisionError):
            compute_sequence_distance(Broken(), [])


class TestDistanceResult:
    def test_class(self):
        assert velmora.__all__.index("DistanceResult") + 1 == velmora.__all__.index("compute_sequence_distance")
        assert DistanceResult.__doc__ is None
        assert DistanceResult.__module__ == "builtins"
        assert DistanceResult.__bases__ == (object,)
        for name in ("raw_distance", "normalized_distance", "operations"):
            assert isinstance(getattr(DistanceResult, name), type(DistanceResult.raw_distance))
        with pytest.raises(TypeError):
            DistanceResult()
        with pytest.raises(TypeError):

            class Sub(DistanceResult):
                pass


def test_ctrl_c_stops_a_long_call():
    # 200,000 x 200,000 cells take seconds; the alarm fires within the call
    # (or, at worst, just before it), and either way the call raises.
    rng = random.Random(1)
    source = [str(x) for x in rng.choices(range(1000), k=200_000)]
    target = [str(x) for x in rng.choices(range(1000), k=200_000)]

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            compute_sequence_distance(source, target)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert compute_sequence_distance(source[:50], source[:50])[0] == 0


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer needs an unlimited address space")
def test_allocation_failure_is_memory_error():
    # 3,000,000 x 3,000,000 needs over a gigabyte of kept columns; with the
    # address space capped the call must fail cleanly and the process go on.
    script = textwrap.dedent(
        """
        import resource, velmora
        source, target = ["a"] * 3_000_000, ["b"] * 3_000_000
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + 400 * 2**20, hard))
        try:
            velmora.compute_sequence_distance(source, target)
        except MemoryError:
            print("MemoryError", velmora.compute_sequence_distance(source[:100], target[:99]))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split(None, 1) == ["MemoryError", "(100, {'insertions': 0, 'deletions': 1, 'substitutions': 99})\n"]
