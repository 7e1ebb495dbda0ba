#include "quicktime_session.h"

#include "avi_writer.h"
#include "encoder_log.h"
#include "fill_pattern.h"
#include "hx_handshake.h"
#include "output_file.h"
#include "qt_channel_layout.h"
#include "sample_checksum.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr OSType type_video = hx_fourcc("vide");
constexpr OSType type_sound = hx_fourcc("soun");
constexpr OSType type_text = hx_fourcc("MAML");
constexpr OSType type_grol = hx_fourcc("GROL");
constexpr OSType pixels_rgba = hx_fourcc("RGBA");
constexpr OSType sound_big_endian = hx_fourcc("twos");
constexpr OSType sound_little_endian = hx_fourcc("sowt");

// More than the component ever has (four); a count beyond it is not believed.
constexpr int32_t most_tracks = 16;

std::string code_text(uint32_t code)
{
    char text[16];
    const char c[4] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
    if (std::all_of(c, c + 4, [](char x) { return x >= 0x20 && x < 0x7F; }))
        std::snprintf(text, sizeof text, "'%c%c%c%c'", c[0], c[1], c[2], c[3]);
    else
        std::snprintf(text, sizeof text, "%u", code);
    return text;
}

std::string hex(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

double seconds_since(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

struct track {
    int32_t id = 0;
    int32_t scale = 0;
    int64_t duration = 0;
    OSType type = 0;
    uint8_t description[86] = {};
};

// The time up to which a track is walked: request times are 32-bit.
int32_t walk_end(const track& t)
{
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(t.duration, 0), 0x7FFFFFFF));
}

class session {
public:
    session(encoder_channel& channel, const session_options& options) : c_(channel), o_(options) {}

    int run();

private:
    void put(uint32_t offset, int32_t v) { c_.param().set_word(offset / 4, static_cast<uint32_t>(v)); }
    qt_param_block answer() const
    {
        qt_param_block a{};
        std::memcpy(&a, c_.param().payload(), std::min<uint32_t>(c_.param().size(), sizeof a));
        return a;
    }
    // The data block's first `size` bytes, or null when it holds fewer.
    const uint8_t* data(int64_t size) const
    {
        return c_.data().is_open() && size >= 0 && size <= c_.data().size() ? c_.data().payload() : nullptr;
    }

    bool ask(int32_t code, std::initializer_list<uint32_t> fields);
    bool ask_data(int32_t track_id, int32_t time, int32_t count, qt_param_block& a);
    int hostile_requests();
    bool general_info();
    bool track_infos();
    bool sound(const track& t);
    bool video(const track& t);
    bool text(const track& t);
    bool grol(const track& t);
    void write_video_frame(const qt_param_block& a, const ImageDescription& d, const track& t);
    int walk();
    int finish();

    encoder_channel& c_;
    const session_options& o_;
    long requests_ = 0;
    bool stopped_ = false;  // the component answered a request as stopped by the user
    int32_t track_count_ = 0;
    std::vector<track> tracks_;

    // Sound: 16-bit interleaved, little-endian, as the AVI takes it.
    std::vector<int16_t> samples_;
    int64_t sample_frames_ = 0;
    int32_t sound_channels_ = 0, sound_rate_ = 0;

    // Given their final names only once the done request is answered.
    output_file avi_file_, text_file_;
    avi_writer avi_;
    bool avi_open_ = false;
    int32_t width_ = 0, height_ = 0;
    size_t samples_written_ = 0;  // sample frames already in the AVI
    std::vector<uint8_t> picture_;
    long frames_ = 0;

    std::string text_;
    int64_t text_bytes_ = 0;
    uint32_t checksum_ = 0;  // --bench: every answered sample
};

