#include "prm_export.h"

#include "export_dialog.h"
#include "export_progress.h"
#include "hx_handshake.h"
#include "hx_premiere_export.h"
#include "prm_protocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int32_t marker_walk_limit = 1 << 20;  // a host whose marker list never ends

int32_t clamp_to_int32(double v)
{
    if (!std::isfinite(v))
        return 0;
    if (v >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);  // truncates toward zero
}

// One export's state while it serves the encoder.
class export_session {
public:
    export_session(prm_export_record& record, prm_work_area* work_area)
        : record_(record), work_area_(work_area), m_(hx_module), standard_(*hx_module.standard)
    {
    }

    int32_t run();

private:
    prm_video_functions& video() { return *standard_.callbacks->video; }
    prm_audio_functions& audio() { return *standard_.callbacks->audio; }
    prm_memory_functions& memory() { return *standard_.callbacks->memory; }
    prm_idle idle() { return standard_.services->display->idle; }
    prm_timeline_functions& timeline() { return *standard_.services->timeline; }
    int32_t time_units()
    {
        return standard_.services->settings->get_setting(record_.source_flag != 0 ? 25 : 12);
    }

    int32_t word(uint32_t offset) const
    {
        int32_t v;
        std::memcpy(&v, param_ + offset, 4);
        return v;
    }
    void set(uint32_t offset, int32_t v) { std::memcpy(param_ + offset, &v, 4); }
    void clear(uint32_t bytes) { std::memset(param_, 0, bytes); }

    bool prepare_choice();
    void setup_output();
    bool create_channel();
    bool contact_encoder();
    void range(int32_t* first, int32_t* end);
    void answer_stopped();
    void close_everything();
    int32_t abandon();
    int32_t finish();
    hx_turn serve(uint32_t code);

    void audio_format();
    void video_format();
    void timing();
    void setting_choice();
    void marker_count();
    void audio_samples();
    void video_frame();
    void next_marker();
    void walk_back();

    // Hosts differ in how `next_marker` says "no more": -1, or the cursor it was given back.
    int32_t next_marker_after(int32_t cursor)
    {
        const int32_t next = timeline().next_marker(record_.timeline, cursor);
        return next == cursor ? -1 : next;
    }

    // The data block: its payload, or null while there is none (a failed growth).
    uint8_t* data() { return m_.data_memory.is_open() ? m_.data_memory.data() : nullptr; }
    // Zeroes the block from `from` to its end. Between answers the encoder owns the block and
    // may have written anywhere in it, so a frame or audio answer first writes its bytes and
    // then clears everything it did not write: every byte is set once per answer.
    void zero_rest(uint32_t from)
    {
        const uint32_t size = m_.data_memory.capacity();
        if (data() != nullptr && from < size)
            std::memset(data() + from, 0, size - from);
    }

    prm_export_record& record_;
    prm_work_area* work_area_;
    hx_premiere_export& m_;
    prm_standard_parameters& standard_;
    uint8_t* param_ = nullptr;
    bool work_area_chosen_ = false;
};

int32_t export_session::run()
{
    if (!prepare_choice())
        return abandon();
    record_.output_field16 = 0;
    record_.output_field32 = 0;
    std::memcpy(record_.output_name, "temp", 5);
    if (work_area_ != nullptr)
        work_area_->flag = 0;
    setup_output();
    if (!create_channel())
        return abandon();
    if (run_export_dialog(hx_module_instance, record_.source_flag) != IDOK)
        return abandon();
    record_.setting_choice[0] = hx_choice.category;
    record_.setting_choice[1] = hx_choice.preset;
    work_area_chosen_ = hx_choice.range != 0;
    if (!contact_encoder())
        return abandon();

    param_ = m_.param_memory.data();
    int32_t first = 0, end_frame = 0;
    range(&first, &end_frame);
    const int64_t frames = static_cast<int64_t>(end_frame) - first;
    export_progress progress(hx_module_instance, hx_premiere_profile.owner_title, idle(),
                             static_cast<int32_t>(std::min<int64_t>(frames, INT32_MAX)));
    m_.semaphore_a.set_callback(export_progress::on_wait, reinterpret_cast<uintptr_t>(&progress));
    m_.semaphore_a.watch(m_.encoder.get());
    const DWORD limit = hx_encoder_wait_limit();
    m_.semaphore_a.set_time_limit(limit);
    const hx_loop_end end = hx_serve_requests(
        m_.semaphore_a, m_.semaphore_b, m_.param_memory,
        [this, &progress](uint32_t code) {
            const hx_turn turn = serve(code);
            progress.served(code == prm_request_frame);
            return turn;
        },
        [&progress, limit] {
            const bool again = hx_keep_waiting(hx_premiere_profile, limit);
            progress.after_box();
            return again;
        });
    // Stopped in the progress window: an encoder that still asks learns so. (One the user gave
    // up on at the question has asked for nothing for the whole time limit.)
    if (end == hx_loop_end::stopped)
        hx_tell_stopped(m_.semaphore_a, m_.semaphore_b, [this] { answer_stopped(); });
    progress.end();
    m_.semaphore_a.set_callback(nullptr, 0);
    // An encoder that went away, or an export the user stopped, is unfinished.
    return end == hx_loop_end::done ? finish() : abandon();
}

