// The loops are written so that the compiler vectorises them: the common case (a normalised IBM
// float that float32 holds exactly, a float that rounds to an integer in range) is computed
// branch-free for every sample, and the rare cases are flagged and redone one by one afterwards.
#include "samples/kernels.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace vandor::samples {
namespace {

template <class T>
T load(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void store(unsigned char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

inline std::uint16_t swap16(std::uint16_t v) {
    return __builtin_bswap16(v);
}
inline std::uint32_t swap32(std::uint32_t v) {
    return __builtin_bswap32(v);
}
inline std::uint64_t swap64(std::uint64_t v) {
    return __builtin_bswap64(v);
}

template <bool Swap>
std::uint32_t load32(const unsigned char* p) {
    const std::uint32_t v = load<std::uint32_t>(p);
    return Swap ? swap32(v) : v;
}

// IBM single: sign, excess-64 exponent of 16, 24-bit fraction; value = fraction * 2^(4e - 280).
// With 2^k a normal float32 and k in [-126, 104], fraction * 2^k is exact in float32; other
// exponents (values near or past float32's ends) go through double, where the product is exact,
// and one rounding to float32 gives the correctly rounded result, subnormals and infinities
// included.
template <bool Swap>
void ibm_to_float(const unsigned char* in, float* out, std::size_t n) {
    std::uint32_t rare = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t u = load32<Swap>(in + 4 * i);
        const std::uint32_t fraction = u & 0xffffffu;
        const std::int32_t k = 4 * static_cast<std::int32_t>((u >> 24) & 0x7f) - 280;
        rare |= static_cast<std::uint32_t>((k < -126) | (k > 104)) &
                static_cast<std::uint32_t>(fraction != 0);
        const std::int32_t kept = k < -126 ? -126 : (k > 104 ? 104 : k);
        const float scale = std::bit_cast<float>(static_cast<std::uint32_t>(kept + 127) << 23);
        const float magnitude = static_cast<float>(static_cast<std::int32_t>(fraction)) * scale;
        out[i] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | (u & 0x80000000u));
    }
    if (!rare) return;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t u = load32<Swap>(in + 4 * i);
        const std::uint32_t fraction = u & 0xffffffu;
        const int k = 4 * static_cast<int>((u >> 24) & 0x7f) - 280;
        if (fraction == 0 || (k >= -126 && k <= 104)) continue;
        const float magnitude = static_cast<float>(std::ldexp(static_cast<double>(fraction), k));
        out[i] = (u & 0x80000000u) ? -magnitude : magnitude;
    }
}

// The IBM single nearest to a finite float32 (ties to even). The float is m * 2^p with m
// normalised to 24 bits; the IBM exponent needs p + s divisible by 4, so m loses its s = 0..3
// lowest bits. Rounding up never carries out of the fraction: for s >= 1 the largest result is
// 2^(24 - s). Subnormal floats (rare) are normalised one by one afterwards.
std::uint32_t float_to_ibm_one(std::uint32_t f) {
    const std::uint32_t sign = f & 0x80000000u;
    const std::uint32_t biased = (f >> 23) & 0xff;
    std::uint32_t m = f & 0x7fffffu;
    int p = -149;
    if (biased != 0) {
        m |= 0x800000u;
        p = static_cast<int>(biased) - 150;
    } else if (m == 0) {
        return sign;
    } else {
        const int shift = std::countl_zero(m) - 8;
        m <<= shift;
        p -= shift;
    }
    const int s = (-p) & 3;
    if (s) m = (m + (1u << (s - 1)) - 1 + ((m >> s) & 1)) >> s;
    const std::uint32_t q = static_cast<std::uint32_t>((p + s + 280) >> 2);
    return sign | (q << 24) | m;
}

template <bool Swap>
std::ptrdiff_t float_to_ibm(const float* in, unsigned char* out, std::size_t n) {
    std::uint32_t rare = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t f = std::bit_cast<std::uint32_t>(in[i]);
        const std::uint32_t biased = (f >> 23) & 0xff;
        const bool zero = (f & 0x7fffffffu) == 0;
        rare |= static_cast<std::uint32_t>((biased == 0 && !zero) || biased == 0xff);
        const std::uint32_t m = (f & 0x7fffffu) | 0x800000u;
        const std::int32_t p = static_cast<std::int32_t>(biased) - 150;
        const std::uint32_t s = static_cast<std::uint32_t>(-p) & 3;
        const std::uint32_t half = (1u << s) >> 1;  // 0 when s is 0: no rounding
        const std::uint32_t rounded = (m + half - (s != 0) + ((m >> s) & (s != 0))) >> s;
        const std::uint32_t q =
            static_cast<std::uint32_t>(p + static_cast<std::int32_t>(s) + 280) >> 2;
        const std::uint32_t ibm = (f & 0x80000000u) | (zero ? 0 : (q << 24) | rounded);
        store(out + 4 * i, Swap ? swap32(ibm) : ibm);
    }
    if (!rare) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t f = std::bit_cast<std::uint32_t>(in[i]);
        const std::uint32_t biased = (f >> 23) & 0xff;
        if (biased == 0xff) return static_cast<std::ptrdiff_t>(i);
        if (biased != 0 || (f & 0x7fffffffu) == 0) continue;
        const std::uint32_t ibm = float_to_ibm_one(f);
        store(out + 4 * i, Swap ? swap32(ibm) : ibm);
    }
    return -1;
}

