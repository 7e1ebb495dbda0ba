// Stand-in for a QuickTime host: the glue that turns routine calls into component parameter
// blocks, a generated movie served through movie export data procedures, a progress procedure,
// and the steps of an export from procedures through the Component Manager.
//
// Everything the component sees of this host crosses as QuickTime sees it: cdecl procedures
// returning 16-bit OSErr, QuickTime handles for sample descriptions, and one
// ComponentParameters block per routine call handed to the runtime's CallComponent.
//
//   'MAML' description (ours), 60 bytes, native little-endian
//   offset  field            offset  field
//   0       descSize (60)    20      vendor
//   4       dataFormat       24      textLength
//   8       resvd1           28      name (Pascal string, 32 bytes)
//   12      resvd2
//   14      dataRefIndex
//   16      version
//   18      revisionLevel
#pragma once

#include "hx_qt_standin.h"
#include "hx_quicktime.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// ---- Glue -------------------------------------------------------------------------------------
// Each routine builds its block as QuickTime's glue does on Windows: flags 0, paramSize = 4 x
// count, what = selector, then the arguments in the routine's order, first argument first, each
// in a 4-byte slot (a short takes a whole slot, sign-extended), and calls CallComponent.
namespace qt_glue {

typedef ComponentResult(__cdecl* call_component_proc)(ComponentInstance instance,
                                                      ComponentParameters* params);

// Replaces the function the blocks go to (tests); null puts the runtime's CallComponent back.
// Returns the function in place before.
call_component_proc set_call_component(call_component_proc proc);

// Puts back the previous call function when it ends.
class scoped_call_component {
public:
    explicit scoped_call_component(call_component_proc proc) : previous_(set_call_component(proc)) {}
    ~scoped_call_component() { set_call_component(previous_); }
    scoped_call_component(const scoped_call_component&) = delete;
    scoped_call_component& operator=(const scoped_call_component&) = delete;

private:
    call_component_proc previous_;
};

// One slot from a pointer (32-bit target).
inline int32_t slot(const void* pointer)
{
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Any selector with any slots: for tests of selectors the component does not serve.
ComponentResult call_selector(ComponentInstance ci, int16_t what, const std::vector<int32_t>& params);

ComponentResult movie_export_set_progress_proc(ComponentInstance ci, MovieProgressProc proc,
                                               int32_t refcon);  // 0x84
ComponentResult movie_export_from_procedures_to_data_ref(ComponentInstance ci, Handle dataRef,
                                                         OSType dataRefType);  // 0x89
ComponentResult movie_export_add_data_source(ComponentInstance ci, OSType trackType, int32_t scale,
                                             int32_t* trackID, MovieExportGetPropertyProc getPropertyProc,
                                             MovieExportGetDataProc getDataProc, void* refCon);  // 0x8A
ComponentResult movie_export_get_settings_as_atom_container(ComponentInstance ci,
                                                            QTAtomContainer* settings);  // 0x8C
ComponentResult movie_export_set_settings_from_atom_container(ComponentInstance ci,
                                                              QTAtomContainer settings);  // 0x8D
ComponentResult movie_export_set_get_movie_property_proc(ComponentInstance ci,
                                                         MovieExportGetPropertyProc proc,
                                                         void* refcon);    // 0x91
ComponentResult component_can_do(ComponentInstance ci, int16_t selector);  // -3
ComponentResult component_version(ComponentInstance ci);                   // -4

}  // namespace qt_glue

// ---- Description handles ----------------------------------------------------------------------
// Where the movie's description handles (and the export's data reference) come from: the
// runtime's NewHandleClear and DisposeHandle, or a local allocator a test puts in their place.
struct qt_handle_allocator {
    Handle(__cdecl* new_clear)(long size) = NewHandleClear;
    void(__cdecl* dispose)(Handle handle) = DisposeHandle;
};

// ---- The generated movie -----------------------------------------------------------------------
enum class qt_track { video = 0, sound = 1, text = 2, grol = 3 };
constexpr int qt_track_count = 4;
constexpr qt_track qt_all_tracks[qt_track_count] = {qt_track::video, qt_track::sound, qt_track::text,
                                                    qt_track::grol};
const char* qt_track_name(qt_track track);  // "vide", "soun", "MAML", "GROL"

constexpr OSType qt_k32ARGBPixelFormat = 32;

#pragma pack(push, 1)
struct qt_text_description {
    int32_t descSize;
    OSType dataFormat;
    int32_t resvd1;
    int16_t resvd2;
    int16_t dataRefIndex;
    int16_t version;
    int16_t revisionLevel;
    int32_t vendor;
    int32_t textLength;
    uint8_t name[32];
};
#pragma pack(pop)
static_assert(sizeof(qt_text_description) == 60, "'MAML' description is 60 bytes");
static_assert(offsetof(qt_text_description, dataFormat) == 4, "");
static_assert(offsetof(qt_text_description, resvd2) == 12, "");
static_assert(offsetof(qt_text_description, dataRefIndex) == 14, "");
static_assert(offsetof(qt_text_description, version) == 16, "");
static_assert(offsetof(qt_text_description, revisionLevel) == 18, "");
static_assert(offsetof(qt_text_description, vendor) == 20, "");
static_assert(offsetof(qt_text_description, textLength) == 24, "");
static_assert(offsetof(qt_text_description, name) == 28, "");

struct qt_movie_settings {
    int32_t width = 320;
    int32_t height = 240;
    int32_t fps = 30;
    int32_t video_time_scale = 600;  // a multiple of fps: each frame lasts video_time_scale / fps
    int32_t seconds = 3;
    // 'raw ' and 32 are served as A,R,G,B bytes per pixel, 'RGBA' as R,G,B,A, anything else
    // (for tests of refused formats) as A,R,G,B under its own compression type.
    OSType video_format = hx_fourcc("raw ");
    OSType sound_format = hx_fourcc("sowt");  // 'sowt' little-endian or 'twos' big-endian, 16-bit stereo
    int32_t sound_rate = 22050;
    int32_t text_length = 100000;  // bytes of 'MAML' text; one sample lasting the whole movie
    int32_t text_time_scale = 600;
    int32_t grol_width = 32;  // 'GROL' frames: same rate as the video, small
    int32_t grol_height = 8;
    OSType grol_format = hx_fourcc("raw ");
    bool has_video = true, has_sound = true, has_text = true, has_grol = true;
    // Every video request gets frame 0's bytes, drawn once when the movie is made (cheap, for
    // benchmarks); times and counts are answered as usual.
    bool fixed_picture = false;