bool export_session::prepare_choice()
{
    if (record_.setting_choice == nullptr)
        record_.setting_choice = static_cast<int32_t*>(memory().allocate(8));
    if (record_.setting_choice == nullptr)
        return false;
    record_.setting_choice[0] = 1;
    record_.setting_choice[1] = 1;
    return true;
}

void export_session::setup_output()
{
    uint8_t settings[prm_output_settings_size];
    uint8_t block[sizeof record_.setup_block];
    std::memcpy(settings, reinterpret_cast<uint8_t*>(&record_) + prm_output_settings_offset, sizeof settings);
    const int32_t sixteen = 16;
    std::memcpy(settings + prm_audio_bits_in_settings, &sixteen, 4);
    std::memcpy(block, record_.setup_block, sizeof block);
    video().setup_output(settings, block, record_.first_frame, record_.end_frame, record_.render_context);
}

bool export_session::create_channel()
{
    // One frame with a spare pixel column, or one second of audio one byte wider per sample.
    const int64_t video_bytes = (static_cast<int64_t>(record_.width) + 1) * record_.height * 4;
    const int64_t channels = record_.stereo != 0 ? 2 : 1;
    const int64_t audio_bytes =
        channels * (record_.audio_bits / 8 + 1) * static_cast<int64_t>(record_.audio_rate);
    const uint64_t wanted =
        std::max<uint64_t>({static_cast<uint64_t>(std::max<int64_t>(video_bytes, 0)),
                            static_cast<uint64_t>(std::max<int64_t>(audio_bytes, 0)), hx_prm_min_data_size});
    if (wanted > UINT32_MAX - hx_shared_memory::header_size)
        return false;
    return m_.create_data_memory(static_cast<uint32_t>(wanted)) == hx_prm_ok &&
           m_.create_param_memory(hx_prm_param_size) == hx_prm_ok && m_.create_semaphores() == hx_prm_ok;
}

bool export_session::contact_encoder()
{
    return hx_wake_encoder(hx_premiere_profile, &m_.encoder) || m_.launch_encoder();
}

// The frames the timing request names: the work area's, when chosen and given, else the
// export record's.
void export_session::range(int32_t* first, int32_t* end)
{
    // Without a work area record (selector 8) there is no work area to report.
    if (work_area_chosen_ && work_area_ != nullptr) {
        const double units = time_units();
        const double rate = static_cast<double>(record_.rate_numerator) / record_.rate_denominator;
        *first = clamp_to_int32(rate * work_area_->start / units);
        *end = clamp_to_int32(rate * work_area_->end / units);
    } else {
        *first = record_.first_frame;
        *end = record_.end_frame;
    }
}

void export_session::answer_stopped()
{
    set(prm_at_code, hx_prm_stopped_mark);
    set(prm_at_length, 0);
    set(prm_at_status, hx_status_stopped);
}

// Both ways out close the channel and give the setting choice block back to the host.
void export_session::close_everything()
{
    m_.close_data_memory();
    m_.close_param_memory();
    m_.close_semaphores();
    m_.semaphore_a.watch(nullptr);
    m_.encoder.reset();
    if (record_.setting_choice != nullptr) {
        memory().free(record_.setting_choice);
        record_.setting_choice = nullptr;
    }
}

int32_t export_session::abandon()
{
    close_everything();
    return prm_export_abandoned;
}

int32_t export_session::finish()
{
    close_everything();
    idle()();
    return prm_export_done;
}

hx_turn export_session::serve(uint32_t code)
{
    switch (static_cast<int32_t>(code)) {
    case prm_request_audio:
        audio_samples();
        break;
    case prm_request_audio_format:
        audio_format();
        break;
    case prm_request_frame:
        video_frame();
        break;
    case prm_request_video_format:
        video_format();
        break;
    case prm_request_timing:
        timing();
        break;
    case prm_request_setting:
        setting_choice();
        break;
    case prm_request_next_marker:
        next_marker();
        break;
    case prm_request_marker_count:
        marker_count();
        break;
    case prm_request_walk_back:
        walk_back();
        break;
    case prm_request_end:
        return hx_turn::stop_unanswered;
    default:  // unknown codes get a bare answer
        break;
    }
    return hx_turn::answer;
}

