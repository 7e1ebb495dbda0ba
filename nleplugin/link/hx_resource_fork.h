// A Macintosh resource fork as QuickTime for Windows finds it at the end of a component file.
//
// File:   library image | resource fork | zero padding | 12 zero bytes | 'data' record |
//         'rsrc' record | "mkQuickTime" 0xAA
//         The padding (1 to 512 bytes) makes the whole file a multiple of 512 bytes.
// Fork:   offset  size  field
//         0       16    header: data offset (256), map offset, data length, map length
//         16      240   reserved, zero
//         256     ...   resource data: each a 32-bit length, then its bytes
//         map     ...   resource map
// Map:    0       16    copy of the fork header
//         16      4     next map handle (0)
//         20      2     file reference (0)
//         22      2     attributes (0)
//         24      2     type list offset, from the map's start (28)
//         26      2     name list offset, from the map's start
//         28      2     type count - 1, then one 8-byte entry per type:
//                       type, reference count - 1, reference list offset (from the type list)
//         then the 12-byte references: ID, name offset (0xFFFF: none), attributes,
//         24-bit data offset (from the data start), 4 reserved bytes
// Every number is big-endian.
#pragma once

#include "hx_big_endian.h"

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct hx_fork_header {
    hx_be32 data_offset;
    hx_be32 map_offset;
    hx_be32 data_length;
    hx_be32 map_length;
};

struct hx_fork_map_header {
    hx_fork_header header_copy;
    hx_be32 next_map;
    hx_be16 file_ref;
    hx_be16 attributes;
    hx_be16 type_list_offset;
    hx_be16 name_list_offset;
};

struct hx_fork_type_entry {
    hx_be32 type;
    hx_be16 count_minus_one;
    hx_be16 reference_list_offset;
};

struct hx_fork_reference {
    hx_be16 id;
    hx_be16 name_offset;
    uint8_t attributes;
    hx_be24 data_offset;
    hx_be32 reserved;
};

// One of the 12-byte records at the end of the file.
struct hx_fork_trailer_record {
    hx_be32 type;  // 'data', 'rsrc', or zero for the record that ends the walk back
    hx_be32 offset;
    hx_be32 length;
};
#pragma pack(pop)

static_assert(sizeof(hx_fork_header) == 16, "fork header is 16 bytes");
static_assert(offsetof(hx_fork_header, map_offset) == 4, "");
static_assert(offsetof(hx_fork_header, data_length) == 8, "");
static_assert(offsetof(hx_fork_header, map_length) == 12, "");
static_assert(sizeof(hx_fork_map_header) == 28, "map header is 28 bytes");
static_assert(offsetof(hx_fork_map_header, next_map) == 16, "");
static_assert(offsetof(hx_fork_map_header, file_ref) == 20, "");
static_assert(offsetof(hx_fork_map_header, attributes) == 22, "");
static_assert(offsetof(hx_fork_map_header, type_list_offset) == 24, "");
static_assert(offsetof(hx_fork_map_header, name_list_offset) == 26, "");
static_assert(sizeof(hx_fork_type_entry) == 8, "type entry is 8 bytes");
static_assert(offsetof(hx_fork_type_entry, count_minus_one) == 4, "");
static_assert(offsetof(hx_fork_type_entry, reference_list_offset) == 6, "");
static_assert(sizeof(hx_fork_reference) == 12, "reference is 12 bytes");
static_assert(offsetof(hx_fork_reference, name_offset) == 2, "");
static_assert(offsetof(hx_fork_reference, attributes) == 4, "");
static_assert(offsetof(hx_fork_reference, data_offset) == 5, "");
static_assert(offsetof(hx_fork_reference, reserved) == 8, "");
static_assert(sizeof(hx_fork_trailer_record) == 12, "trailer record is 12 bytes");

constexpr uint32_t hx_fork_data_start = 256;
constexpr uint16_t hx_fork_no_name = 0xFFFF;
constexpr size_t hx_fork_file_alignment = 512;
// "mkQuickTime" followed by 0xAA: the last 12 bytes of a component file.
constexpr uint8_t hx_fork_magic[12] = {'m', 'k', 'Q', 'u', 'i', 'c', 'k', 'T', 'i', 'm', 'e', 0xAA};
// The zero record, 'data' and 'rsrc' records and the magic.
constexpr size_t hx_fork_trailer_size = 4 * sizeof(hx_fork_trailer_record);

// Zero bytes between the fork and the trailer: 1 to 512, so that the file ends on a multiple
// of 512 bytes.
constexpr size_t hx_fork_padding(size_t image_and_fork)
{
    return hx_fork_file_alignment - (image_and_fork + hx_fork_trailer_size) % hx_fork_file_alignment;
}
static_assert(hx_fork_padding(512 - 48) == 512, "already aligned: a full 512");
static_assert(hx_fork_padding(0) == 464, "");