    bool present(qt_track track) const;
    // Whether the numbers make a movie (positive sizes, time scale a multiple of fps, ...).
    bool valid() const;
};

// Answers a track gives other than its data, for the component's edge-case tests.
struct qt_track_faults {
    int32_t fail_from_time = -1;         // requested times at or past this fail (-1: none)
    OSErr fail_error = paramErr;         // ... with this error
    bool duration_fails = false;         // 'dura' is answered with duration_error
    OSErr duration_error = paramErr;     //
    bool null_data = false;              // dataPtr null, dataSize as usual
    bool null_desc = false;              // desc null
    bool short_desc = false;             // desc handle of 8 bytes, shorter than its description
    int32_t extra_data = 0;              // bytes served beyond what was asked (0xEE), counted in dataSize
    OSType desc_type = 0;                // description type reported instead of the track's own (0: own)
    int32_t image_data_size = -1;        // image description's dataSize field (-1: width x height x 4)
    bool past_end_repeats_last = false;  // times past the end get the last sample instead of eofErr
};

struct qt_data_request {
    qt_track track;
    int32_t record_size;
    int32_t track_id;
    int32_t source_time_scale;
    int32_t requested_time;
    int32_t requested_count;
    OSErr result;
    int32_t actual_time;   // as answered (0 on failure)
    int32_t actual_count;  //
};

struct qt_property_request {
    qt_track track;
    int32_t track_id;
    OSType property;
    OSErr result;
};

// What the component asked of the movie.
struct qt_movie_journal {
    std::vector<qt_data_request> data;
    std::vector<qt_property_request> properties;