// Rounds to the nearest integer, ties to even, for any float: below 2^23, adding and taking away
// 2^23 leaves exactly the rounded magnitude (the sum's unit is 1); from 2^23 up, floats are
// integers already.
inline float round_even(float v) {
    const float a = std::fabs(v);
    const float r = a < 8388608.0f ? (a + 8388608.0f) - 8388608.0f : a;
    return std::copysign(r, v);
}

template <class Int, bool Swap>
std::ptrdiff_t float_to_int(const float* in, unsigned char* out, std::size_t n, float low,
                            float high_exclusive) {
    using Bits = std::make_unsigned_t<Int>;
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = round_even(in[i]);
        const bool fits = r >= low && r < high_exclusive;  // false for NaN
        bad |= static_cast<std::uint32_t>(!fits);
        const Int v = fits ? static_cast<Int>(r) : Int{0};
        Bits b = static_cast<Bits>(v);
        if constexpr (Swap && sizeof(Int) == 2) b = swap16(b);
        if constexpr (Swap && sizeof(Int) == 4) b = swap32(b);
        store(out + sizeof(Int) * i, b);
    }
    if (!bad) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = round_even(in[i]);
        if (!(r >= low && r < high_exclusive)) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

template <bool Swap>
std::ptrdiff_t float_to_float(const float* in, unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t f = std::bit_cast<std::uint32_t>(in[i]);
        store(out + 4 * i, Swap ? swap32(f) : f);
    }
    return -1;
}

// Integer and IEEE formats: the cast rounds to nearest, ties to even, where float32 cannot hold
// the value (32- and 64-bit integers, float64); every narrower value converts exactly.
template <class T, bool Swap>
void number_to_float(const unsigned char* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        T v = load<T>(in + sizeof(T) * i);
        if constexpr (Swap && sizeof(T) > 1) {
            using Bits = std::conditional_t<
                sizeof(T) == 2, std::uint16_t,
                std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
            Bits b = std::bit_cast<Bits>(v);
            if constexpr (sizeof(T) == 2) b = swap16(b);
            if constexpr (sizeof(T) == 4) b = swap32(b);
            if constexpr (sizeof(T) == 8) b = swap64(b);
            v = std::bit_cast<T>(b);
        }
        out[i] = static_cast<float>(v);
    }
}

// 24-bit integers: three bytes, most significant first in a big-endian file
template <bool Signed>
void int24_to_float(const unsigned char* in, float* out, std::size_t n, bool big) {
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* p = in + 3 * i;
        const std::uint32_t u =
            big ? (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]
                : (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
        const std::int32_t v =
            Signed ? static_cast<std::int32_t>(u << 8) >> 8 : static_cast<std::int32_t>(u);
        out[i] = static_cast<float>(v);
    }
}

// Rows of `n` samples, `stride` bytes apart in the input and back to back in the output; the
// format is looked up once per block, not once per trace.
template <bool Swap>
void decode_in(const unsigned char* in, std::size_t stride, float* out, std::size_t n,
               std::size_t rows, int format) {
    static constexpr bool big = Swap == (std::endian::native == std::endian::little);
    auto each = [&](auto convert) {
        for (std::size_t r = 0; r < rows; ++r) convert(in + r * stride, out + r * n, n);
    };
    switch (format) {
        case 1:
            return each(ibm_to_float<Swap>);
        case 2:
            return each(number_to_float<std::int32_t, Swap>);
        case 3:
            return each(number_to_float<std::int16_t, Swap>);
        case 5:
            return each(number_to_float<float, Swap>);
        case 6:
            return each(number_to_float<double, Swap>);
        case 7:
            return each([](const unsigned char* i, float* o, std::size_t k) {
                int24_to_float<true>(i, o, k, big);
            });
        case 8:
            return each(number_to_float<std::int8_t, Swap>);
        case 9:
            return each(number_to_float<std::int64_t, Swap>);
        case 10:
            return each(number_to_float<std::uint32_t, Swap>);
        case 11:
            return each(number_to_float<std::uint16_t, Swap>);
        case 12:
            return each(number_to_float<std::uint64_t, Swap>);
        case 15:
            return each([](const unsigned char* i, float* o, std::size_t k) {
                int24_to_float<false>(i, o, k, big);
            });
        case 16:
            return each(number_to_float<std::uint8_t, Swap>);
        default:
            return;
    }
}

