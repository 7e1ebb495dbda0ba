// The QuickTime export's side of the encoder channel: the 116-byte parameter block, the
// answers written into the data block, and the request codes. Integers are 32-bit
// little-endian; offsets are from the start of each block's payload.
//
//   Parameter block                        Track info answer (data block)
//   0    request code (encoder)            0    not written
//   4    status: 0 served, 1 failed,       4    track ID
//        2 end of data                     8    time scale
//   8    track ID (requests 1, 2)          12   duration, low 32 bits
//   12   time in / actual time out         16   duration, high 32 bits
//   16   sample count in / out             20   media type
//   20   duration per sample               24   86-byte description area
//   24   size of the sample data           110  not written
//   28   86-byte description header        112  three zero words
//   114  not used
//
//   General info answer (data block): 0 track count, 4 the 264-byte settings as in memory.
#pragma once

#include "quillex_globals.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma pack(push, 1)
struct quillex_param_block {
    uint32_t request;
    uint32_t status;
    int32_t track_id;
    int32_t time;
    int32_t count;
    int32_t duration_per_sample;
    int32_t data_size;
    uint8_t description[86];
    uint8_t unused[2];
};

struct quillex_general_info {
    uint32_t track_count;
    ExportSettings settings;
};

struct quillex_track_info {
    uint32_t not_written;
    int32_t track_id;
    int32_t time_scale;
    uint32_t duration_lo;
    int32_t duration_hi;
    uint32_t media_type;
    uint8_t description[86];
    uint8_t not_written_2[2];
    uint32_t zero[3];
};
#pragma pack(pop)

static_assert(sizeof(quillex_param_block) == 116, "parameter block is 116 bytes");
static_assert(offsetof(quillex_param_block, status) == 4, "");
static_assert(offsetof(quillex_param_block, track_id) == 8, "");
static_assert(offsetof(quillex_param_block, time) == 12, "");
static_assert(offsetof(quillex_param_block, count) == 16, "");
static_assert(offsetof(quillex_param_block, duration_per_sample) == 20, "");
static_assert(offsetof(quillex_param_block, data_size) == 24, "");
static_assert(offsetof(quillex_param_block, description) == 28, "");
static_assert(offsetof(quillex_param_block, unused) == 114, "");
static_assert(sizeof(quillex_general_info) == 268, "");
static_assert(offsetof(quillex_general_info, settings) == 4, "");
static_assert(sizeof(quillex_track_info) == 124, "");
static_assert(offsetof(quillex_track_info, track_id) == 4, "");
static_assert(offsetof(quillex_track_info, time_scale) == 8, "");
static_assert(offsetof(quillex_track_info, duration_lo) == 12, "");
static_assert(offsetof(quillex_track_info, duration_hi) == 16, "");
static_assert(offsetof(quillex_track_info, media_type) == 20, "");
static_assert(offsetof(quillex_track_info, description) == 24, "");
static_assert(offsetof(quillex_track_info, zero) == 112, "");

constexpr uint32_t quillex_param_size = sizeof(quillex_param_block);
constexpr uint32_t quillex_min_data_size = 0x10000;
// The largest data block an export makes: 128 MiB, which holds the largest frame of any video
// standard at 32 bits a pixel (8K UHD, 7680 x 4320 x 4 = 132,710,400 of its 134,217,728 bytes).
// The block is sized from the movie's own image descriptions; without a limit one absurd data
// size would take a 32-bit host's address space (2 GiB, shared with the host and QuickTime) and
// the machine's paging file with it.
constexpr uint32_t quillex_max_data_size = 128u << 20;
// The fixed answers fit every block an export makes.
static_assert(sizeof(quillex_general_info) <= quillex_min_data_size, "general info answer");
static_assert(sizeof(quillex_track_info) <= quillex_min_data_size, "track info answer");
constexpr char quillex_channel_prefix[] = "TessoraQTExport";

// Request codes.
constexpr uint32_t quillex_general_info_request = 0;
constexpr uint32_t quillex_track_info_request = 1;
constexpr uint32_t quillex_track_data_request = 2;
constexpr uint32_t quillex_done_request = 3;

// Status words.
constexpr uint32_t quillex_served = 0;
constexpr uint32_t quillex_failed = 1;
constexpr uint32_t quillex_end_of_data = 2;

// Description header sizes in answers and records, by description type.
constexpr uint32_t quillex_image_header = 86;
constexpr uint32_t quillex_sound_header = 36;
constexpr uint32_t quillex_maml_header = 60;

// Fields of a shared block are read and written by copy: the block is another process's
// memory, and a value read once is the value checked and used.
template <class T> T quillex_read(const uint8_t* block, size_t offset)
{
    T v;
    std::memcpy(&v, block + offset, sizeof v);
    return v;
}

template <class T> void quillex_write(uint8_t* block, size_t offset, T v)
{
    std::memcpy(block + offset, &v, sizeof v);
}
