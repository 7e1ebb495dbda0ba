#include "premiere_session.h"

#include "avi_writer.h"
#include "encoder_log.h"
#include "fill_pattern.h"
#include "hx_handshake.h"
#include "output_file.h"
#include "prm_protocol.h"
#include "sample_checksum.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

double seconds_since(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

class session {
public:
    session(encoder_channel& channel, const session_options& options) : c_(channel), o_(options) {}

    int run();

private:
    int32_t word(uint32_t offset) { return static_cast<int32_t>(c_.param().word(offset / 4)); }
    void set(uint32_t offset, int32_t v) { c_.param().set_word(offset / 4, static_cast<uint32_t>(v)); }

    // Sends one request; false when no answer came. `fields` are the parameter offsets the
    // request carries, kept when the blocks are filled with the pattern.
    bool ask(int32_t code, std::initializer_list<uint32_t> fields = {}, bool let_go_of_data = false)
    {
        before_request(o_, requests_);
        ++requests_;
        set(prm_at_code, code);
        if (o_.fill_pattern) {
            fill_pattern_except(c_.param().payload(), c_.param().size(), 4, fields);
            if (c_.data().is_open())
                fill_pattern_except(c_.data().payload(), c_.data().size(), 0, {});
        }
        if (!c_.turn(o_.reply_timeout, let_go_of_data)) {
            log_line("request %d: no answer", code);
            return false;
        }
        // The user stopped the export: nothing more is answered, and the module is closing.
        if (word(prm_at_code) == hx_prm_stopped_mark) {
            stopped_ = true;
            log_line("stopped by the user after %ld requests", requests_);
            return false;
        }
        return true;
    }

    // Only a frame request can replace the data block, by a larger one under the same name,
    // and the module can make it only while the encoder does not hold the old one. The encoder
    // lets go of the block for a frame that may not fit it (the first, or one the module could
    // not answer while the block was held) and keeps it while the frames fit, instead of
    // mapping the block afresh for every frame.
    bool ask_frame(int32_t frame)
    {
        set(prm_at_frame, frame);
        const bool fits = c_.data().is_open() && frame_bytes_ > 0 && frame_bytes_ <= c_.data().size();
        if (!ask(prm_request_frame, {prm_at_frame}, !fits))
            return false;
        if (fits && word(prm_at_status) == prm_status_failed) {
            set(prm_at_frame, frame);
            if (!ask(prm_request_frame, {prm_at_frame}, true))
                return false;
        }
        if (word(prm_at_status) == 0)
            frame_bytes_ = static_cast<uint32_t>(std::max(word(prm_at_length), 0));
        return true;
    }

    bool hostile_requests();
    bool time_small_requests();
    bool formats();
    bool markers();
    bool audio();
    bool frames();
    bool bench_frames();
    bool walk_back();
    int walk();
    int64_t first_sample(int64_t frame) const
    {
        const int64_t d = static_cast<int64_t>(audio_rate_) * rate_den_;
        return rate_num_ > 0 ? frame * d / rate_num_ : 0;
    }

    encoder_channel& c_;
    const session_options& o_;
    long requests_ = 0;
    bool stopped_ = false;  // the module answered a request as stopped by the user
    // Given their final names only just before the end request.
    output_file avi_file_, markers_file_;
    bool avi_whole_ = false;
    int32_t audio_present_ = 0, audio_rate_ = 0, audio_bits_ = 0, stereo_ = 0;
    int32_t video_present_ = 0, width_ = 0, height_ = 0;
    uint32_t frame_bytes_ = 0;  // the last frame served
    int32_t rate_num_ = 0, rate_den_ = 1, first_ = 0, end_ = 0, category_ = 0, preset_ = 0;
    std::vector<std::vector<int16_t>> channels_;
    std::string markers_text_;
    long frames_written_ = 0;
    uint32_t checksum_ = 0;  // --bench: every answered frame and sample
};

bool session::hostile_requests()
{
    uint32_t seed = 12345;
    auto next = [&]() {
        seed = seed * 1664525u + 1013904223u;
        return seed;
    };
    for (long i = 0; i < o_.hostile; ++i) {
        for (uint32_t w = 1; w < 16; ++w) {
            const uint32_t r = next();
            // Small values, edges and anything at all.
            const uint32_t choice = r % 4;
            set(w * 4, choice == 0   ? static_cast<int32_t>(r >> 8) % 64 - 8
                       : choice == 1 ? -1
                       : choice == 2 ? 0x7FFFFFFF
                                     : static_cast<int32_t>(next()));
        }
        int32_t code = static_cast<int32_t>(next() % 24) - 4;
        if (code == prm_request_end)
            code = 12;
        if (!ask(code, {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60}))
            return false;
    }
    log_line("hostile %ld requests answered", o_.hostile);
    return true;
}

// The round trip of the smallest request, for benchmarks.
bool session::time_small_requests()
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (long i = 0; i < o_.time_setting; ++i)
        if (!ask(prm_request_setting))
            return false;
    log_line("setting round trip %ld requests %.3f us each", o_.time_setting,
             seconds_since(start) * 1e6 / o_.time_setting);
    return true;
}

