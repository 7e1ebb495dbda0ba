// The Premiere host interface as this module sees it: the records the host passes and the
// function tables it reaches through the standard parameters record. All records are
// byte-packed little-endian; every host function is cdecl with 32-bit arguments.
//
// Standard parameters: word 1 callback table, word 2 service table.
// Callback table: word 1 audio functions, word 2 video functions, word 4 memory functions.
// Service table: word 2 display functions, word 4 settings functions, word 5 timeline functions.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(sizeof(void*) == 4, "the host interface is 32-bit");

#define PRM_FIELD(record, field, offset)                                                                     \
    static_assert(offsetof(record, field) == (offset), #record "." #field " sits at " #offset)

extern "C" {

// ---- Function tables -----------------------------------------------------------------------

struct prm_frame_info {  // 24 bytes, cleared before get_frame
    int32_t word[6];
};

typedef int32_t(__cdecl* prm_get_audio)(int32_t frame, int32_t* frame_count, int32_t* byte_count,
                                        int32_t zero, char*** buffer, int32_t render_context);
typedef int32_t(__cdecl* prm_get_frame)(int32_t frame, void** pixels, int32_t* row_bytes,
                                        prm_frame_info* info, int32_t zero, int32_t render_context);
typedef int32_t(__cdecl* prm_get_frame_info)(int32_t frame, void* record312, int32_t render_context);
typedef int32_t(__cdecl* prm_setup_output)(void* settings609, void* block21, int32_t first_frame,
                                           int32_t end_frame, int32_t render_context);
typedef void*(__cdecl* prm_allocate)(int32_t byte_count);
typedef void(__cdecl* prm_free)(void* memory);
typedef void(__cdecl* prm_idle)();
typedef int32_t(__cdecl* prm_get_setting)(int32_t which);
typedef int32_t(__cdecl* prm_first_marker)(int32_t timeline);
typedef int32_t(__cdecl* prm_next_marker)(int32_t timeline, int32_t cursor);
typedef int32_t(__cdecl* prm_marker_data)(int32_t cursor, int32_t kind, void* destination);

typedef void (*prm_function)();

struct prm_audio_functions {
    prm_get_audio get_audio;  // slot 0
};
struct prm_video_functions {
    prm_get_frame get_frame;            // slot 0
    prm_get_frame_info get_frame_info;  // slot 1
    prm_function unused2_7[6];
    prm_setup_output setup_output;  // slot 8
};
PRM_FIELD(prm_video_functions, setup_output, 8 * 4);
struct prm_memory_functions {
    prm_allocate allocate;  // slot 0
    prm_function unused1_2[2];
    prm_free free;  // slot 3
};
PRM_FIELD(prm_memory_functions, free, 3 * 4);
struct prm_display_functions {
    prm_idle idle;  // slot 0
};
struct prm_settings_functions {
    prm_get_setting get_setting;  // slot 0
};
struct prm_timeline_functions {
    prm_function unused0_3[4];
    prm_first_marker first_marker;  // slot 4
    prm_next_marker next_marker;    // slot 5
    prm_marker_data marker_data;    // slot 6
};
PRM_FIELD(prm_timeline_functions, first_marker, 4 * 4);
PRM_FIELD(prm_timeline_functions, marker_data, 6 * 4);

struct prm_callbacks {
    void* unused0;
    prm_audio_functions* audio;  // word 1
    prm_video_functions* video;  // word 2
    void* unused3;
    prm_memory_functions* memory;  // word 4
};
PRM_FIELD(prm_callbacks, audio, 4);
PRM_FIELD(prm_callbacks, video, 8);
PRM_FIELD(prm_callbacks, memory, 16);

struct prm_services {
    void* unused0_1[2];
    prm_display_functions* display;  // word 2
    void* unused3;
    prm_settings_functions* settings;  // word 4
    prm_timeline_functions* timeline;  // word 5
};
PRM_FIELD(prm_services, display, 8);
PRM_FIELD(prm_services, settings, 16);
PRM_FIELD(prm_services, timeline, 20);

struct prm_standard_parameters {
    void* unused0;
    prm_callbacks* callbacks;  // word 1
    prm_services* services;    // word 2
};
PRM_FIELD(prm_standard_parameters, callbacks, 4);
PRM_FIELD(prm_standard_parameters, services, 8);

// ---- Records -------------------------------------------------------------------------------

#pragma pack(push, 1)

// Selector 0.
struct prm_module_info {
    int32_t word0;
    uint32_t module_id;     // 0x004 'TSP4'
    uint32_t edition;       // 0x008 'T5EZ'
    int32_t value_00c;      // 0x00C 0
    int32_t value_010;      // 0x010 1
    int32_t value_014;      // 0x014 1
    uint8_t zero_018[16];   // 0x018
    char name[256];         // 0x028 "Save For Web"
    int32_t value_128;      // 0x128 3
    int32_t value_12c;      // 0x12C 0
    int32_t value_130;      // 0x130 1
    uint8_t zero_134[116];  // 0x134
};
PRM_FIELD(prm_module_info, module_id, 0x004);
PRM_FIELD(prm_module_info, edition, 0x008);
PRM_FIELD(prm_module_info, value_00c, 0x00C);
PRM_FIELD(prm_module_info, value_010, 0x010);
PRM_FIELD(prm_module_info, value_014, 0x014);
PRM_FIELD(prm_module_info, zero_018, 0x018);
PRM_FIELD(prm_module_info, name, 0x028);
PRM_FIELD(prm_module_info, value_128, 0x128);
PRM_FIELD(prm_module_info, value_12c, 0x12C);
PRM_FIELD(prm_module_info, value_130, 0x130);
PRM_FIELD(prm_module_info, zero_134, 0x134);
static_assert(sizeof(prm_module_info) == 0x1A8, "module information record");

// Selector 2, index 0.
struct prm_video_format {
    int32_t word0;
    uint32_t file_type;   // 0x004 'RAW '
    char name[256];       // 0x008 "Tessora Output"
    uint8_t value_108;    // 0x108 0
    int32_t value_109;    // 0x109 32
    int32_t value_10d;    // 0x10D 0
    int32_t value_111;    // 0x111 1
    int32_t value_115;    // 0x115 1
    int32_t value_119;    // 0x119 1
    int32_t value_11d;    // 0x11D 32767
    int32_t value_121;    // 0x121 32767
    uint8_t zero_125[6];  // 0x125
    int32_t value_12b;    // 0x12B 0
    int32_t value_12f;    // 0x12F 0
    int32_t value_133;    // 0x133 -1
    int32_t value_137;    // 0x137 -1
};
PRM_FIELD(prm_video_format, file_type, 0x004);
PRM_FIELD(prm_video_format, name, 0x008);
PRM_FIELD(prm_video_format, value_108, 0x108);
PRM_FIELD(prm_video_format, value_109, 0x109);
PRM_FIELD(prm_video_format, value_10d, 0x10D);
PRM_FIELD(prm_video_format, value_111, 0x111);
PRM_FIELD(prm_video_format, value_115, 0x115);
PRM_FIELD(prm_video_format, value_119, 0x119);
PRM_FIELD(prm_video_format, value_11d, 0x11D);
PRM_FIELD(prm_video_format, value_121, 0x121);
PRM_FIELD(prm_video_format, zero_125, 0x125);
PRM_FIELD(prm_video_format, value_12b, 0x12B);
PRM_FIELD(prm_video_format, value_12f, 0x12F);
PRM_FIELD(prm_video_format, value_133, 0x133);
PRM_FIELD(prm_video_format, value_137, 0x137);
static_assert(sizeof(prm_video_format) == 0x13B, "video format record");

// Selector 3, index 0.
struct prm_audio_format {
    int32_t word0;
    uint32_t file_type;  // 0x004 'RAW '
    uint8_t value_008;   // 0x008 0
    char name[256];      // 0x009 "" (one zero byte written)
    int32_t value_109;   // 0x109 0
};
PRM_FIELD(prm_audio_format, file_type, 0x004);
PRM_FIELD(prm_audio_format, value_008, 0x008);
PRM_FIELD(prm_audio_format, name, 0x009);
PRM_FIELD(prm_audio_format, value_109, 0x109);
static_assert(sizeof(prm_audio_format) == 0x10D, "audio format record");

// Selectors 8 and 11. Only the fields the module uses are named.
struct prm_export_record {
    int32_t word0;
    int32_t* setting_choice;  // 0x004 two words: category, preset
    int32_t video_present;    // 0x008 also the start of the 609-byte output settings
    int32_t audio_present;    // 0x00C
    uint8_t gap_010[4];
    int32_t video_value;  // 0x014
    uint8_t gap_018[0x10];
    int32_t marker_value;  // 0x028
    uint8_t gap_02c[0x23D - 0x02C];
    int32_t width;             // 0x23D
    int32_t height;            // 0x241
    int32_t rate_numerator;    // 0x245
    int32_t rate_denominator;  // 0x249
    int32_t timing_value;      // 0x24D
    int32_t video_kind;        // 0x251 0 to 3
    int32_t audio_rate;        // 0x255
    int32_t audio_bits;        // 0x259 8 or 16
    int32_t stereo;            // 0x25D
    int32_t audio_value;       // 0x261
    int32_t audio_kind;        // 0x265 0 to 4
    uint8_t setup_block[21];   // 0x269
    int16_t output_field16;    // 0x27E
    int32_t output_field32;    // 0x280
    char output_name[260];     // 0x284
    int32_t first_frame;       // 0x388
    int32_t end_frame;         // 0x38C
    int32_t render_context;    // 0x390
    int32_t timeline;          // 0x394
    uint8_t gap_398[0x3A4 - 0x398];
    int32_t source_flag;  // 0x3A4
};
PRM_FIELD(prm_export_record, setting_choice, 0x004);
PRM_FIELD(prm_export_record, video_present, 0x008);
PRM_FIELD(prm_export_record, audio_present, 0x00C);
PRM_FIELD(prm_export_record, video_value, 0x014);
PRM_FIELD(prm_export_record, marker_value, 0x028);
PRM_FIELD(prm_export_record, width, 0x23D);
PRM_FIELD(prm_export_record, height, 0x241);
PRM_FIELD(prm_export_record, rate_numerator, 0x245);
PRM_FIELD(prm_export_record, rate_denominator, 0x249);
PRM_FIELD(prm_export_record, timing_value, 0x24D);
PRM_FIELD(prm_export_record, video_kind, 0x251);
PRM_FIELD(prm_export_record, audio_rate, 0x255);
PRM_FIELD(prm_export_record, audio_bits, 0x259);
PRM_FIELD(prm_export_record, stereo, 0x25D);
PRM_FIELD(prm_export_record, audio_value, 0x261);
PRM_FIELD(prm_export_record, audio_kind, 0x265);
PRM_FIELD(prm_export_record, setup_block, 0x269);
PRM_FIELD(prm_export_record, output_field16, 0x27E);
PRM_FIELD(prm_export_record, output_field32, 0x280);
PRM_FIELD(prm_export_record, output_name, 0x284);
PRM_FIELD(prm_export_record, first_frame, 0x388);
PRM_FIELD(prm_export_record, end_frame, 0x38C);
PRM_FIELD(prm_export_record, render_context, 0x390);
PRM_FIELD(prm_export_record, timeline, 0x394);
PRM_FIELD(prm_export_record, source_flag, 0x3A4);
static_assert(sizeof(prm_export_record) == 0x3A8, "export record as far as the module reads it");

// The output settings handed to setup_output: 609 bytes from 0x008, 21 bytes from 0x269.
constexpr size_t prm_output_settings_offset = 0x008;
constexpr size_t prm_output_settings_size = 609;
constexpr size_t prm_audio_bits_in_settings = 0x259 - prm_output_settings_offset;

// Selector 11's second argument.
struct prm_work_area {
    int32_t start;  // 0x00 host time units
    int32_t end;    // 0x04
    int32_t flag;   // 0x08 set to 0 when an export starts
};
PRM_FIELD(prm_work_area, start, 0x00);
PRM_FIELD(prm_work_area, end, 0x04);
PRM_FIELD(prm_work_area, flag, 0x08);

#pragma pack(pop)

// Selector 5's argument: its first word points at the setting choice block.
struct prm_setting_choice_holder {
    int32_t* block;
};

typedef int32_t(__cdecl* prm_compile_entry)(int32_t selector, prm_standard_parameters* standard,
                                            void* argument1, void* argument2);

}  // extern "C"

// Selectors of xCompileEntry.
enum prm_selector : int32_t {
    prm_describe_module = 0,
    prm_describe_video_format = 2,
    prm_describe_audio_format = 3,
    prm_reset_setting_choice = 5,
    prm_export_all = 8,
    prm_export_work_area = 11,
};

// Results of an export.
constexpr int32_t prm_export_done = 0;
constexpr int32_t prm_export_abandoned = 2;