bool session::ask(int32_t code, std::initializer_list<uint32_t> fields)
{
    before_request(o_, requests_);
    ++requests_;
    put(offsetof(qt_param_block, code), code);
    if (o_.fill_pattern) {
        fill_pattern_except(c_.param().payload(), c_.param().size(), 4, fields);
        fill_pattern_except(c_.data().payload(), c_.data().size(), 0, {});
    }
    if (!c_.turn(o_.reply_timeout)) {
        log_line("request %d: no answer", code);
        return false;
    }
    // The user stopped the export: nothing more is answered, and the component is closing.
    if (answer().status == hx_status_stopped) {
        stopped_ = true;
        log_line("stopped by the user after %ld requests", requests_);
        return false;
    }
    return true;
}

bool session::ask_data(int32_t track_id, int32_t time, int32_t count, qt_param_block& a)
{
    put(offsetof(qt_param_block, track_id), track_id);
    put(offsetof(qt_param_block, time), time);
    put(offsetof(qt_param_block, count), count);
    if (!ask(qt_request_track_data, {offsetof(qt_param_block, track_id), offsetof(qt_param_block, time),
                                     offsetof(qt_param_block, count)}))
        return false;
    a = answer();
    return true;
}

// Requests 0 to 2 with fields drawn from valid values, edges and anything at all. Code 3 and
// the codes the component does not serve end the export, so none of them is sent here.
// 0 all answered, 4 one was not, 1 the component ended the export all the same.
int session::hostile_requests()
{
    log_line("hostile %ld requests of codes 0 to 2 with random track IDs, times and counts; no code 3 or "
             "unserved code, which would end the export",
             o_.hostile);
    uint32_t seed = 24680;
    auto next = [&]() {
        seed = seed * 1664525u + 1013904223u;
        return seed;
    };
    for (long i = 0; i < o_.hostile; ++i) {
        const int32_t code = static_cast<int32_t>(next() % 3);
        const int32_t track_ids[] = {static_cast<int32_t>(next() % 4), -1, 4, 0x7FFFFFFF,
                                     static_cast<int32_t>(next())};
        // 0x40000000: an offset far past any 'MAML' text.
        const int32_t times[] = {static_cast<int32_t>(next() % 1000), -1, 0x7FFFFFFF, 0x40000000,
                                 static_cast<int32_t>(next())};
        const int32_t counts[] = {1,          static_cast<int32_t>(next() % 5000), 0, -1, 0x7FFFFFFF,
                                  0x01000000, static_cast<int32_t>(next())};
        const int32_t track_id = track_ids[next() % 5];
        const int32_t time = times[next() % 5];
        const int32_t count = counts[next() % 7];
        put(offsetof(qt_param_block, track_id), track_id);
        put(offsetof(qt_param_block, time), time);
        put(offsetof(qt_param_block, count), count);
        if (!ask(code, {offsetof(qt_param_block, track_id), offsetof(qt_param_block, time),
                        offsetof(qt_param_block, count)}))
            return 4;
        const qt_param_block a = answer();
        log_line("hostile %ld code %d track %d time %d count %d -> code %d status %d", i, code, track_id,
                 time, count, a.code, a.status);
        if (a.code == qt_request_done) {
            log_line("hostile request %ld ended the export", i);
            return 1;
        }
    }
    log_line("hostile %ld requests answered", o_.hostile);
    return 0;
}

bool session::general_info()
{
    if (!ask(qt_request_general_info, {}))
        return false;
    qt_general_info info{};
    if (const uint8_t* d = data(sizeof info))
        std::memcpy(&info, d, sizeof info);
    uint32_t words[2];
    std::memcpy(words, info.settings, sizeof words);
    log_line("general info -> status %d tracks %d settings 0x%08x 0x%08x area %s", answer().status,
             info.track_count, words[0], words[1], hex(info.settings + 8, sizeof info.settings - 8).c_str());
    track_count_ = info.track_count;
    if (track_count_ < 0 || track_count_ > most_tracks) {
        log_line("track count %d not believed; none asked", track_count_);
        track_count_ = 0;
    }
    return true;
}

