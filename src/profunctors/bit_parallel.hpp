// One step of the blockwise bit-vector edit distance (Myers 1999, in the
// block form of its Section 4; Hyyro 2003 for the edit-distance boundary),
// shared by the distance with its edit script and by the near-duplicate
// search's bounded distance.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::bit_parallel {

using Word = std::uint64_t;
inline constexpr std::size_t kWordBits = 64;

// Words that hold `rows` bits.
inline std::size_t words_for(std::size_t rows) { return (rows + kWordBits - 1) / kWordBits; }

// The carry between the words of one column: the horizontal delta leaving
// the bottom of a word. Row 0 holds D[0][j] = j, so the delta entering the
// top of the first word is +1.
struct Carry {
    Word hp = 1;
    Word hn = 0;
};

// What one word of a column leaves besides its new vertical deltas: xh
// and the horizontal +1 / -1 bits of its rows, before the shift into the
// next row.
struct Step {
    Word xh;
    Word ph;
    Word mh;
};

// Advances one word of vertical deltas (vp/vn: D[i][j-1] - D[i-1][j-1] =
// +1 / -1) from column j - 1 to column j, given the word's match bits for
// the column's element and the carry from the word above.
inline Step advance_word(Word& vp, Word& vn, Word eq, Carry& c) {
    const Word pv = vp;
    const Word mv = vn;
    const Word xv = eq | mv;
    // A -1 entering from the word above is the carry of the addition below
    // across the word boundary.
    const Word e = eq | c.hn;
    const Word xh = (((e & pv) + pv) ^ pv) | e;
    const Word ph = mv | ~(xh | pv);
    const Word mh = pv & xh;
    const Word shifted_p = (ph << 1) | c.hp;
    const Word shifted_n = (mh << 1) | c.hn;
    vp = shifted_n | ~(xv | shifted_p);
    vn = shifted_p & xv;
    c.hp = ph >> (kWordBits - 1);
    c.hn = mh >> (kWordBits - 1);
    return {xh, ph, mh};
}

}  // namespace velmora::bit_parallel
