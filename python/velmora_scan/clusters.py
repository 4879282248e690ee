"""Clusters of near-duplicate functions.

Two functions are near duplicates when the node-kind sequences of their
bodies (``FunctionReport.kinds``) are close in edit distance: similarity
= 1 − distance / (length of the longer sequence), at least
``min_similarity``.  Functions below ``min_statements`` statements and
functions that only assign attributes (``__init__`` bodies of
``self.x = x``) look alike without being copies, and are left out.

Finding the pairs without comparing all of them:

* identical sequences are grouped first: their distance is 0, and a group
  is one entry for everything that follows;
* each sequence gets a one-permutation MinHash sketch of its 4-grams (with
  repeated 4-grams numbered, so that the sketch sees the multiset), ``BANDS``
  bands of ``ROWS`` bins; two sequences that agree on every bin of at
  least ``MIN_BANDS`` bands become a candidate pair.  Within one band's
  bucket the members are in length order and each sequence meets at most
  ``WINDOW`` of the next longer ones, so the work per sequence is bounded
  whatever the input;
* a pair whose lengths differ by more than ``1 − min_similarity`` of the
  longer one cannot be similar enough (the distance is at least the
  difference of the lengths) and is not compared;
* every candidate is measured exactly with velmora's
  ``compute_sequence_distance``; then, for every pair found, the neighbours
  each side already has are compared with the other side (near duplicates
  come in families, and a family member that the sketches missed is very
  likely close to one they found).

Clusters: the sequence whose found neighbours cover the most functions
becomes a representative, and it and its neighbours not yet taken form a
cluster; repeated until no pair is left.  Each member therefore has its
own exact distance to the representative, and the insert, delete and
substitute counts of the script from the representative to the member.
Clusters are ranked by the code they duplicate: the representative's lines
× (members − 1).

Hashes are CRC-32 based, never the interpreter's salted ``hash``, so the same
input gives the same clusters in every process.
"""

from __future__ import annotations

import bisect
import heapq
import zlib
from collections import Counter
from dataclasses import dataclass, field
from typing import Sequence

import velmora as v

DEFAULT_MIN_SIMILARITY = 0.8
DEFAULT_MIN_STATEMENTS = 5

GRAM = 4
BANDS = 32
ROWS = 4
WINDOW = 30
# Pairs that agree on fewer bands are not compared.
MIN_BANDS = 2
# A found pair checks at most this many of the neighbours each side has.
FAMILY = 20

_MASK = (1 << 64) - 1
_MIX = 0x9E3779B97F4A7C15
_EMPTY = 0x5851F42D4C957F2D


@dataclass(slots=True)
class Member:
    function: int  # index into the functions given
    distance: int  # to the representative
    similarity: float
    insertions: int
    deletions: int
    substitutions: int


@dataclass(slots=True)
class Cluster:
    representative: int
    members: list[Member]  # the representative first, then by distance and place
    lines: int  # lines of the representative, decorators included

    @property
    def weight(self) -> int:
        """Lines of duplicated code: lines × (members − 1)."""
        return self.lines * (len(self.members) - 1)


@dataclass
class Clusters:
    clusters: list[Cluster]
    considered: int = 0  # functions large enough to take part
    compared: int = 0  # exact distances computed while searching
    pairs: int = 0  # pairs of distinct sequences found similar enough
    skipped: dict[str, int] = field(default_factory=dict)  # why functions were left out


def band_keys(kinds: bytes) -> tuple[int, ...]:
    """The sketch of ``kinds`` as one 64-bit key per band (its ``ROWS``
    bins mixed together): a quarter of the memory of the bins themselves."""
    bins = sketch(kinds, BANDS * ROWS)
    keys = []
    for lo in range(0, BANDS * ROWS, ROWS):
        key = 0
        for value in bins[lo : lo + ROWS]:
            key = ((key ^ value) * _MIX) & _MASK
        keys.append(key)
    return tuple(keys)


def sketch(kinds: bytes, bins: int) -> tuple[int, ...]:
    """One-permutation MinHash of the numbered 4-grams of ``kinds``: the
    n-th repeat of a 4-gram hashes as CRC-32 seeded with n, so that the
    sketch sees the multiset."""
    counts = Counter([kinds[i : i + GRAM] for i in range(max(1, len(kinds) - GRAM + 1))])
    hashes = list(map(zlib.crc32, counts))
    for gram, n in counts.items():
        if n > 1:
            hashes.extend(zlib.crc32(gram, k) for k in range(1, n))
    # CRC-32 is linear; a multiply spreads it over 64 bits before binning.
    # Largest first, so that the smallest of a bin is the one it keeps.
    hashes = sorted([(h * _MIX) & _MASK for h in hashes], reverse=True)
    filled = {h % bins: h for h in hashes}
    if len(filled) == bins:
        return tuple(filled[b] for b in range(bins))
    # An empty bin borrows from the next filled one to its right (circular),
    # tagged by the distance, so that two short sequences do not agree on
    # bins just because both are empty.
    out = [filled.get(b) for b in range(bins)]
    nxt = min(filled) + bins
    for b in range(bins - 1, -1, -1):
        if out[b] is None:
            out[b] = (filled[nxt % bins] ^ ((nxt - b) * _EMPTY)) & _MASK
        else:
            nxt = b
    return tuple(out)


def _chars(kinds: bytes) -> list[str]:
    # compute_sequence_distance compares texts; one code point per kind.
    return list(kinds.decode("latin-1"))