bool session::track_infos()
{
    for (int32_t id = 0; id < track_count_; ++id) {
        put(offsetof(qt_param_block, track_id), id);
        if (!ask(qt_request_track_info, {offsetof(qt_param_block, track_id)}))
            return false;
        qt_track_info info{};
        if (const uint8_t* d = data(sizeof info))
            std::memcpy(&info, d, sizeof info);
        track t;
        t.id = info.track_id;
        t.scale = info.time_scale;
        t.duration = static_cast<int64_t>((uint64_t(info.duration_hi) << 32) | info.duration_lo);
        t.type = info.media_type;
        std::memcpy(t.description, info.description, sizeof t.description);
        log_line(
            "track info %d -> status %d id %d scale %d duration %lld type %s zero %d %d %d description %s",
            id, answer().status, t.id, t.scale, static_cast<long long>(t.duration), code_text(t.type).c_str(),
            info.zero[0], info.zero[1], info.zero[2], hex(t.description, sizeof t.description).c_str());
        if (t.id != id)
            log_line("track info %d names track %d; asking by %d", id, t.id, id);
        t.id = id;
        tracks_.push_back(t);
    }
    return true;
}

// Sound in chunks of --audio-chunk sample frames, never more than the data block holds.
bool session::sound(const track& t)
{
    SoundDescription described{};
    std::memcpy(&described, t.description, sizeof described);
    const int32_t fit_channels = described.numChannels > 0 ? described.numChannels : 2;
    const int32_t fit_bytes = described.sampleSize == 8 ? 1 : 2;
    const int64_t fits = c_.data().size() / (fit_channels * fit_bytes);
    const int32_t end = walk_end(t);
    int32_t per_sample = 0;  // duration per sample, once an answer told it
    for (int64_t at = 0; at < end;) {
        int64_t count = std::min<int64_t>(std::max<uint32_t>(o_.audio_chunk, 1), fits);
        count =
            std::min<int64_t>(count, per_sample > 0 ? (end - at + per_sample - 1) / per_sample : end - at);
        count = std::max<int64_t>(count, 1);
        qt_param_block a;
        if (!ask_data(t.id, static_cast<int32_t>(at), static_cast<int32_t>(count), a))
            return false;
        SoundDescription d{};
        std::memcpy(&d, a.description, sizeof d);
        if (!o_.bench || a.status != qt_status_served)
            log_line("sound track %d time %lld count %lld -> status %d time %d count %d duration %d size %d "
                     "format %s channels %d bits %d rate %u.%04u",
                     t.id, static_cast<long long>(at), static_cast<long long>(count), a.status, a.time,
                     a.count, a.duration_per_sample, a.data_size, code_text(d.dataFormat).c_str(),
                     d.numChannels, d.sampleSize, d.sampleRate >> 16, d.sampleRate & 0xFFFF);
        if (a.status == qt_status_end_of_data) {
            log_line("sound track %d: end of data at %lld", t.id, static_cast<long long>(at));
            break;
        }
        if (a.status != qt_status_served) {
            if (per_sample <= 0)
                break;
            at += count * per_sample;
            continue;
        }
        per_sample = a.duration_per_sample;
        const uint8_t* bytes = data(a.data_size);
        const int32_t bytes_per_sample = d.sampleSize == 8 ? 1 : 2;
        const bool known = (d.dataFormat == sound_big_endian || d.dataFormat == sound_little_endian) &&
                           (d.sampleSize == 8 || d.sampleSize == 16) && d.numChannels > 0;
        if (bytes == nullptr || !known) {
            log_line("sound track %d: answer not usable", t.id);
        } else if (o_.bench) {
            checksum_ = fold_sample_checksum(checksum_, bytes, static_cast<size_t>(a.data_size));
            sample_frames_ += a.count;
            sound_channels_ = d.numChannels;
            sound_rate_ = static_cast<int32_t>(d.sampleRate >> 16);
        } else if (sound_channels_ != 0 &&
                   (d.numChannels != sound_channels_ || int32_t(d.sampleRate >> 16) != sound_rate_)) {
            log_line("sound track %d: the format changed; samples left out", t.id);
        } else {
            sound_channels_ = d.numChannels;
            sound_rate_ = static_cast<int32_t>(d.sampleRate >> 16);
            const int64_t frames =
                std::min<int64_t>(std::max(a.count, 0), a.data_size / (bytes_per_sample * d.numChannels));
            for (int64_t i = 0; i < frames * d.numChannels; ++i) {
                const uint8_t* s = bytes + i * bytes_per_sample;
                int16_t v;
                if (bytes_per_sample == 1)
                    v = static_cast<int16_t>(static_cast<int8_t>(s[0]) * 256);
                else if (d.dataFormat == sound_big_endian)
                    v = static_cast<int16_t>((s[0] << 8) | s[1]);
                else
                    v = static_cast<int16_t>(s[0] | (s[1] << 8));
                samples_.push_back(v);
            }
            sample_frames_ += frames;
        }
        const int64_t next =
            static_cast<int64_t>(a.time) + static_cast<int64_t>(std::max(a.count, 1)) * per_sample;
        if (next <= at) {
            log_line("sound track %d: no progress at %lld; walk ends", t.id, static_cast<long long>(at));
            break;
        }
        at = next;
    }
    log_line("sound track %d: %lld sample frames", t.id, static_cast<long long>(sample_frames_));
    return true;
}

