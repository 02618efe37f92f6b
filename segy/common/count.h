// The trace count at the front of a stored dataset: how it is written and how it is read.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace vandor::segymod {

inline constexpr std::size_t kCountBytes = sizeof(std::int32_t);

using CountBytes = std::array<unsigned char, kCountBytes>;

// Writers put out the host's own four bytes of the signed count, as they have always done: on a
// little-endian host (the only kind the module is built for) that is what readers expect.
inline CountBytes encode_count(std::int32_t count) {
    CountBytes bytes;
    std::memcpy(bytes.data(), &count, kCountBytes);
    return bytes;
}

// Readers take the four bytes as an unsigned little-endian number, whatever the host, as
// from_file's int.from_bytes(..., byteorder='little') does; a value past the signed range is a
// count no dataset can have.
inline std::uint32_t decode_count(const unsigned char bytes[kCountBytes]) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// The same bytes read in the other (big-endian) order, for telling a count that came from a
// machine of the other byte order.
inline std::int32_t decode_count_swapped(const unsigned char bytes[kCountBytes]) {
    return static_cast<std::int32_t>(std::uint32_t{bytes[3]} | std::uint32_t{bytes[2]} << 8 |
                                     std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[0]} << 24);
}

}  // namespace vandor::segymod