bool session::formats()
{
    if (!ask(prm_request_audio_format))
        return false;
    audio_present_ = word(0x00);
    audio_rate_ = word(0x04);
    audio_bits_ = word(0x08);
    stereo_ = word(0x14);
    log_line("audio format present %d rate %d bits %d value %d stereo %d kind %d", audio_present_,
             audio_rate_, audio_bits_, word(0x0C), stereo_, word(0x18));
    if (!ask(prm_request_video_format))
        return false;
    video_present_ = word(0x00);
    width_ = word(0x08);
    height_ = word(0x0C);
    log_line("video format present %d value %d width %d height %d kind %d", video_present_, word(0x04),
             width_, height_, word(0x10));
    if (!ask(prm_request_timing))
        return false;
    rate_num_ = word(0x00);
    rate_den_ = word(0x04);
    first_ = word(0x0C);
    end_ = word(0x10);
    log_line("timing rate %d/%d value %d range %d..%d setting %d %d", rate_num_, rate_den_, word(0x08),
             first_, end_, word(0x14), word(0x18));
    if (!ask(prm_request_setting))
        return false;
    category_ = word(0x00);
    preset_ = word(0x04);
    log_line("setting category %d preset %d", category_, preset_);
    return true;
}

bool session::markers()
{
    if (!ask(prm_request_marker_count))
        return false;
    const int32_t count = word(0x00);
    log_line("marker count %d value %d", count, word(0x04));
    int32_t cursor = -1;
    for (int32_t i = 0; i <= count; ++i) {
        set(prm_at_marker_cursor, cursor);
        if (!ask(prm_request_next_marker, {prm_at_marker_cursor}))
            return false;
        cursor = word(prm_at_marker_cursor);
        if (cursor == -1)
            break;
        prm_marker_record record;
        std::memcpy(&record, c_.data().payload(), sizeof record);
        char line[1200];
        int n = std::snprintf(line, sizeof line, "marker %d time %.3f s (%d/600) time2 %.3f s (%d/600)", i,
                              record.time / 600.0, record.time, record.time2 / 600.0, record.time2);
        for (int k = 0; k < 4; ++k)
            if (record.texts[k].present && n < static_cast<int>(sizeof line))
                n += std::snprintf(line + n, sizeof line - n, " text%d \"%.255s\"", k + 3,
                                   record.texts[k].text);
        log_line("%s", line);
        markers_text_ += std::string(line) + "\n";
    }
    return true;
}

