// The Premiere request protocol over the channel's parameter block (1048 bytes, 32-bit signed
// little-endian words). The encoder writes the request code into word 0x00.
//
//   code  request            in                                   out
//   0     audio samples      0x14 start, 0x18 count, 0x1C channel  0x04 length, 0x0C 0, 0x10 status
//   1     audio format                                            0x00..0x18
//   2     video frame        0x20 frame                           0x04 length, 0x10 status,
//                                                                 0x24 row bytes, 0x28 info word 1
//   3     video format                                            0x00..0x10
//   4     timing                                                  0x00..0x18
//   5     setting choice                                          0x00 category, 0x04 preset
//   6     next marker        0x2C cursor (-1 first)               0x2C cursor, 0x04 1048, 0x10 0
//   7     marker count                                            0x00 count, 0x04 record word 0x028
//   8     backward walk      0x30 cursor (negative: from the end) 0x30, 0x34 found, 0x04 4, 0x10 0
//   9     end (not answered)
//
// Status: 0 served, 1 the host answered 2, 2 any other failure.
//
// When the user stops the export, the encoder's pending or next request gets the stopped answer
// instead (hx_handshake.h): 0x00 -128, 0x04 length 0, 0x10 status 3; nothing else is written,
// and nothing is answered after it.
#pragma once

#include <cstddef>
#include <cstdint>

enum prm_request : int32_t {
    prm_request_audio = 0,
    prm_request_audio_format = 1,
    prm_request_frame = 2,
    prm_request_video_format = 3,
    prm_request_timing = 4,
    prm_request_setting = 5,
    prm_request_next_marker = 6,
    prm_request_marker_count = 7,
    prm_request_walk_back = 8,
    prm_request_end = 9,
};

// Parameter block offsets.
enum prm_param_offset : uint32_t {
    prm_at_code = 0x00,
    prm_at_length = 0x04,
    prm_at_zero = 0x0C,
    prm_at_status = 0x10,
    prm_at_audio_start = 0x14,
    prm_at_audio_count = 0x18,
    prm_at_audio_channel = 0x1C,
    prm_at_frame = 0x20,
    prm_at_row_bytes = 0x24,
    prm_at_frame_info = 0x28,
    prm_at_marker_cursor = 0x2C,
    prm_at_walk_cursor = 0x30,
    prm_at_walk_found = 0x34,
};

constexpr int32_t prm_status_served = 0;
constexpr int32_t prm_status_host_failed = 1;
constexpr int32_t prm_status_failed = 2;

// Host results that count as success for get_frame and get_audio.
constexpr int32_t prm_host_ok = 0;
constexpr int32_t prm_host_ok_last = 3;
constexpr int32_t prm_host_failed = 2;

// The marker record of request 6, at the start of the data block.
//   0x000 time (1/600 s)  0x004 time 2  then four times: flag (32) and text (256 bytes)
#pragma pack(push, 1)
struct prm_marker_text {
    int32_t present;
    char text[256];
};
struct prm_marker_record {
    int32_t time;
    int32_t time2;
    prm_marker_text texts[4];  // kinds 3 to 6
};
#pragma pack(pop)
static_assert(sizeof(prm_marker_record) == 1048, "marker record");
static_assert(offsetof(prm_marker_record, texts) + 0 * sizeof(prm_marker_text) == 0x008, "text 3 flag");
static_assert(offsetof(prm_marker_record, texts) + 1 * sizeof(prm_marker_text) == 0x10C, "text 4 flag");
static_assert(offsetof(prm_marker_record, texts) + 2 * sizeof(prm_marker_text) == 0x210, "text 5 flag");
static_assert(offsetof(prm_marker_record, texts) + 3 * sizeof(prm_marker_text) == 0x314, "text 6 flag");
