// The bench's proof that every answered byte was read: each sample's bytes, as 32-bit
// little-endian words (a short tail byte by byte), are summed, and the sum is folded into the
// running value after a one-bit rotation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint32_t fold_sample_checksum(uint32_t running, const uint8_t* bytes, size_t size)
{
    uint32_t sum = 0;
    const size_t words = size / 4;
    for (size_t i = 0; i < words; ++i) {
        uint32_t w;
        std::memcpy(&w, bytes + i * 4, 4);
        sum += w;
    }
    for (size_t i = words * 4; i < size; ++i)
        sum += bytes[i];
    return ((running << 1) | (running >> 31)) ^ sum;
}