bool session::audio()
{
    const int channels = audio_present_ != 0 ? (stereo_ != 0 ? 2 : 1) : 0;
    channels_.assign(o_.bench ? 0 : static_cast<size_t>(channels), {});
    const int64_t begin = first_sample(first_), end = first_sample(end_);
    for (int ch = 0; ch < channels; ++ch) {
        for (int64_t at = begin; at < end;) {
            const int64_t count = std::min<int64_t>(o_.audio_chunk, end - at);
            set(prm_at_audio_start, static_cast<int32_t>(at));
            set(prm_at_audio_count, static_cast<int32_t>(count));
            set(prm_at_audio_channel, ch);
            if (!ask(prm_request_audio, {prm_at_audio_start, prm_at_audio_count, prm_at_audio_channel}))
                return false;
            const int32_t status = word(prm_at_status);
            const int32_t length = word(prm_at_length);
            if (o_.bench) {
                if (status == 0 && c_.data().is_open())
                    checksum_ = fold_sample_checksum(
                        checksum_, c_.data().payload(),
                        std::min<size_t>(static_cast<size_t>(count) * 2, c_.data().size()));
                at += count;
                continue;
            }
            log_line("audio channel %d start %lld count %lld -> status %d length %d", ch,
                     static_cast<long long>(at), static_cast<long long>(count), status, length);
            const int16_t* samples = reinterpret_cast<const int16_t*>(c_.data().payload());
            for (int64_t k = 0; k < count; ++k)
                channels_[ch].push_back(status == 0 && c_.data().is_open() ? samples[k] : 0);
            at += count;
        }
    }
    return true;
}

// Each frame is read once, where it stands in the data block. The first turn, in which the
// block is mapped here and its pages first touched, is timed apart from the steady ones.
bool session::bench_frames()
{
    LARGE_INTEGER start, steady;
    QueryPerformanceCounter(&start);
    steady = start;
    double first_ms = 0;
    for (int32_t f = first_; f < end_; ++f) {
        if (!ask_frame(f))
            return false;
        const int64_t bytes = static_cast<int64_t>(word(prm_at_row_bytes)) * height_;
        if (word(prm_at_status) == 0 && c_.data().is_open() && bytes > 0 && bytes <= c_.data().size())
            checksum_ = fold_sample_checksum(checksum_, c_.data().payload(), static_cast<size_t>(bytes));
        ++frames_written_;
        if (f == first_) {
            first_ms = seconds_since(start) * 1e3;
            QueryPerformanceCounter(&steady);
        }
    }
    log_line("frames %d in %.3f ms", end_ - first_, seconds_since(start) * 1e3);
    if (end_ > first_)
        log_line("frame turns: first %.3f ms, then %d in %.3f ms", first_ms, end_ - first_ - 1,
                 seconds_since(steady) * 1e3);
    return true;
}

