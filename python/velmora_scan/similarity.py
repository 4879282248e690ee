"""Near-duplicate functions by the edit distance of their node-kind sequences.

Comparing every pair is quadratic in the number of functions and each
comparison is quadratic in their lengths, so the exact distance is computed
only for a bounded set of candidate pairs:

* functions shorter than ``min_nodes`` kinds are left out (short functions
  look alike without being copies), and so are those longer than
  ``max_nodes`` (the edit table of two such would take too much memory);
* each function is sketched by the ``SKETCH`` smallest hashes of its kind
  4-grams; two functions that share much of their 4-grams are likely to
  share sketch values, and only functions that share one become candidates,
  neighbours in length order within one shared value, at most ``WINDOW``
  apart;
* a pair whose lengths differ by more than ``1 - min_similarity`` of the
  longer one cannot reach that similarity (the distance is at least the
  difference of the lengths) and is dropped before any comparison;
* candidates sharing more sketch values go first, and at most ``max_pairs``
  distances are computed.

The similarity of a pair is 1 - distance / (length of the longer sequence).
Hashes are CRC-32 based, not the interpreter's salted ``hash``, so the same
input gives the same pairs in every process.
"""

from __future__ import annotations

import heapq
import zlib
from dataclasses import dataclass

import velmora as v

SKETCH = 4
WINDOW = 4
_MASK = (1 << 64) - 1


@dataclass
class DuplicatePair:
    first: int  # indices into the list of functions given
    second: int
    distance: int
    similarity: float
    insertions: int
    deletions: int
    substitutions: int


def _sketch(kinds, ids: dict) -> list[int]:
    codes = []
    for k in kinds:
        code = ids.get(k)
        if code is None:
            code = ids[k] = zlib.crc32(k.encode() if isinstance(k, str) else bytes([k]))
        codes.append(code)
    grams = set()
    for a, b, c, d in zip(codes, codes[1:], codes[2:], codes[3:]):
        h = (((a * 0x100000001B3 ^ b) * 0x100000001B3 ^ c) * 0x100000001B3 ^ d) & _MASK
        h = (h * 0x9E3779B97F4A7C15) & _MASK
        grams.add(h ^ (h >> 29))
    return heapq.nsmallest(SKETCH, grams)


def _symbols(seq) -> list[str]:
    # Kind codes as one-character texts: a one-to-one map, so distances are
    # those of the kind names.
    return list(seq.decode("latin-1")) if isinstance(seq, bytes) else seq


def find_duplicates(
    sequences: list[bytes] | list[list[str]],
    *,
    min_nodes: int = 40,
    max_nodes: int = 2000,
    min_similarity: float = 0.8,
    max_pairs: int = 3000,
    top: int = 10,
) -> list[DuplicatePair]:
    """The ``top`` most similar pairs among ``sequences``, most similar first;
    pairs below ``min_similarity`` are not reported."""
    ids: dict[str, int] = {}
    buckets: dict[int, list[int]] = {}
    for i, kinds in enumerate(sequences):
        if min_nodes <= len(kinds) <= max_nodes:
            for h in _sketch(kinds, ids):
                buckets.setdefault(h, []).append(i)

    shared: dict[tuple[int, int], int] = {}
    for key in sorted(buckets):
        members = buckets[key]
        if len(members) < 2:
            continue
        members.sort(key=lambda i: (len(sequences[i]), i))
        for pos, i in enumerate(members):
            li = len(sequences[i])
            for j in members[pos + 1 : pos + 1 + WINDOW]:
                if li < min_similarity * len(sequences[j]):
                    break
                pair = (i, j) if i < j else (j, i)
                shared[pair] = shared.get(pair, 0) + 1

    def priority(item):
        (i, j), count = item
        a, b = len(sequences[i]), len(sequences[j])
        return (-count, -(min(a, b) / max(a, b)), i, j)

    candidates = sorted(shared.items(), key=priority)[:max_pairs]
    found: list[DuplicatePair] = []
    for (i, j), _ in candidates:
        distance, ops = v.compute_sequence_distance(_symbols(sequences[i]), _symbols(sequences[j]))
        longest = max(len(sequences[i]), len(sequences[j]))
        similarity = 1.0 - distance / longest
        if similarity >= min_similarity:
            found.append(
                DuplicatePair(
                    i, j, distance, similarity,
                    ops["insertions"], ops["deletions"], ops["substitutions"],
                )
            )
    found.sort(key=lambda p: (-p.similarity, p.distance, p.first, p.second))
    return found[:top]
