// The component's instance state, kept in the relocatable block QuickTime holds as the
// instance's storage, and its per-track records.
#pragma once

#include "hx_qt_types.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The encoder's settings, opaque to the component: two words (native order in memory,
// big-endian in the settings atom) and a 256-byte area.
#pragma pack(push, 1)
struct ExportSettings {
    uint32_t word0;
    uint32_t word1;
    uint8_t area[256];
};
#pragma pack(pop)
static_assert(sizeof(ExportSettings) == 264, "settings are 264 bytes");
static_assert(offsetof(ExportSettings, word1) == 4, "");
static_assert(offsetof(ExportSettings, area) == 8, "");

constexpr size_t quillex_description_area = 86;

// One accepted data source.
class TrackRecord {
public:
    TrackRecord() = default;
    TrackRecord(const TrackRecord&) = default;
    TrackRecord& operator=(const TrackRecord&) = default;
    virtual ~TrackRecord() = default;

    int32_t track_id = 0;
    int32_t time_scale = 0;
    uint32_t duration_lo = 0;  // 64-bit duration in the track's scale, low half first
    int32_t duration_hi = 0;
    // The furthest time of this track the encoder has asked for in this export, for the host's
    // progress procedure.
    int64_t asked_end = 0;
    OSType media_type = 0;
    uint8_t description[quillex_description_area] = {};  // the start of the first sample description
    MovieExportGetPropertyProc property_proc = nullptr;
    MovieExportGetDataProc data_proc = nullptr;
    void* reference = nullptr;
};

// Lives inside the storage handle; the record arrays live outside it, so moving the block
// (while it is unlocked between calls) moves only their bookkeeping.
class QuillexGlobals {
public:
    explicit QuillexGlobals(ComponentInstance instance);
    QuillexGlobals(const QuillexGlobals&) = delete;
    QuillexGlobals& operator=(const QuillexGlobals&) = delete;
    virtual ~QuillexGlobals() = default;

    // The list a media type belongs in, or null for a type the component does not take.
    std::vector<TrackRecord>* list_for(OSType media_type);
    // The record of a track ID, or null for an ID no accepted source has.
    TrackRecord* track(int32_t track_id);
    uint32_t track_count() const;

    ComponentInstance self;
    int32_t next_track_id = 0;
    uint32_t data_block_size = 0;
    ExportSettings settings;
    std::vector<TrackRecord> video_tracks;
    std::vector<TrackRecord> sound_tracks;
    std::vector<TrackRecord> maml_tracks;
    std::vector<TrackRecord> grol_tracks;
    std::vector<TrackRecord*> track_index;  // entry n: the record of track ID n
    MovieProgressProc progress_proc = nullptr;
    int32_t progress_reference = 0;
    Fixed progress_reported = 0;  // the last fraction this export reported; it only rises
};

// The state inside a locked storage handle.
inline QuillexGlobals* quillex_globals(char* block)
{
    return reinterpret_cast<QuillexGlobals*>(block);
}

constexpr OSType quillex_vide = hx_fourcc("vide");
constexpr OSType quillex_soun = hx_fourcc("soun");
constexpr OSType quillex_maml = hx_fourcc("MAML");
constexpr OSType quillex_grol = hx_fourcc("GROL");
