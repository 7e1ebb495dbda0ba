// The pattern the encoder writes over every byte of both blocks that a request does not use
// (--fill-pattern), so that a test can tell which bytes the plug-in wrote or cleared. The byte
// at payload offset i is 0x80 | (i % 113): never zero, and a shifted copy shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

inline uint8_t fill_pattern_byte(size_t offset)
{
    return static_cast<uint8_t>(0x80 | (offset % 113));
}

// Fills payload bytes [from, size), then puts back the 4-byte fields at the offsets in `keep`.
inline void fill_pattern_except(uint8_t* payload, uint32_t size, uint32_t from,
                                std::initializer_list<uint32_t> keep)
{
    uint32_t saved[16] = {};
    size_t n = 0;
    for (uint32_t at : keep)
        if (n < 16 && at + 4 <= size)
            std::memcpy(&saved[n++], payload + at, 4);
    for (uint32_t i = from; i < size; ++i)
        payload[i] = fill_pattern_byte(i);
    n = 0;
    for (uint32_t at : keep)
        if (n < 16 && at + 4 <= size)
            std::memcpy(payload + at, &saved[n++], 4);
}
