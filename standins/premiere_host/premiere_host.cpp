#include "premiere_host.h"

#include "generated_picture.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

premiere_host* premiere_host::current = nullptr;

namespace {

constexpr int32_t render_context = 0x5EC0;
constexpr int32_t timeline_handle = 0x7111;
constexpr double pi = 3.14159265358979323846;

}  // namespace

// The host functions, cdecl as the module calls them.
struct host_functions {
    static premiere_host& host() { return *premiere_host::current; }

    static int32_t __cdecl get_audio(int32_t frame, int32_t* frame_count, int32_t* byte_count, int32_t,
                                     char*** buffer, int32_t)
    {
        premiere_host& h = host();
        h.journal_.audio_frames_served.push_back(frame);
        const host_faults& f = h.faults_;
        if (f.audio_result != 0 && (f.audio_result_from < 0 || frame >= f.audio_result_from))
            return f.audio_result;
        const int channels = h.clip_.stereo ? 2 : 1;
        const int bytes_per_sample = h.clip_.audio_bits / 8;
        const int64_t first = h.first_sample_of_frame(frame);
        const int64_t n = h.first_sample_of_frame(static_cast<int64_t>(frame) + 1) - first;
        h.audio_buffer_.assign(static_cast<size_t>(n * channels * bytes_per_sample), 0);
        uint8_t* out = h.audio_buffer_.data();
        for (int64_t s = 0; s < n; ++s) {
            for (int c = 0; c < channels; ++c) {
                const int16_t v = h.sample(first + s, c);
                if (bytes_per_sample == 1) {
                    *out++ = static_cast<uint8_t>((v >> 8) + 128);
                } else {
                    std::memcpy(out, &v, 2);
                    out += 2;
                }
            }
        }
        h.audio_pointer_ = f.audio_null_buffer ? nullptr : reinterpret_cast<char*>(h.audio_buffer_.data());
        *buffer = &h.audio_pointer_;
        *frame_count = f.audio_frame_count;
        *byte_count = static_cast<int32_t>(h.audio_buffer_.size());
        return 0;
    }

    static int32_t __cdecl get_frame(int32_t frame, void** pixels, int32_t* row_bytes, prm_frame_info* info,
                                     int32_t, int32_t)
    {
        premiere_host& h = host();
        h.journal_.frames_served.push_back(frame);
        ++h.frames_served_;
        const host_faults& f = h.faults_;
        const int32_t result =
            f.frame_result != 0 && (f.frame_result_from < 0 || frame >= f.frame_result_from) ? f.frame_result
                                                                                             : 0;
        if (result != 0 && result != 3)  // 3 is a success too
            return result;
        if (!h.clip_.fixed_picture || h.frame_buffer_.empty())
            h.draw(h.clip_.fixed_picture ? 0 : frame);
        *pixels = h.frame_buffer_.data();
        *row_bytes = h.clip_.width * 4 + h.clip_.row_padding;
        info->word[1] = 1000 + frame;
        return result;
    }

    static int32_t __cdecl get_frame_info(int32_t frame, void* record312, int32_t)
    {
        premiere_host& h = host();
        h.journal_.frame_info_asked.push_back(frame);
        int32_t words[78] = {};
        words[9] = frame;  // the frame this host names for it
        std::memcpy(record312, words, sizeof words);
        return 0;
    }

    static int32_t __cdecl setup_output(void* settings609, void* block21, int32_t first, int32_t end,
                                        int32_t context)
    {
        host_journal& j = host().journal_;
        ++j.setup_output_calls;
        j.settings609.assign(static_cast<uint8_t*>(settings609), static_cast<uint8_t*>(settings609) + 609);
        j.block21.assign(static_cast<uint8_t*>(block21), static_cast<uint8_t*>(block21) + 21);
        j.setup_first = first;
        j.setup_end = end;
        j.setup_context = context;
        return 0;
    }