template <bool Swap>
std::ptrdiff_t encode_in(const float* in, unsigned char* out, std::size_t n, int format) {
    switch (format) {
        case 1:
            return float_to_ibm<Swap>(in, out, n);
        case 2:
            return float_to_int<std::int32_t, Swap>(in, out, n, -2147483648.0f, 2147483648.0f);
        case 3:
            return float_to_int<std::int16_t, Swap>(in, out, n, -32768.0f, 32768.0f);
        case 5:
            return float_to_float<Swap>(in, out, n);
        case 8:
            return float_to_int<std::int8_t, false>(in, out, n, -128.0f, 128.0f);
        default:
            return 0;
    }
}

}  // namespace

// On x86-64 the entry points are built twice, for the baseline and for AVX2, and the loader picks
// one by the processor: byte swapping only vectorises with a byte shuffle, which the baseline
// lacks, and AVX2 converts eight samples at a time. Everything they call is compiled into each.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VANDOR_KERNEL [[gnu::target_clones("avx2", "default"), gnu::flatten]]
#else
#define VANDOR_KERNEL [[gnu::flatten]]
#endif

int decoded_size(int format) {
    switch (format) {
        case 1:
        case 2:
        case 5:
        case 10:
            return 4;
        case 3:
        case 11:
            return 2;
        case 6:
        case 9:
        case 12:
            return 8;
        case 7:
        case 15:
            return 3;
        case 8:
        case 16:
            return 1;
        default:
            return 0;
    }
}

int encoded_size(int format) {
    switch (format) {
        case 1:
        case 2:
        case 5:
            return 4;
        case 3:
            return 2;
        case 8:
            return 1;
        default:
            return 0;
    }
}

VANDOR_KERNEL void decode(const unsigned char* in, std::size_t stride, float* out, std::size_t n,
                          std::size_t rows, int format, bool swap) {
    if (swap) return decode_in<true>(in, stride, out, n, rows, format);
    decode_in<false>(in, stride, out, n, rows, format);
}

VANDOR_KERNEL std::ptrdiff_t encode(const float* in, unsigned char* out, std::size_t n, int format,
                                    bool swap) {
    if (swap) return encode_in<true>(in, out, n, format);
    return encode_in<false>(in, out, n, format);
}

HeaderShuffle plan_shuffle(const unsigned char* order) {
    HeaderShuffle plan{};
    plan.order = order;
    plan.words = true;
    for (std::size_t w = 0; w < HeaderShuffle::kWords; ++w) {
        const unsigned char* o = order + 4 * w;
        const unsigned b = static_cast<unsigned>(4 * w);
        if (o[0] == b && o[1] == b + 1 && o[2] == b + 2 && o[3] == b + 3) {
            plan.keep[w] = ~0u;
        } else if (o[0] == b + 3 && o[1] == b + 2 && o[2] == b + 1 && o[3] == b) {
            plan.whole[w] = ~0u;
        } else if (o[0] == b + 1 && o[1] == b && o[2] == b + 3 && o[3] == b + 2) {
            plan.halves[w] = ~0u;
        } else {
            plan.words = false;
        }
    }
    return plan;
}

VANDOR_KERNEL void shuffle_header(const HeaderShuffle& shuffle, const unsigned char* in,
                                  std::size_t in_stride, unsigned char* out, std::size_t out_stride,
                                  std::size_t rows, std::size_t first_word, std::size_t last_word) {
    for (std::size_t r = 0; r < rows; ++r, in += in_stride, out += out_stride) {
        if (!shuffle.words) {
            for (std::size_t i = 4 * first_word; i < 4 * last_word; ++i) {
                out[i] = in[shuffle.order[i]];
            }
            continue;
        }
        for (std::size_t w = first_word; w < last_word; ++w) {
            const std::uint32_t x = load<std::uint32_t>(in + 4 * w);
            const std::uint32_t halves = ((x & 0x00ff00ffu) << 8) | ((x >> 8) & 0x00ff00ffu);
            store(out + 4 * w, (x & shuffle.keep[w]) | (swap32(x) & shuffle.whole[w]) |
                                   (halves & shuffle.halves[w]));
        }
    }
}

}  // namespace vandor::samples