void export_session::audio_format()
{
    clear(0x1C);
    set(0x00, record_.audio_present != 0 ? 1 : 0);
    set(0x04, record_.audio_rate);
    set(0x08, record_.audio_bits);
    set(0x0C, record_.audio_value);
    set(0x14, record_.stereo != 0 ? 1 : 0);
    if (record_.audio_kind >= 0 && record_.audio_kind <= 4)
        set(0x18, record_.audio_kind);
}

void export_session::video_format()
{
    uint8_t info[312];
    video().get_frame_info(0, info, record_.render_context);
    clear(0x14);
    set(0x00, record_.video_present != 0 ? 1 : 0);
    set(0x04, record_.video_value);
    set(0x08, record_.width);
    set(0x0C, record_.height);
    if (record_.video_kind >= 0 && record_.video_kind <= 3)
        set(0x10, record_.video_kind);
}

void export_session::timing()
{
    clear(0x1C);
    set(0x00, record_.rate_numerator);
    set(0x04, record_.rate_denominator);
    set(0x08, record_.timing_value);
    int32_t first = 0, end = 0;
    range(&first, &end);
    set(0x0C, first);
    set(0x10, end);
    set(0x14, record_.setting_choice[0]);
    set(0x18, record_.setting_choice[1]);
}

void export_session::setting_choice()
{
    set(0x00, record_.setting_choice[0]);
    set(0x04, record_.setting_choice[1]);
}

void export_session::marker_count()
{
    int32_t count = 0;
    for (int32_t cursor = timeline().first_marker(record_.timeline);
         cursor != -1 && count < marker_walk_limit; cursor = next_marker_after(cursor))
        ++count;
    set(0x00, count);
    set(0x04, record_.marker_value);
}

void export_session::audio_samples()
{
    const int64_t start = word(prm_at_audio_start);
    const int64_t count = word(prm_at_audio_count);
    const int32_t channel = word(prm_at_audio_channel);
    const int32_t bits = record_.audio_bits;
    const int32_t bytes_per_sample = bits / 8;
    const int32_t channels = record_.stereo != 0 ? 2 : 1;
    const int64_t n_rate = record_.rate_numerator;
    const int64_t d_rate = static_cast<int64_t>(record_.audio_rate) * record_.rate_denominator;
    set(prm_at_length, 0);

    uint8_t* const out = data();
    // Requests that cannot be served as asked touch nothing outside the block or the
    // host's buffer.
    if (out == nullptr || count <= 0 || bits < 8 || start < 0 || channel < 0 || channel >= channels ||
        n_rate <= 0 || d_rate <= 0 || count * 2 > m_.data_memory.capacity()) {
        zero_rest(0);
        set(prm_at_status, prm_status_failed);
        return;
    }

    // The frame that holds sample frame `start`, and where in it the request begins.
    int64_t frame = ((start + 1) * n_rate - 1) / d_rate;
    int64_t offset = start - frame * d_rate / n_rate;
    int64_t obtained = 0;
    int64_t written = 0;
    int32_t result = prm_host_ok;
    bool failed = false;
    while (obtained < count) {
        int32_t frame_count = 1;
        int32_t byte_count = 0;
        char** buffer = nullptr;
        result = audio().get_audio(static_cast<int32_t>(frame), &frame_count, &byte_count, 0, &buffer,
                                   record_.render_context);
        if (result != prm_host_ok)
            break;
        if (buffer == nullptr || *buffer == nullptr || frame_count != 1 || byte_count < 0) {
            failed = true;
            break;
        }
        const int64_t in_chunk = byte_count / bytes_per_sample / channels;
        // A chunk that adds nothing would never end the request.
        if (in_chunk <= offset) {
            failed = true;
            break;
        }
        obtained += in_chunk - offset;
        const int64_t take = std::min(obtained, count) - written;
        const uint8_t* source =
            reinterpret_cast<const uint8_t*>(*buffer) + (offset * channels + channel) * bytes_per_sample;
        uint8_t* target = out + written * 2;
        const int64_t step = static_cast<int64_t>(channels) * bytes_per_sample;
        if (bytes_per_sample == 1) {
            for (int64_t k = 0; k < take; ++k, source += step, target += 2) {
                const int16_t v = static_cast<int16_t>((source[0] - 128) * 256);
                std::memcpy(target, &v, 2);
            }
        } else {
            // The sample's most significant 16 bits (its last two bytes), as the host gave them.
            for (int64_t k = 0; k < take; ++k, source += step, target += 2)
                std::memcpy(target, source + bytes_per_sample - 2, 2);
        }
        written += take;
        offset = 0;
        ++frame;
    }
    zero_rest(static_cast<uint32_t>(written * 2));

    if (!failed && (result == prm_host_ok || result == prm_host_ok_last)) {
        set(prm_at_length, static_cast<int32_t>(obtained * bytes_per_sample));
        set(prm_at_zero, 0);
        set(prm_at_status, prm_status_served);
    } else {
        set(prm_at_status, !failed && result == prm_host_failed ? prm_status_host_failed : prm_status_failed);
    }
}