void session::write_video_frame(const qt_param_block& a, const ImageDescription& d, const track& t)
{
    const bool argb = d.cType == qt_pixels_argb32, rgba = d.cType == pixels_rgba;
    const int32_t w = d.width, h = d.height;
    const int32_t row_bytes = h > 0 ? a.data_size / h : 0;
    const uint8_t* bytes = data(a.data_size);
    if (!(argb || rgba) || w <= 0 || h <= 0 || row_bytes < w * 4 || bytes == nullptr) {
        log_line("frame at %d not usable: type %s %dx%d size %d", a.time, code_text(d.cType).c_str(), w, h,
                 a.data_size);
        return;
    }
    if (!avi_open_) {
        if (o_.out_folder.empty())
            return;
        const std::string& path = avi_file_.begin(o_.out_folder + "\\quicktime_export.avi");
        if (!avi_.open(path, w, h, t.scale, std::max(a.duration_per_sample, 1), sound_rate_,
                       sound_channels_)) {
            log_line("cannot write %s", path.c_str());
            avi_file_.discard();
            return;
        }
        avi_open_ = true;
        width_ = w;
        height_ = h;
        picture_.resize(static_cast<size_t>(w) * h * 4);
    }
    if (w != width_ || h != height_) {
        log_line("frame at %d is %dx%d, not %dx%d; left out", a.time, w, h, width_, height_);
        return;
    }
    // The AVI takes B, G, R, A in memory.
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* in = bytes + static_cast<size_t>(y) * row_bytes;
        uint8_t* out = &picture_[static_cast<size_t>(y) * w * 4];
        for (int32_t x = 0; x < w; ++x, in += 4, out += 4) {
            if (argb) {
                out[0] = in[3];
                out[1] = in[2];
                out[2] = in[1];
                out[3] = in[0];
            } else {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                out[3] = in[3];
            }
        }
    }
    avi_.add_frame(picture_.data());
    // The sound up to this frame's end.
    if (sound_channels_ > 0 && t.scale > 0) {
        const int64_t frame_end = static_cast<int64_t>(a.time) + std::max(a.duration_per_sample, 1);
        const size_t have = samples_.size() / sound_channels_;
        const size_t until = static_cast<size_t>(std::min<int64_t>(frame_end * sound_rate_ / t.scale, have));
        if (until > samples_written_) {
            avi_.add_audio(&samples_[samples_written_ * sound_channels_], until - samples_written_);
            samples_written_ = until;
        }
    }
}