    std::vector<qt_data_request> data_of(qt_track track) const;
    size_t data_count(qt_track track) const { return data_of(track).size(); }
};

// One data source as the host hands it to the component.
struct qt_data_source {
    qt_track track;
    OSType media_type;
    int32_t time_scale;
    MovieExportGetPropertyProc property_proc;
    MovieExportGetDataProc data_proc;
    void* ref_con;
};

class qt_movie {
public:
    explicit qt_movie(const qt_movie_settings& settings, const qt_handle_allocator& allocator = {});
    ~qt_movie();
    qt_movie(const qt_movie&) = delete;
    qt_movie& operator=(const qt_movie&) = delete;

    const qt_movie_settings& settings() const { return settings_; }
    const qt_handle_allocator& allocator() const { return allocator_; }
    qt_track_faults& faults(qt_track track) { return tracks_[index(track)].faults; }
    qt_movie_journal& journal() { return journal_; }

    // The present tracks in the order 'vide', 'soun', 'MAML', 'GROL'.
    std::vector<qt_data_source> sources();

    static OSType media_type(qt_track track);
    int32_t time_scale(qt_track track) const;
    int32_t duration(qt_track track) const;  // in the track's time scale
    int32_t frame_count() const { return settings_.fps * settings_.seconds; }
    int32_t frame_duration() const { return settings_.video_time_scale / settings_.fps; }
    int32_t sound_frames() const { return settings_.sound_rate * settings_.seconds; }

    // What the procedures serve, recomputed.
    static uint32_t pixel(int32_t frame, int32_t x, int32_t y);       // ARGB: counter, moving bar, gradients
    static uint32_t grol_pixel(int32_t frame, int32_t x, int32_t y);  // ARGB
    std::vector<uint8_t> expected_frame(int32_t frame) const;         // bytes in the video format's order
    std::vector<uint8_t> expected_grol_frame(int32_t frame) const;
    static int16_t tone(int64_t sample_frame, int channel, int32_t rate);  // 440 Hz left, 660 Hz right
    int16_t expected_sample(int64_t sample_frame, int channel) const
    {
        return tone(sample_frame, channel, settings_.sound_rate);
    }
    std::vector<uint8_t> expected_sound(int32_t first, int32_t count) const;  // in the sound format's order
    const std::string& text() const { return text_; }
    std::vector<uint8_t> expected_description(qt_track track) const;  // what the description handle holds
    Handle description_handle(qt_track track) const { return tracks_[index(track)].desc; }

    // The track procedures; refCon is the track (from sources()).
    static OSErr __cdecl get_property(void* refCon, int32_t trackID, OSType property, void* value);
    static OSErr __cdecl get_data(void* refCon, MovieExportGetDataParams* params);

private:
    struct track_state {
        qt_movie* movie = nullptr;
        qt_track track = qt_track::video;
        qt_track_faults faults;
        Handle desc = nullptr;        // made once, at the first data request
        Handle short_desc = nullptr;  // for the short_desc fault
        std::vector<uint8_t> buffer;  // the last sample served
    };
    static size_t index(qt_track track) { return static_cast<size_t>(track); }
    OSErr property(track_state& t, int32_t trackID, OSType property, void* value);
    OSErr serve(track_state& t, MovieExportGetDataParams* params);
    OSErr fill(track_state& t, MovieExportGetDataParams* params);
    Handle description(track_state& t);

    qt_movie_settings settings_;
    qt_handle_allocator allocator_;
    qt_movie_journal journal_;
    std::string text_;
    std::vector<uint8_t> fixed_frame_;  // settings_.fixed_picture: frame 0, served for every frame
    track_state tracks_[qt_track_count];
};

// ---- Progress ---------------------------------------------------------------------------------
struct qt_progress_call {
    Movie movie;
    int16_t message;
    int16_t operation;
    Fixed percent;
    int32_t refcon;
};

// A movie progress procedure that records what it is told, and prints it when asked. Like a
// real host's, it can keep the host's windows answering while the export runs (each call
// dispatches the thread's pending messages) and ask to stop (a non-zero answer).
//
//   progress: open (operation 12)
//   progress: 0%
//   progress: 37%                   (each whole percentage once, as it is first reported)
//   progress: 50%, asking to cancel
//   progress: close (operation 12)
//   progress: 61 updates from 0.0% to 50.0%, never lower than the one before
class qt_progress {
public:
    // What the procedure was told. Written on the exporting thread: read it once the export
    // has returned, or through snapshot() while it runs.
    std::vector<qt_progress_call> calls;
    bool print = false;
    OSErr answer = noErr;  // non-zero asks the exporter to cancel, from the first call on
    // Asks to cancel (userCanceledErr) from the update that reports this fraction on; -1 never.
    Fixed cancel_at = -1;
    bool dispatch_messages = false;  // each call dispatches the thread's pending messages
    // Called on the exporting thread with each call before it is answered; a non-zero result
    // asks to cancel (tests). Set it before the export starts.
    std::function<OSErr(const qt_progress_call&)> on_call;