bool session::frames()
{
    if (o_.bench)
        return bench_frames();
    const int channels = static_cast<int>(channels_.size());
    avi_writer avi;
    const bool writing = !o_.out_folder.empty() && width_ > 0 && height_ > 0;
    if (writing) {
        const std::string& path = avi_file_.begin(o_.out_folder + "\\premiere_export.avi");
        if (!avi.open(path, width_, height_, rate_num_, rate_den_, audio_rate_, channels)) {
            log_line("cannot write %s", path.c_str());
            avi_file_.discard();
        }
    }
    std::vector<uint8_t> picture(static_cast<size_t>(width_ > 0 ? width_ : 0) * (height_ > 0 ? height_ : 0) *
                                 4);
    std::vector<int16_t> interleaved;
    const int64_t audio_begin = first_sample(first_);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (int32_t f = first_; f < end_; ++f) {
        if (!ask_frame(f))
            return false;
        const int32_t status = word(prm_at_status);
        const int32_t length = word(prm_at_length);
        const int32_t row_bytes = word(prm_at_row_bytes);
        log_line("frame %d -> status %d length %d row bytes %d info %d", f, status, length, row_bytes,
                 word(prm_at_frame_info));
        std::fill(picture.begin(), picture.end(), 0);
        if (status == 0 && c_.data().is_open() && row_bytes >= width_ * 4 &&
            static_cast<int64_t>(row_bytes) * height_ <= c_.data().size()) {
            for (int32_t y = 0; y < height_; ++y)
                std::memcpy(&picture[static_cast<size_t>(y) * width_ * 4],
                            c_.data().payload() + y * row_bytes, static_cast<size_t>(width_) * 4);
        }
        avi.add_frame(picture.data());
        const int64_t from = first_sample(f) - audio_begin,
                      to = first_sample(static_cast<int64_t>(f) + 1) - audio_begin;
        interleaved.clear();
        for (int64_t s = from; s < to && channels > 0; ++s)
            for (int ch = 0; ch < channels; ++ch)
                interleaved.push_back(s < static_cast<int64_t>(channels_[ch].size()) ? channels_[ch][s] : 0);
        avi.add_audio(interleaved.data(), channels > 0 ? interleaved.size() / channels : 0);
        ++frames_written_;
    }
    log_line("frames %d in %.3f ms", end_ - first_, seconds_since(start) * 1e3);
    avi_whole_ = writing && avi.close();
    return true;
}

bool session::walk_back()
{
    int32_t cursor = -1;
    const int32_t limit = end_ - first_ + 2;
    for (int32_t i = 0; i < limit; ++i) {
        set(prm_at_walk_cursor, cursor);
        if (!ask(prm_request_walk_back, {prm_at_walk_cursor}))
            return false;
        cursor = word(prm_at_walk_cursor);
        if (word(prm_at_walk_found) == 0) {
            log_line("walk back ends at cursor %d", cursor);
            return true;
        }
        if (o_.bench)
            continue;
        log_line("walk back names frame %d (data %d)", word(prm_at_walk_cursor),
                 c_.data().is_open() ? static_cast<int32_t>(c_.data().word(0)) : -1);
    }
    return true;
}

// The export ends here on every path: an export that did not reach its end request leaves
// nothing under the final names.
int session::run()
{
    const int result = walk();
    if (result != 0) {
        avi_file_.discard();
        markers_file_.discard();
    }
    return stopped_ ? 7 : result;
}

int session::walk()
{
    if (o_.hostile > 0 && !hostile_requests())
        return 4;
    // The timed setting requests come after the frames, so that the frames of every export start
    // at the same point, however many are asked for.
    if (!formats() || !markers() || !audio() || !frames() ||
        (o_.time_setting > 0 && !time_small_requests()) || !walk_back())
        return 4;
    if (o_.bench)
        log_line("bench %ld frames checksum 0x%08x", frames_written_, checksum_);
    if (!o_.out_folder.empty() && !o_.bench) {
        const std::string& path = markers_file_.begin(o_.out_folder + "\\premiere_export.markers.txt");
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fputs(markers_text_.c_str(), f);
            std::fclose(f);
        } else {
            markers_file_.discard();
        }
    }
    log_line("summary %dx%d %d frames at %d/%d fps, %d Hz %d channel(s), %d markers, setting %d/%d", width_,
             height_, end_ - first_, rate_num_, rate_den_, audio_rate_, static_cast<int>(channels_.size()),
             static_cast<int>(std::count(markers_text_.begin(), markers_text_.end(), '\n')), category_,
             preset_);
    if (!avi_whole_)
        avi_file_.discard();
    if (avi_file_.keep())
        log_line("wrote %s frames %ld", avi_file_.final_path().c_str(), frames_written_);
    if (markers_file_.keep())
        log_line("wrote %s", markers_file_.final_path().c_str());
    set(prm_at_code, prm_request_end);
    c_.post();
    return 0;
}

}  // namespace

int run_premiere_session(encoder_channel& channel, const session_options& options)
{
    session s(channel, options);
    return s.run();
}