bool session::video(const track& t)
{
    LARGE_INTEGER start, steady;
    QueryPerformanceCounter(&start);
    steady = start;
    const int32_t end = walk_end(t);
    int32_t per_sample = 0;
    long asked = 0;
    double first_ms = 0;
    for (int64_t at = 0; at < end;) {
        qt_param_block a;
        if (!ask_data(t.id, static_cast<int32_t>(at), 1, a))
            return false;
        ++asked;
        ImageDescription d{};
        std::memcpy(&d, a.description, sizeof d);
        if (!o_.bench || a.status != qt_status_served)
            log_line(
                "frame track %d time %lld -> status %d time %d count %d duration %d size %d type %s %dx%d",
                t.id, static_cast<long long>(at), a.status, a.time, a.count, a.duration_per_sample,
                a.data_size, code_text(d.cType).c_str(), d.width, d.height);
        if (a.status == qt_status_end_of_data) {
            log_line("video track %d: end of data at %lld", t.id, static_cast<long long>(at));
            break;
        }
        if (a.status != qt_status_served) {
            if (per_sample <= 0)
                break;
            at += per_sample;
            continue;
        }
        per_sample = a.duration_per_sample;
        if (o_.bench) {
            if (const uint8_t* bytes = data(a.data_size))
                checksum_ = fold_sample_checksum(checksum_, bytes, static_cast<size_t>(a.data_size));
            width_ = d.width;
            height_ = d.height;
        } else {
            write_video_frame(a, d, t);
        }
        ++frames_;
        if (asked == 1) {
            // The first turn touches the block's pages for the first time on both sides: timed
            // apart from the steady turns.
            first_ms = seconds_since(start) * 1e3;
            QueryPerformanceCounter(&steady);
        }
        const int64_t next =
            static_cast<int64_t>(a.time) + static_cast<int64_t>(std::max(a.count, 1)) * per_sample;
        if (next <= at) {
            log_line("video track %d: no progress at %lld; walk ends", t.id, static_cast<long long>(at));
            break;
        }
        at = next;
    }
    log_line("frames %ld in %.3f ms", asked, seconds_since(start) * 1e3);
    if (o_.bench && asked > 0)
        log_line("frame turns: first %.3f ms, then %ld in %.3f ms", first_ms, asked - 1,
                 seconds_since(steady) * 1e3);
    return true;
}

// The whole text: the first answer tells its size; what did not fit comes by offset.
bool session::text(const track& t)
{
    const int32_t block = static_cast<int32_t>(c_.data().size());
    int64_t total = 0, received = 0;
    int pieces = 0;
    for (int64_t offset = 0; offset == 0 || offset < total; ++pieces) {
        qt_param_block a;
        if (!ask_data(t.id, static_cast<int32_t>(offset), 1, a))
            return false;
        const bool zero_follows =
            c_.data().is_open() && a.count >= 0 && a.count < block && c_.data().payload()[a.count] == 0;
        log_line("text track %d offset %lld -> status %d offset %d length %d total %d zero byte %s", t.id,
                 static_cast<long long>(offset), a.status, a.time, a.count, a.data_size,
                 zero_follows ? "yes" : "no");
        if (a.status != qt_status_served || (a.count == 0 && a.data_size == 0))
            break;
        if (a.time != offset || a.count <= 0 || a.count >= block || a.data_size < 0) {
            log_line("text track %d: piece at %d of %d bytes not taken; text ends", t.id, a.time, a.count);
            break;
        }
        total = a.data_size;
        const int32_t length = static_cast<int32_t>(std::min<int64_t>(a.count, total - offset));
        if (o_.bench)
            checksum_ = fold_sample_checksum(checksum_, c_.data().payload(), static_cast<size_t>(length));
        else
            text_.append(reinterpret_cast<const char*>(c_.data().payload()), static_cast<size_t>(length));
        received += length;
        offset += length;
    }
    text_bytes_ = received;
    log_line("text track %d: %lld bytes of %lld in %d piece(s)", t.id, static_cast<long long>(received),
             static_cast<long long>(total), pieces);
    if (!o_.bench && !o_.out_folder.empty()) {
        const std::string& path = text_file_.begin(o_.out_folder + "\\quicktime_export.maml.txt");
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(text_.data(), 1, text_.size(), f);
            std::fclose(f);
        } else {
            text_file_.discard();
        }
    }
    return true;
}