    MovieProgressProc proc() const { return &qt_progress::procedure; }
    int32_t refcon() const { return qt_glue::slot(this); }
    static OSErr __cdecl procedure(Movie movie, int16_t message, int16_t operation, Fixed percent,
                                   int32_t refCon);

    std::vector<qt_progress_call> snapshot() const;
    // GetTickCount of the first call answered with a request to cancel; 0 when none was.
    DWORD cancel_asked_at() const;
    // The updates' count, first and last fraction and whether each was at least the one before.
    void print_summary() const;

private:
    OSErr take(const qt_progress_call& call);

    mutable std::mutex lock_;
    DWORD cancel_asked_at_ = 0;
    int printed_percent_ = -1;  // the last whole percentage printed
};

constexpr Fixed qt_progress_whole = 0x10000;

// What a progress procedure must have heard from one export that got as far as the encoder:
// open first and close last, both at 0; between them only updates, each at least the one
// before; the whole only as the last update, and only when the export finished. Every call for
// the export-movie operation, with no movie and the procedure's refcon. "" when so, else what
// is wrong.
std::string qt_progress_fault(const std::vector<qt_progress_call>& calls, bool finished, int32_t refcon);

// ---- The host ---------------------------------------------------------------------------------
class quicktime_host {
public:
    quicktime_host() = default;
    virtual ~quicktime_host() = default;
    quicktime_host(const quicktime_host&) = delete;
    quicktime_host& operator=(const quicktime_host&) = delete;

    // Binds QuickTime, registers the component file with the runtime stand-in and finds the
    // 'spit'/'Duff' registered from that file. False with a reason in `error` when any step fails.
    bool load_component(const std::string& qtx_path, std::string* error);
    // Binds QuickTime and finds the 'spit'/'Duff' that QuickTime registered from its components
    // folders when it started, as a QuickTime host does. False with a reason when there is none.
    bool find_installed_component(std::string* error);
    Component component() const { return component_; }
    // The file the component was registered from ("" before one is found).
    std::string component_file() const;
    const hx_qt_standin& standin() const { return standin_; }

    virtual ComponentInstance open();           // OpenComponent; null on failure
    virtual OSErr close(ComponentInstance ci);  // CloseComponent

private:
    Component component_ = nullptr;
    hx_qt_standin standin_;
};

// ---- One export -------------------------------------------------------------------------------
struct qt_export_plan {
    bool set_progress = true;
    bool add_sources = true;
    OSType data_ref_type = hx_fourcc("hndl");
    std::string data_ref_text = "quicktime_export";  // held by the data reference handle
    bool close = true;
};

struct qt_source_result {
    qt_track track;
    ComponentResult result;
    int32_t track_id;  // -1 when the component did not write it
};

struct qt_export_results {
    ComponentInstance instance = nullptr;
    ComponentResult set_progress = 0;
    std::vector<qt_source_result> sources;
    ComponentResult exported = 0;
    bool data_ref_untouched = true;
    OSErr closed = 0;
    bool ran = false;  // the export call was made

    bool succeeded() const;
};

// Open, set the progress procedure, add the movie's data sources, export from procedures,
// close; each step's result. Stops after a failed open.
qt_export_results run_export(quicktime_host& host, qt_movie& movie, qt_progress* progress,
                             const qt_export_plan& plan = {});

// "'vide'" for a printable code, "0x00000020" otherwise.
std::string qt_fourcc_text(OSType code);