class _Search:
    def __init__(self, seqs: list[bytes], min_similarity: float):
        self.seqs = seqs
        self.lengths = [len(s) for s in seqs]
        self.min_similarity = min_similarity
        self.checked: set[tuple[int, int]] = set()
        self.found: dict[tuple[int, int], int] = {}  # (i, j) -> distance
        self.neighbours: list[list[int]] = [[] for _ in seqs]
        self.compared = 0

    def check(self, i: int, j: int, chars_i: list[str] | None = None) -> bool:
        if j < i:
            i, j = j, i
            chars_i = None
        key = (i, j)
        if key in self.checked:
            return False
        self.checked.add(key)
        longer = max(self.lengths[i], self.lengths[j])
        if min(self.lengths[i], self.lengths[j]) < self.min_similarity * longer:
            return False
        self.compared += 1
        distance, _ = v.compute_sequence_distance(chars_i or _chars(self.seqs[i]), _chars(self.seqs[j]))
        if 1.0 - distance / longer < self.min_similarity:
            return False
        self.found[key] = distance
        self.neighbours[i].append(j)
        self.neighbours[j].append(i)
        return True

    def candidates(self) -> None:
        seqs, lengths = self.seqs, self.lengths
        keys = [band_keys(s) for s in seqs]
        order = sorted(range(len(seqs)), key=lambda i: (lengths[i], i))
        bands: list[dict[int, list[int]]] = []
        for band in range(BANDS):
            buckets: dict[int, list[int]] = {}
            for i in order:
                buckets.setdefault(keys[i][band], []).append(i)
            bands.append(buckets)
        length_of = lengths.__getitem__
        for i in order:
            li = lengths[i]
            mine = keys[i]
            mates: list[int] = []
            for band in range(BANDS):
                bucket = bands[band][mine[band]]
                if len(bucket) == 1:
                    continue
                # The bucket is in length order: i meets the next WINDOW
                # members from its own place on.
                start = bisect.bisect_left(bucket, li, key=length_of)
                mates.extend(bucket[start : start + WINDOW + 1])
            chars_i = None
            # Counter keeps first-seen order: the same for every run.
            for j, agree in Counter(mates).items():
                if agree < MIN_BANDS:
                    continue
                lj = lengths[j]
                if lj < li or (lj == li and j <= i):
                    continue  # the pair is met from its shorter side
                if li < self.min_similarity * lj:
                    continue
                if chars_i is None:
                    chars_i = _chars(seqs[i])
                self.check(i, j, chars_i)

    def families(self) -> None:
        work = sorted(self.found)
        while work:
            a, b = work.pop()
            for x, y in ((a, b), (b, a)):
                for z in self.neighbours[x][:FAMILY]:
                    if z != y and self.check(y, z):
                        work.append((min(y, z), max(y, z)))


def _lines(f) -> int:
    first = getattr(f, "first_line", f.line) or f.line
    return max(1, f.end_line - first + 1)


def find_clusters(
    functions: Sequence,
    *,
    min_similarity: float = DEFAULT_MIN_SIMILARITY,
    min_statements: int = DEFAULT_MIN_STATEMENTS,
) -> Clusters:
    """Near-duplicate clusters among ``functions`` (records with ``kinds``,
    ``statements``, ``assign_only``, ``line``, ``end_line``), most
    duplicated code first."""
    skipped = {"small": 0, "assign_only": 0}
    groups: dict[bytes, list[int]] = {}
    for i, f in enumerate(functions):
        if f.statements < min_statements or not f.kinds:
            skipped["small"] += 1
        elif f.assign_only:
            skipped["assign_only"] += 1
        else:
            groups.setdefault(bytes(f.kinds), []).append(i)
    seqs = list(groups)
    search = _Search(seqs, min_similarity)
    search.candidates()
    search.families()

    # Greedy covering: the sequence whose neighbourhood holds the most
    # functions not yet taken leads the next cluster.
    members = [groups[s] for s in seqs]
    taken = [False] * len(seqs)
    cover = [len(members[i]) + sum(len(members[j]) for j in search.neighbours[i]) for i in range(len(seqs))]
    heap = [(-cover[i], min(members[i]), i) for i in range(len(seqs)) if cover[i] > 1]
    heapq.heapify(heap)
    clusters: list[Cluster] = []
    while heap:
        neg, _, i = heapq.heappop(heap)
        if taken[i]:
            continue
        now = len(members[i]) + sum(len(members[j]) for j in search.neighbours[i] if not taken[j])
        if now != -neg:
            if now > 1:
                heapq.heappush(heap, (-now, min(members[i]), i))
            continue
        taken[i] = True
        around = sorted(j for j in search.neighbours[i] if not taken[j])
        for j in around:
            taken[j] = True
        clusters.append(_cluster(functions, seqs, members, i, around))
    clusters.sort(key=lambda c: (-c.weight, -len(c.members), c.representative))
    return Clusters(clusters, sum(len(m) for m in members), search.compared, len(search.found), skipped)


def _cluster(functions, seqs, members, lead: int, around: list[int]) -> Cluster:
    rep = members[lead][0]
    out = [Member(f, 0, 1.0, 0, 0, 0) for f in members[lead]]
    lead_chars = _chars(seqs[lead])
    for j in around:
        # Measured again from the representative, so that the counts are
        # those of the script representative -> member.
        distance, ops = v.compute_sequence_distance(lead_chars, _chars(seqs[j]))
        similarity = 1.0 - distance / max(len(seqs[lead]), len(seqs[j]))
        for f in members[j]:
            out.append(Member(f, distance, similarity, ops["insertions"], ops["deletions"], ops["substitutions"]))
    out[1:] = sorted(out[1:], key=lambda m: (m.distance, m.function))
    return Cluster(rep, out, _lines(functions[rep]))
