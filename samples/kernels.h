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

// `n` samples of `format` in file order (`swap`: the file's byte order is not the machine's) to
// float32: exact where float32 holds the value, otherwise correctly rounded, ties to even.
void decode(const unsigned char* in, float* out, std::size_t n, int format, bool swap);

// `n` float32 samples to `format` in file order. Returns the index of the first sample that does
// not fit (out of an integer format's range, or NaN or an infinity for IBM and the integers;
// what precedes it is written), or -1 when all were written.
std::ptrdiff_t encode(const float* in, unsigned char* out, std::size_t n, int format, bool swap);

// out[i] = in[order[i]] for the 240 header bytes: the byte order of every field reversed (or not)
// in one pass, whatever the field widths are.
void shuffle_header(const unsigned char* in, unsigned char* out, const unsigned char* order,
                    std::size_t first, std::size_t last);

}  // namespace vandor::samples
