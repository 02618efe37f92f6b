// Sample conversion between the SEG-Y sample formats and float32, and the header byte shuffle.
// Plain C++ over memory: no Python, so the module runs them with the interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandor::samples {

// Bytes per sample of a format code that can be read (1, 2, 3, 5-12, 15, 16), or 0.
int decoded_size(int format);
// Bytes per sample of a format code that can be written (1, 2, 3, 5, 8), or 0.
int encoded_size(int format);

// `rows` runs of `n` samples of `format` in file order (`swap`: the file's byte order is not the
// machine's), `stride` bytes apart, to rows of float32 back to back: exact where float32 holds
// the value, otherwise correctly rounded, ties to even.
void decode(const unsigned char* in, std::size_t stride, float* out, std::size_t n,
            std::size_t rows, int format, bool swap);

// `n` float32 samples to `format` in file order. Returns the index of the first sample that does
// not fit (out of an integer format's range, or NaN or an infinity for IBM and the integers;
// what precedes it is written), or -1 when all were written.
std::ptrdiff_t encode(const float* in, unsigned char* out, std::size_t n, int format, bool swap);

// A header byte shuffle (out[i] = in[order[i]], reversing the bytes of every field or of none)
// as masks over 4-byte words, each word kept, reversed whole (a 4-byte field) or reversed in
// halves (two 2-byte fields): a few vector operations per header instead of a byte loop.
struct HeaderShuffle {
    static constexpr std::size_t kWords = 60;
    std::uint32_t keep[kWords], whole[kWords], halves[kWords];
    const unsigned char* order;  // the byte table itself, for layouts the words cannot express
    bool words;
};

// Builds the shuffle of a 240-byte order table.
HeaderShuffle plan_shuffle(const unsigned char* order);

// Shuffles header bytes [4 * first_word, 4 * last_word) of `rows` headers, `in_stride` and
// `out_stride` bytes apart, from `in` into the same places of `out`.
void shuffle_header(const HeaderShuffle& shuffle, const unsigned char* in, std::size_t in_stride,
                    unsigned char* out, std::size_t out_stride, std::size_t rows,
                    std::size_t first_word, std::size_t last_word);

}  // namespace vandor::samples
