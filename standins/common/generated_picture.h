// The picture both host stand-ins serve, so that a test can recompute every pixel: the frame
// number in binary across the top (bit 0 leftmost, 8 x 8 cells, white for 1), a yellow bar
// that moves four pixels a frame, and gradients that drift. Pixels are ARGB values.
#pragma once

#include <cstdint>

inline uint32_t hx_generated_pixel(int32_t frame, int32_t x, int32_t y)
{
    if (y < 8 && x < 16 * 8)
        return (frame >> (x / 8)) & 1 ? 0xFFFFFFFFu : 0xFF000000u;
    const int32_t bar = (frame * 4) % 256;
    if (x >= bar && x < bar + 8)
        return 0xFFFFD800u;
    const uint32_t r = static_cast<uint32_t>(x + frame * 3) & 0xFF;
    const uint32_t g = static_cast<uint32_t>(y + frame * 2) & 0xFF;
    const uint32_t b = static_cast<uint32_t>((x ^ y) + frame) & 0xFF;
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}
