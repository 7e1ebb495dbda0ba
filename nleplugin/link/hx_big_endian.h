// Big-endian fields of QuickTime atoms, resource forks and registration records.
//
// A field is a run of bytes with the most significant byte first; it is read and written
// byte by byte, never through a cast, so records that hold such fields can be packed and
// laid over any buffer.
#pragma once

#include <cstdint>

inline uint16_t hx_get_be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t hx_get_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void hx_put_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void hx_put_be32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t hx_swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Field types for packed records: one byte alignment, stored most significant byte first.
struct hx_be16 {
    uint8_t bytes[2];
    uint16_t get() const { return hx_get_be16(bytes); }
    void set(uint16_t v) { hx_put_be16(bytes, v); }
};
static_assert(sizeof(hx_be16) == 2 && alignof(hx_be16) == 1, "a big-endian field is its bytes");

struct hx_be32 {
    uint8_t bytes[4];
    uint32_t get() const { return hx_get_be32(bytes); }
    void set(uint32_t v) { hx_put_be32(bytes, v); }
};
static_assert(sizeof(hx_be32) == 4 && alignof(hx_be32) == 1, "a big-endian field is its bytes");

// A 24-bit field (resource data offsets in a fork's reference list).
struct hx_be24 {
    uint8_t bytes[3];
    uint32_t get() const { return (uint32_t(bytes[0]) << 16) | (uint32_t(bytes[1]) << 8) | bytes[2]; }
    void set(uint32_t v)
    {
        bytes[0] = static_cast<uint8_t>(v >> 16);
        bytes[1] = static_cast<uint8_t>(v >> 8);
        bytes[2] = static_cast<uint8_t>(v);
    }
};
static_assert(sizeof(hx_be24) == 3, "a big-endian field is its bytes");