    static void* __cdecl allocate(int32_t bytes)
    {
        premiere_host& h = host();
        if (h.faults_.allocate_fails)
            return nullptr;
        void* p = std::malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1);
        h.journal_.allocated[p] = bytes;
        ++h.journal_.allocations;
        return p;
    }

    static void __cdecl free(void* p)
    {
        premiere_host& h = host();
        ++h.journal_.frees;
        h.journal_.allocated.erase(p);
        std::free(p);
    }

    static void __cdecl idle() { ++host().journal_.idle_calls; }

    static int32_t __cdecl get_setting(int32_t which)
    {
        premiere_host& h = host();
        h.journal_.settings_asked.push_back(which);
        return which == 25 ? h.clip_.units_25 : which == 12 ? h.clip_.units_12 : 0;
    }

    static int32_t marker_count() { return static_cast<int32_t>(host().clip_.markers.size()); }

    static int32_t __cdecl first_marker(int32_t timeline)
    {
        return timeline == timeline_handle && marker_count() > 0 ? 0 : -1;
    }

    static int32_t __cdecl next_marker(int32_t timeline, int32_t cursor)
    {
        if (timeline != timeline_handle || cursor < 0 || cursor >= marker_count())
            return -1;
        if (cursor + 1 < marker_count())
            return cursor + 1;
        return host().clip_.markers_repeat_last ? cursor : -1;
    }

    static int32_t __cdecl marker_data(int32_t cursor, int32_t kind, void* destination)
    {
        if (cursor < 0 || cursor >= marker_count() || kind < 1 || kind > 6)
            return -1;
        const clip_marker& m = host().clip_.markers[static_cast<size_t>(cursor)];
        if (kind == 1 || kind == 2) {
            const int32_t time = kind == 1 ? m.time : m.time2;
            std::memcpy(destination, &time, 4);
        } else {
            const char* text = m.texts[kind - 3];
            std::memcpy(destination, &text, sizeof text);
        }
        return 0;
    }
};

void premiere_host::draw(int32_t frame)
{
    const int32_t stride = clip_.width * 4 + clip_.row_padding;
    frame_buffer_.assign(static_cast<size_t>(stride) * clip_.height, 0xCD);
    for (int32_t y = 0; y < clip_.height; ++y)
        for (int32_t x = 0; x < clip_.width; ++x) {
            const uint32_t p = pixel(frame, x, y);
            std::memcpy(&frame_buffer_[static_cast<size_t>(y) * stride + x * 4], &p, 4);
        }
}

premiere_host::premiere_host(const clip_settings& clip) : clip_(clip)
{
    current = this;
    // Drawn before the export, so no frame request pays for it.
    if (clip_.fixed_picture)
        draw(0);
    audio_.get_audio = host_functions::get_audio;
    video_.get_frame = host_functions::get_frame;
    video_.get_frame_info = host_functions::get_frame_info;
    video_.setup_output = host_functions::setup_output;
    memory_.allocate = host_functions::allocate;
    memory_.free = host_functions::free;
    display_.idle = host_functions::idle;
    settings_.get_setting = host_functions::get_setting;
    timeline_.first_marker = host_functions::first_marker;
    timeline_.next_marker = host_functions::next_marker;
    timeline_.marker_data = host_functions::marker_data;
    callbacks_.audio = &audio_;
    callbacks_.video = &video_;
    callbacks_.memory = &memory_;
    services_.display = &display_;
    services_.settings = &settings_;
    services_.timeline = &timeline_;
    standard_.callbacks = &callbacks_;
    standard_.services = &services_;

    // Fields the module does not use carry a pattern, so that stray writes show.
    std::memset(&record_, 0xA5, sizeof record_);
    prm_export_record& r = record_.fields;
    r.setting_choice = nullptr;
    r.video_present = 1;
    r.audio_present = clip.audio_present ? 1 : 0;
    r.video_value = 0x1234;
    r.marker_value = 0x2828;
    r.width = clip.width;
    r.height = clip.height;
    r.rate_numerator = clip.rate_numerator;
    r.rate_denominator = clip.rate_denominator;
    r.timing_value = 0x24D0;
    r.video_kind = 2;
    r.audio_rate = clip.audio_rate;
    r.audio_bits = clip.audio_bits;
    r.stereo = clip.stereo ? 1 : 0;
    r.audio_value = 0x2610;
    r.audio_kind = 1;
    for (int i = 0; i < 21; ++i)
        r.setup_block[i] = static_cast<uint8_t>(0xB0 + i);
    r.first_frame = clip.first_frame;
    r.end_frame = clip.frames;
    r.render_context = render_context;
    r.timeline = timeline_handle;
    r.source_flag = clip.source_flag;
    work_area_.start = clip.work_area_start;
    work_area_.end = clip.work_area_end;
    work_area_.flag = 0x77;
}

