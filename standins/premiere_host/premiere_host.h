// Stand-in for the Adobe Premiere host: the standard parameters record, every host function
// the export module calls, and a generated clip (moving pattern with a frame counter, a tone
// per channel, markers with texts) served through them.
#pragma once

#include "prm_host.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct clip_marker {
    int32_t time = 0;                                             // host time units
    int32_t time2 = 0;                                            // host time units
    const char* texts[4] = {nullptr, nullptr, nullptr, nullptr};  // kinds 3 to 6
};

struct clip_settings {
    int32_t width = 320;
    int32_t height = 240;
    int32_t row_padding = 0;  // extra bytes at the end of each row of pixels
    int32_t rate_numerator = 30;
    int32_t rate_denominator = 1;
    int32_t frames = 90;  // the export's end frame
    int32_t first_frame = 0;
    int32_t audio_rate = 48000;
    int32_t audio_bits = 16;
    bool stereo = true;
    bool audio_present = true;
    bool fixed_picture = false;  // serve frame 0's picture for every frame (cheap, for benchmarks)
    int32_t units_12 = 30;       // get_setting(12): time units per second
    int32_t units_25 = 25;       // get_setting(25), used when the source flag is set
    int32_t source_flag = 0;
    int32_t work_area_start = 0;  // host time units
    int32_t work_area_end = 0;
    std::vector<clip_marker> markers;
    bool markers_repeat_last = false;  // next_marker answers the last marker's own cursor, not -1
    // Replaces the tone: the 16-bit value of a sample frame on a channel.
    std::function<int16_t(int64_t sample_frame, int channel)> tone;
};

// What the module did to the host, for tests.
struct host_journal {
    int setup_output_calls = 0;
    std::vector<uint8_t> settings609;
    std::vector<uint8_t> block21;
    int32_t setup_first = 0, setup_end = 0, setup_context = 0;
    int idle_calls = 0;
    std::map<void*, int32_t> allocated;  // live allocations and their sizes
    int allocations = 0;
    int frees = 0;
    std::vector<int32_t> frames_served;
    std::vector<int32_t> audio_frames_served;
    std::vector<int32_t> frame_info_asked;
    std::vector<int32_t> settings_asked;
};

// Results the host gives instead of success, for tests of the failure paths.
struct host_faults {
    int32_t frame_result = 0;        // get_frame's result for every frame
    int32_t frame_result_from = -1;  // ... only from this frame on (-1: every frame)
    int32_t audio_result = 0;        // get_audio's result
    int32_t audio_result_from = -1;  // ... only from this frame on
    bool audio_null_buffer = false;  // hand back a null sample pointer
    int32_t audio_frame_count = 1;   // the frame count handed back
    bool allocate_fails = false;
};

class premiere_host {
public:
    explicit premiere_host(const clip_settings& clip);
    ~premiere_host();
    premiere_host(const premiere_host&) = delete;
    premiere_host& operator=(const premiere_host&) = delete;

    prm_standard_parameters* standard() { return &standard_; }
    prm_export_record* export_record() { return &record_.fields; }
    prm_work_area* work_area() { return &work_area_; }
    const clip_settings& clip() const { return clip_; }
    host_journal& journal() { return journal_; }
    host_faults& faults() { return faults_; }
    // Frames handed out so far; safe to read from any thread while the export runs.
    long frames_served() const { return frames_served_.load(); }

    // The pixels and samples this host serves, for anyone who wants to check them.
    static uint32_t pixel(int32_t frame, int32_t x, int32_t y);
    int16_t sample(int64_t sample_frame, int channel) const;  // 16-bit value of the tone
    int64_t first_sample_of_frame(int64_t frame) const;       // floor(F * rate * den / num)
    // Markers' times as the module must report them, in 1/600 second.
    int32_t marker_time_600(int32_t host_time) const;

    // The host functions reach the host through this (they carry no context).
    static premiere_host* current;

private:
    friend struct host_functions;

    void draw(int32_t frame);  // frame_buffer_ gets the frame's pixels, padding bytes 0xCD

    struct padded_record {
        prm_export_record fields;
        uint8_t tail[64];  // the host's record goes on; the module must not reach here
    };

    clip_settings clip_;
    host_journal journal_;
    host_faults faults_;
    padded_record record_{};
    prm_work_area work_area_{};
    std::vector<uint8_t> frame_buffer_;
    std::vector<uint8_t> audio_buffer_;
    char* audio_pointer_ = nullptr;
    std::atomic<long> frames_served_{0};

    prm_audio_functions audio_{};
    prm_video_functions video_{};
    prm_memory_functions memory_{};
    prm_display_functions display_{};
    prm_settings_functions settings_{};
    prm_timeline_functions timeline_{};
    prm_callbacks callbacks_{};
    prm_services services_{};
    prm_standard_parameters standard_{};
};

// The loaded module and its entry.
class premiere_module {
public:
    premiere_module() = default;
    ~premiere_module();
    premiere_module(const premiere_module&) = delete;
    premiere_module& operator=(const premiere_module&) = delete;
    bool load(const std::string& path);
    void unload();
    int32_t call(int32_t selector, prm_standard_parameters* standard, void* argument1, void* argument2) const;
    HMODULE handle() const { return module_; }

private:
    HMODULE module_ = nullptr;
    prm_compile_entry entry_ = nullptr;
};

// Answers the "Save for Web" dialog from another thread: picks the setting with menu
// identifier `setting_id` (0: none), the range, and presses Start (or Cancel). With `answer`
// false it only notes whether the dialog appeared, and leaves it to the person at the display.
class dialog_answerer {
public:
    struct plan {
        int32_t setting_id = 20002;
        int32_t range = 0;
        bool start = true;
        bool answer = true;
        DWORD timeout_ms = 15000;  // when answering, gives up looking after this
    };
    explicit dialog_answerer(const plan& p);
    ~dialog_answerer();
    dialog_answerer(const dialog_answerer&) = delete;
    dialog_answerer& operator=(const dialog_answerer&) = delete;
    // Call once the export has returned: a dialog that has not appeared by then never will, so
    // the search ends at once. Whether a dialog was found and answered.
    bool answered();
    bool shown();  // the same, for a dialog only watched
    // GetTickCount when Start (or Cancel) was pressed; 0 before. Safe to read from any thread.
    DWORD answered_at() const { return answered_at_.load(); }

private:
    static DWORD WINAPI run(void* self);
    void finish();
    plan plan_;
    HANDLE export_returned_ = nullptr;
    HANDLE thread_ = nullptr;
    bool shown_ = false;
    bool answered_ = false;
    std::atomic<DWORD> answered_at_{0};
};

// A top-level window titled "Adobe Premiere", as the host's main window.
HWND create_host_window();

// The whole of a (log) file, or "" when it cannot be read.
std::string read_whole_file(const std::string& path);
// The rest of the line after the first `marker` in `text`, or "".
std::string line_after(const std::string& text, const std::string& marker);