// Only the first sample: what a 'GROL' track holds is the component's to describe.
bool session::grol(const track& t)
{
    qt_param_block a;
    if (!ask_data(t.id, 0, 1, a))
        return false;
    ImageDescription d{};
    std::memcpy(&d, a.description, sizeof d);
    const bool image = a.status == qt_status_served &&
                       (d.cType == qt_pixels_argb32 || d.cType == pixels_rgba) && d.width > 0 && d.height > 0;
    log_line(
        "grol track %d -> status %d time %d count %d duration %d size %d description size %d type %s %dx%d "
        "depth %d: %s",
        t.id, a.status, a.time, a.count, a.duration_per_sample, a.data_size, d.idSize,
        code_text(d.cType).c_str(), d.width, d.height, d.depth, image ? "image data" : "not image data");
    return true;
}

int session::finish()
{
    bool avi_whole = false;
    if (avi_open_) {
        if (sound_channels_ > 0 && samples_.size() / sound_channels_ > samples_written_)
            avi_.add_audio(&samples_[samples_written_ * sound_channels_],
                           samples_.size() / sound_channels_ - samples_written_);
        avi_whole = avi_.close();
        if (!avi_whole)
            avi_file_.discard();
    }
    char summary[400];
    std::snprintf(
        summary, sizeof summary,
        "summary quicktime %d track(s), %ld frames %dx%d, %lld sample frames %d Hz %d channel(s), %lld "
        "text bytes",
        track_count_, frames_, width_, height_, static_cast<long long>(sample_frames_), sound_rate_,
        sound_channels_, static_cast<long long>(text_bytes_));
    if (o_.bench)
        std::snprintf(summary + std::strlen(summary), sizeof summary - std::strlen(summary),
                      ", checksum 0x%08x", checksum_);
    log_line("%s", summary);
    std::printf("%s\n", summary);
    std::fflush(stdout);

    const int32_t end = o_.end_code;
    put(offsetof(qt_param_block, code), end);
    if (!ask(end, {}))
        return 4;
    const qt_param_block a = answer();
    log_line("done %d -> code %d status %d", end, a.code, a.status);
    if (a.code != qt_request_done || a.status != qt_status_served)
        return 5;
    if (avi_whole && avi_file_.keep())
        log_line("wrote %s frames %ld", avi_file_.final_path().c_str(), frames_);
    if (text_file_.keep())
        log_line("wrote %s", text_file_.final_path().c_str());
    return 0;
}

// The export ends here on every path: an export that did not end with its done request
// answered leaves nothing under the final names.
int session::run()
{
    const int result = walk();
    if (result != 0) {
        avi_.close();
        avi_file_.discard();
        text_file_.discard();
    }
    return stopped_ ? 7 : result;
}

int session::walk()
{
    if (o_.hostile > 0) {
        const int hostile = hostile_requests();
        if (hostile == 4)
            return 4;
        if (hostile == 1)
            return 0;
    }
    if (!general_info() || !track_infos())
        return 4;
    const OSType order[] = {type_sound, type_video, type_text, type_grol};
    std::vector<bool> walked(tracks_.size(), false);
    for (OSType type : order) {
        for (size_t i = 0; i < tracks_.size(); ++i) {
            if (tracks_[i].type != type)
                continue;
            walked[i] = true;
            const track& t = tracks_[i];
            const bool ok = type == type_sound   ? sound(t)
                            : type == type_video ? video(t)
                            : type == type_text  ? text(t)
                                                 : grol(t);
            if (!ok)
                return 4;
            break;  // one track of each type
        }
    }
    for (size_t i = 0; i < tracks_.size(); ++i)
        if (!walked[i])
            log_line("track %d of type %s not asked", tracks_[i].id, code_text(tracks_[i].type).c_str());
    return finish();
}

}  // namespace

int run_quicktime_session(encoder_channel& channel, const session_options& options)
{
    session s(channel, options);
    return s.run();
}
