// The QuickTime request protocol as the encoder sees it: the 116-byte parameter block and the
// data block's answers to requests 0 and 1. Integers are 32-bit little-endian.
//
//   parameter block                         code  request       answer
//   0    request code (3 after an unserved)  0     general info  data: qt_general_info
//   4    status: 0 served, 1 failed, 2 end   1     track info    data: qt_track_info
//   8    track ID (requests 1, 2)            2     track data    data: the sample bytes, and
//   12   time in / actual time out                               parameter 12..113
//   16   sample count in / actual count out  3     done          status 0, then the export ends
//   20   duration per sample
//   24   size of the sample data ('MAML': of the whole text)
//   28   sample description header (86 bytes image, 36 sound, 60 'MAML')
//   114  2 unused bytes
//
// A 'MAML' text longer than the data block comes in pieces: offset 12 names the byte offset of
// the piece asked for and answered, 16 its length; each piece is followed by a zero byte.
#pragma once

#include "hx_qt_types.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t qt_param_block_size = 116;

enum qt_request : int32_t {
    qt_request_general_info = 0,
    qt_request_track_info = 1,
    qt_request_track_data = 2,
    qt_request_done = 3,
};

enum qt_status : int32_t {
    qt_status_served = 0,
    qt_status_failed = 1,
    qt_status_end_of_data = 2,
};

// The compression type of an image whose pixels are 32-bit ARGB, most significant byte first
// (what the component writes in place of 'raw ').
constexpr OSType qt_pixels_argb32 = 32;

#pragma pack(push, 1)
struct qt_param_block {
    int32_t code;
    int32_t status;
    int32_t track_id;
    int32_t time;
    int32_t count;
    int32_t duration_per_sample;
    int32_t data_size;
    uint8_t description[86];
    uint8_t unused[2];
};

struct qt_general_info {
    int32_t track_count;
    uint8_t settings[264];  // two 32-bit words, then a 256-byte area
};

struct qt_track_info {
    int32_t not_written;
    int32_t track_id;
    int32_t time_scale;
    uint32_t duration_lo;
    uint32_t duration_hi;
    OSType media_type;
    uint8_t description[86];
    uint8_t not_written_2[2];
    int32_t zero[3];
};
#pragma pack(pop)

static_assert(sizeof(qt_param_block) == qt_param_block_size, "parameter block");
static_assert(offsetof(qt_param_block, status) == 4, "");
static_assert(offsetof(qt_param_block, track_id) == 8, "");
static_assert(offsetof(qt_param_block, time) == 12, "");
static_assert(offsetof(qt_param_block, count) == 16, "");
static_assert(offsetof(qt_param_block, duration_per_sample) == 20, "");
static_assert(offsetof(qt_param_block, data_size) == 24, "");
static_assert(offsetof(qt_param_block, description) == 28, "");
static_assert(offsetof(qt_param_block, unused) == 114, "");

static_assert(sizeof(qt_general_info) == 268, "general info");
static_assert(offsetof(qt_general_info, settings) == 4, "");

static_assert(sizeof(qt_track_info) == 124, "track info");
static_assert(offsetof(qt_track_info, track_id) == 4, "");
static_assert(offsetof(qt_track_info, time_scale) == 8, "");
static_assert(offsetof(qt_track_info, duration_lo) == 12, "");
static_assert(offsetof(qt_track_info, duration_hi) == 16, "");
static_assert(offsetof(qt_track_info, media_type) == 20, "");
static_assert(offsetof(qt_track_info, description) == 24, "");
static_assert(offsetof(qt_track_info, not_written_2) == 110, "");
static_assert(offsetof(qt_track_info, zero) == 112, "");

// Where the description header's fields land in the parameter block.
constexpr uint32_t qt_at_description = offsetof(qt_param_block, description);
constexpr uint32_t qt_at_compression = qt_at_description + offsetof(ImageDescription, cType);
static_assert(qt_at_compression == 32, "compression type / sound format at parameter offset 32");
