"""Clusters of near-duplicate functions.

Two functions are near duplicates when the node-kind sequences of their
bodies (``FunctionReport.kinds``) are close in edit distance: similarity
= 1 − distance / (length of the longer sequence), at least
``min_similarity``.  Functions below ``min_statements`` statements and
functions that only assign attributes (``__init__`` bodies of
``self.x = x``) look alike without being copies, and are left out.

Finding the pairs without comparing all of them (natively, in
``velmora_scan._native.near_pairs``):

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
* every candidate is decided exactly: first by two lower bounds of the
  distance (the difference of the lengths, and the longer length less the
  kinds the two have in common), then by the edit distance itself, computed
  bit-parallel and given up as soon as it must exceed the largest distance
  that still reaches ``min_similarity``; then, for every pair found, the
  neighbours each side already has are compared with the other side (near
  duplicates come in families, and a family member that the sketches missed
  is very likely close to one they found).

Clusters: the sequence whose found neighbours cover the most functions
becomes a representative, and it and its neighbours not yet taken form a
cluster; repeated until no pair is left.  Each member therefore has its
own exact distance to the representative, and the insert, delete and
substitute counts of the script from the representative to the member.
Clusters are ranked by the code they duplicate: the representative's lines
× (members − 1).

Hashes are CRC-32 based, never the interpreter's salted ``hash``, so the same
input gives the same clusters in every process.  velmora's
``compute_sequence_distance`` measures only the members reported.
"""

from __future__ import annotations

import heapq
from dataclasses import dataclass, field
from typing import Sequence

import velmora as v

from . import _native

DEFAULT_MIN_SIMILARITY = 0.8
DEFAULT_MIN_STATEMENTS = 5

BANDS = 32
ROWS = 4
WINDOW = 30
# Pairs that agree on fewer bands are not compared.
MIN_BANDS = 2
# A found pair checks at most this many of the neighbours each side has.
FAMILY = 20


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
    compared: int = 0  # candidate pairs decided exactly while searching
    distances: int = 0  # of those, decided by an edit distance rather than a bound
    pairs: int = 0  # pairs of distinct sequences found similar enough
    skipped: dict[str, int] = field(default_factory=dict)  # why functions were left out


def _chars(kinds: bytes) -> list[str]:
    # compute_sequence_distance compares texts; one code point per kind.
    return list(kinds.decode("latin-1"))


def near_pairs(seqs: Sequence[bytes], min_similarity: float) -> tuple[tuple[tuple[int, int, int], ...], int, int]:
    """The similar pairs among distinct sequences, as (i, j, distance) with
    i < j in the order found; the candidate pairs decided; and how many of
    those took an edit distance rather than a bound."""
    return _native.near_pairs(seqs, min_similarity, BANDS, ROWS, WINDOW, MIN_BANDS, FAMILY)


def _lines(f) -> int:
    first = getattr(f, "first_line", f.line) or f.line
    return max(1, f.end_line - first + 1)


@dataclass
class Eligible:
    """The functions that take part, grouped by their kind sequence."""

    groups: dict[bytes, list[int]]  # distinct sequence -> indices of its functions
    skipped: dict[str, int]  # why the others were left out

    @property
    def seqs(self) -> list[bytes]:
        return list(self.groups)


def eligible(functions: Sequence, min_statements: int = DEFAULT_MIN_STATEMENTS) -> Eligible:
    skipped = {"small": 0, "assign_only": 0}
    groups: dict[bytes, list[int]] = {}
    for i, f in enumerate(functions):
        if f.statements < min_statements or not f.kinds:
            skipped["small"] += 1
        elif f.assign_only:
            skipped["assign_only"] += 1
        else:
            groups.setdefault(bytes(f.kinds), []).append(i)
    return Eligible(groups, skipped)


def find_clusters(
    functions: Sequence,
    *,
    min_similarity: float = DEFAULT_MIN_SIMILARITY,
    min_statements: int = DEFAULT_MIN_STATEMENTS,
    chosen: Eligible | None = None,
    found: tuple | None = None,
) -> Clusters:
    """Near-duplicate clusters among ``functions`` (records with ``kinds``,
    ``statements``, ``assign_only``, ``line``, ``end_line``), most
    duplicated code first. ``chosen`` and ``found`` are `eligible`'s and
    `near_pairs`' results for these functions where the caller has them
    already (another process may have searched while this one did other
    work)."""
    if chosen is None:
        chosen = eligible(functions, min_statements)
    groups, skipped = chosen.groups, chosen.skipped
    seqs = list(groups)
    pairs, compared, distances = found if found is not None else near_pairs(seqs, min_similarity)
    neighbours: list[list[int]] = [[] for _ in seqs]
    for i, j, _ in pairs:
        neighbours[i].append(j)
        neighbours[j].append(i)

    # Greedy covering: the sequence whose neighbourhood holds the most
    # functions not yet taken leads the next cluster.
    members = [groups[s] for s in seqs]
    taken = [False] * len(seqs)
    cover = [len(members[i]) + sum(len(members[j]) for j in neighbours[i]) for i in range(len(seqs))]
    heap = [(-cover[i], min(members[i]), i) for i in range(len(seqs)) if cover[i] > 1]
    heapq.heapify(heap)
    clusters: list[Cluster] = []
    while heap:
        neg, _, i = heapq.heappop(heap)
        if taken[i]:
            continue
        now = len(members[i]) + sum(len(members[j]) for j in neighbours[i] if not taken[j])
        if now != -neg:
            if now > 1:
                heapq.heappush(heap, (-now, min(members[i]), i))
            continue
        taken[i] = True
        around = sorted(j for j in neighbours[i] if not taken[j])
        for j in around:
            taken[j] = True
        clusters.append(_cluster(functions, seqs, members, i, around))
    clusters.sort(key=lambda c: (-c.weight, -len(c.members), c.representative))
    return Clusters(clusters, sum(len(m) for m in members), compared, distances, len(pairs), skipped)


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


def to_plain(found: Clusters) -> tuple:
    """The clusters as tuples of plain values, for the result cache;
    `from_plain` builds them again."""
    return (
        tuple((c.representative, c.lines, tuple(
            (m.function, m.distance, m.similarity, m.insertions, m.deletions, m.substitutions) for m in c.members))
            for c in found.clusters),
        found.considered, found.compared, found.distances, found.pairs, found.skipped,
    )


def from_plain(plain: tuple) -> Clusters:
    rows, considered, compared, distances, pairs, skipped = plain
    clusters = [Cluster(rep, [Member(*m) for m in members], lines) for rep, lines, members in rows]
    return Clusters(clusters, considered, compared, distances, pairs, dict(skipped))