premiere_host::~premiere_host()
{
    for (auto& allocation : journal_.allocated)
        std::free(allocation.first);
    if (current == this)
        current = nullptr;
}

uint32_t premiere_host::pixel(int32_t frame, int32_t x, int32_t y)
{
    return hx_generated_pixel(frame, x, y);
}

int16_t premiere_host::sample(int64_t sample_frame, int channel) const
{
    if (clip_.tone)
        return clip_.tone(sample_frame, channel);
    const double frequency = channel == 0 ? 440.0 : 660.0;
    const double phase = 2.0 * pi * frequency * static_cast<double>(sample_frame) / clip_.audio_rate;
    return static_cast<int16_t>(std::lround(8000.0 * std::sin(phase)));
}

int64_t premiere_host::first_sample_of_frame(int64_t frame) const
{
    const int64_t d = static_cast<int64_t>(clip_.audio_rate) * clip_.rate_denominator;
    const int64_t product = frame * d;
    // floor, also for negative frames
    return product >= 0 ? product / clip_.rate_numerator
                        : -((-product + clip_.rate_numerator - 1) / clip_.rate_numerator);
}

int32_t premiere_host::marker_time_600(int32_t v) const
{
    const int32_t t = clip_.source_flag != 0 ? clip_.units_25 : clip_.units_12;
    return 600 * (v / t) + (600 * (v % t) + t / 2) / t;
}

premiere_module::~premiere_module()
{
    unload();
}

bool premiere_module::load(const std::string& path)
{
    unload();
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr)
        return false;
    entry_ = reinterpret_cast<prm_compile_entry>(GetProcAddress(module_, "xCompileEntry"));
    if (entry_ == nullptr)
        unload();
    return entry_ != nullptr;
}

void premiere_module::unload()
{
    if (module_ != nullptr)
        FreeLibrary(module_);
    module_ = nullptr;
    entry_ = nullptr;
}

int32_t premiere_module::call(int32_t selector, prm_standard_parameters* standard, void* argument1,
                              void* argument2) const
{
    return entry_(selector, standard, argument1, argument2);
}

dialog_answerer::dialog_answerer(const plan& p) : plan_(p)
{
    export_returned_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

dialog_answerer::~dialog_answerer()
{
    finish();
    if (export_returned_ != nullptr)
        CloseHandle(export_returned_);
}

void dialog_answerer::finish()
{
    if (thread_ != nullptr) {
        SetEvent(export_returned_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
}

bool dialog_answerer::answered()
{
    finish();
    return answered_;
}

bool dialog_answerer::shown()
{
    finish();
    return shown_;
}

DWORD WINAPI dialog_answerer::run(void* self)
{
    auto* me = static_cast<dialog_answerer*>(self);
    const DWORD start = GetTickCount();
    HWND dialog = nullptr;
    while ((dialog = FindWindowA("#32770", "Save for Web")) == nullptr || !IsWindowVisible(dialog)) {
        if (me->plan_.answer && GetTickCount() - start > me->plan_.timeout_ms)
            return 0;
        if (WaitForSingleObject(me->export_returned_, 20) == WAIT_OBJECT_0)
            return 0;
    }
    me->shown_ = true;
    if (!me->plan_.answer)
        return 0;
    if (me->plan_.setting_id != 0)
        SendMessageA(dialog, WM_COMMAND, static_cast<WPARAM>(me->plan_.setting_id), 0);
    const HWND range = GetDlgItem(dialog, 1003);
    if (me->plan_.range != 0 && IsWindowEnabled(range)) {
        SendMessageA(range, CB_SETCURSEL, static_cast<WPARAM>(me->plan_.range), 0);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1003, CBN_SELCHANGE), reinterpret_cast<LPARAM>(range));
    }
    PostMessageA(GetDlgItem(dialog, me->plan_.start ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    me->answered_at_ = GetTickCount();
    me->answered_ = true;
    return 0;
}

HWND create_host_window()
{
    return CreateWindowA("STATIC", "Adobe Premiere", WS_OVERLAPPEDWINDOW, 40, 40, 640, 200, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

std::string read_whole_file(const std::string& path)
{
    std::string all;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            all.append(buffer, n);
        std::fclose(f);
    }
    return all;
}

std::string line_after(const std::string& text, const std::string& marker)
{
    const size_t at = text.find(marker);
    if (at == std::string::npos)
        return "";
    const size_t from = at + marker.size();
    const size_t end = text.find_first_of("\r\n", from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}