void export_session::video_frame()
{
    prm_frame_info info{};
    void* pixels = nullptr;
    int32_t row_bytes = 0;
    const int32_t result =
        video().get_frame(word(prm_at_frame), &pixels, &row_bytes, &info, 0, record_.render_context);
    if (result != prm_host_ok && result != prm_host_ok_last) {
        zero_rest(0);
        set(prm_at_status, result == prm_host_failed ? prm_status_host_failed : prm_status_failed);
        return;
    }
    const int64_t length = static_cast<int64_t>(record_.height) * row_bytes;
    if (pixels == nullptr || record_.height < 0 || row_bytes < 0 ||
        length > UINT32_MAX - hx_shared_memory::header_size) {
        zero_rest(0);
        set(prm_at_status, prm_status_failed);
        return;
    }
    const uint32_t bytes = static_cast<uint32_t>(length);
    if (m_.data_memory.capacity() < bytes) {
        // A larger block under the same name; the encoder opens it afresh. It still holds the old
        // one, which must read as zeros should the larger one not be made.
        zero_rest(0);
        m_.close_data_memory();
        if (m_.create_data_memory(bytes) != hx_prm_ok) {
            set(prm_at_status, prm_status_failed);
            return;
        }
    }
    std::memcpy(data(), pixels, bytes);
    zero_rest(bytes);
    set(prm_at_length, static_cast<int32_t>(bytes));
    set(prm_at_row_bytes, row_bytes);
    set(prm_at_frame_info, info.word[1]);
    set(prm_at_status, prm_status_served);
}

void export_session::next_marker()
{
    prm_marker_record marker{};
    // Refused before the host is asked, so the cursor stays as the encoder sent it.
    if (!m_.data_memory.holds(0, sizeof marker)) {
        set(prm_at_status, prm_status_failed);
        return;
    }
    marker.time = -1;
    marker.time2 = -1;

    const int32_t asked = word(prm_at_marker_cursor);
    const int32_t cursor = asked == -1 ? timeline().first_marker(record_.timeline) : next_marker_after(asked);
    set(prm_at_marker_cursor, cursor);
    timeline().marker_data(cursor, 1, &marker.time);
    timeline().marker_data(cursor, 2, &marker.time2);
    const char* texts[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int32_t kind = 3; kind <= 6; ++kind)
        timeline().marker_data(cursor, kind, &texts[kind - 3]);

    // Host time units to 1/600 second, to the nearest unit.
    const int64_t units = time_units();
    for (int32_t* time : {&marker.time, &marker.time2}) {
        const int64_t v = *time;
        *time = units != 0 ? static_cast<int32_t>(600 * (v / units) + (600 * (v % units) + units / 2) / units)
                           : -1;
    }
    for (int k = 0; k < 4; ++k) {
        if (texts[k] == nullptr)
            continue;
        // Longer texts are cut to fit their field with its terminator.
        prm_marker_text& field = marker.texts[k];
        field.present = 1;
        size_t n = 0;
        while (n < sizeof field.text - 1 && texts[k][n] != 0)
            ++n;
        std::memcpy(field.text, texts[k], n);
        field.text[n] = 0;
    }
    std::memcpy(data(), &marker, sizeof marker);
    set(prm_at_length, static_cast<int32_t>(sizeof marker));
    set(prm_at_status, prm_status_served);
}

void export_session::walk_back()
{
    const int32_t zero = 0;
    if (!m_.data_memory.holds(0, sizeof zero)) {
        set(prm_at_status, prm_status_failed);
        return;
    }
    uint8_t* const out = data();
    std::memcpy(out, &zero, sizeof zero);
    const int32_t asked = word(prm_at_walk_cursor);
    const int32_t cursor = asked < 0 ? record_.end_frame - 1 : asked - 1;
    set(prm_at_walk_cursor, cursor);
    if (cursor < 0) {
        set(prm_at_walk_found, 0);
        return;
    }
    int32_t info[78] = {};
    video().get_frame_info(cursor, info, record_.render_context);
    set(prm_at_walk_cursor, info[9]);
    std::memcpy(out, &info[9], 4);
    set(prm_at_walk_found, 1);
    set(prm_at_length, 4);
    set(prm_at_status, prm_status_served);
}

}  // namespace

int32_t do_export(prm_export_record* record, prm_work_area* work_area)
{
    export_session session(*record, work_area);
    return session.run();
}
