#include "quicktime_host.h"

#include "generated_picture.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr OSType dura = hx_fourcc("dura");
constexpr uint8_t extra_byte = 0xEE;

void put_pascal(uint8_t (&field)[32], const char* text)
{
    const size_t n = std::strlen(text) < 31 ? std::strlen(text) : 31;
    field[0] = static_cast<uint8_t>(n);
    std::memcpy(field + 1, text, n);
}

template <typename Record> std::vector<uint8_t> bytes_of(const Record& record)
{
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

std::vector<uint8_t> image_description(OSType format, int32_t width, int32_t height, int32_t data_size,
                                       const char* name)
{
    ImageDescription d{};
    d.idSize = sizeof d;
    d.cType = format;
    d.dataRefIndex = 1;
    d.width = static_cast<int16_t>(width);
    d.height = static_cast<int16_t>(height);
    d.hRes = 72 << 16;
    d.vRes = 72 << 16;
    d.dataSize = data_size;
    d.frameCount = 1;
    put_pascal(d.name, name);
    d.depth = 32;
    d.clutID = -1;
    return bytes_of(d);
}

// One frame of ARGB pixels in the byte order its compression type calls for.
std::vector<uint8_t> frame_bytes(OSType format, int32_t width, int32_t height, int32_t frame,
                                 uint32_t (*pixel)(int32_t, int32_t, int32_t))
{
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 4);
    const bool rgba = format == hx_fourcc("RGBA");
    uint8_t* p = bytes.data();
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x, p += 4) {
            const uint32_t v = pixel(frame, x, y);
            const uint8_t a = static_cast<uint8_t>(v >> 24), r = static_cast<uint8_t>(v >> 16),
                          g = static_cast<uint8_t>(v >> 8), b = static_cast<uint8_t>(v);
            if (rgba) {
                p[0] = r, p[1] = g, p[2] = b, p[3] = a;
            } else {
                p[0] = a, p[1] = r, p[2] = g, p[3] = b;
            }
        }
    }
    return bytes;
}

std::string generated_text(int32_t length)
{
    static const char* const sentences[] = {
        "The generated movie runs a moving bar under a binary frame counter.",
        "Its sound is a steady tone, 440 Hz on the left and 660 Hz on the right.",
        "This text is longer than the data block, so it travels in pieces.",
        "Each line carries its number, so a piece shows where it came from.",
    };
    std::string text;
    text.reserve(static_cast<size_t>(length) + 128);
    for (int line = 1; text.size() < static_cast<size_t>(length); ++line) {
        char buffer[160];
        std::snprintf(buffer, sizeof buffer, "Line %05d: %s\r\n", line, sentences[(line - 1) % 4]);
        text += buffer;
    }
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

const char* qt_track_name(qt_track track)
{
    switch (track) {
    case qt_track::video:
        return "vide";
    case qt_track::sound:
        return "soun";
    case qt_track::text:
        return "MAML";
    case qt_track::grol:
        return "GROL";
    }
    return "????";
}

std::string qt_fourcc_text(OSType code)
{
    char text[16];
    bool printable = true;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned c = (code >> shift) & 0xFF;
        printable = printable && c >= 0x20 && c < 0x7F;
    }
    if (printable)
        std::snprintf(text, sizeof text, "'%c%c%c%c'", char(code >> 24), char(code >> 16), char(code >> 8),
                      char(code));
    else
        std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code));
    return text;
}

bool qt_movie_settings::present(qt_track track) const
{
    switch (track) {
    case qt_track::video:
        return has_video;
    case qt_track::sound:
        return has_sound;
    case qt_track::text:
        return has_text;
    case qt_track::grol:
        return has_grol;
    }
    return false;
}

bool qt_movie_settings::valid() const
{
    const auto within = [](int64_t v, int64_t low, int64_t high) { return v >= low && v <= high; };
    return within(width, 1, 32767) && within(height, 1, 32767) &&
           within(int64_t(width) * height * 4, 1, 0x7FFFFFFF) && within(fps, 1, 1000) &&
           within(video_time_scale, 1, 0x7FFFFFFF) && video_time_scale % fps == 0 &&
           within(seconds, 1, 3600) && within(int64_t(seconds) * video_time_scale, 1, 0x7FFFFFFF) &&
           within(sound_rate, 1, 65535) && within(text_length, 0, 64 * 1024 * 1024) &&
           within(text_time_scale, 1, 0x7FFFFFFF) &&
           within(int64_t(seconds) * text_time_scale, 1, 0x7FFFFFFF) && within(grol_width, 1, 32767) &&
           within(grol_height, 1, 32767) && within(int64_t(grol_width) * grol_height * 4, 1, 0x7FFFFFFF);
}

std::vector<qt_data_request> qt_movie_journal::data_of(qt_track track) const
{
    std::vector<qt_data_request> of;
    for (const qt_data_request& r : data)
        if (r.track == track)
            of.push_back(r);
    return of;
}

qt_movie::qt_movie(const qt_movie_settings& settings, const qt_handle_allocator& allocator)
    : settings_(settings), allocator_(allocator), text_(generated_text(settings.text_length))
{
    for (qt_track track : qt_all_tracks) {
        tracks_[index(track)].movie = this;
        tracks_[index(track)].track = track;
    }
    if (settings_.fixed_picture && settings_.has_video)
        fixed_frame_ = expected_frame(0);
}

qt_movie::~qt_movie()
{
    for (track_state& t : tracks_) {
        if (t.desc != nullptr)
            allocator_.dispose(t.desc);
        if (t.short_desc != nullptr)
            allocator_.dispose(t.short_desc);
    }
}

std::vector<qt_data_source> qt_movie::sources()
{
    std::vector<qt_data_source> list;
    for (qt_track track : qt_all_tracks)
        if (settings_.present(track))
            list.push_back({track, media_type(track), time_scale(track), &qt_movie::get_property,
                            &qt_movie::get_data, &tracks_[index(track)]});
    return list;
}

OSType qt_movie::media_type(qt_track track)
{
    const char* name = qt_track_name(track);
    return (OSType(uint8_t(name[0])) << 24) | (OSType(uint8_t(name[1])) << 16) |
           (OSType(uint8_t(name[2])) << 8) | OSType(uint8_t(name[3]));
}

int32_t qt_movie::time_scale(qt_track track) const
{
    switch (track) {
    case qt_track::video:
    case qt_track::grol:
        return settings_.video_time_scale;
    case qt_track::sound:
        return settings_.sound_rate;
    case qt_track::text:
        return settings_.text_time_scale;
    }
    return 0;
}

int32_t qt_movie::duration(qt_track track) const
{
    switch (track) {
    case qt_track::video:
    case qt_track::grol:
        return frame_count() * frame_duration();
    case qt_track::sound:
        return sound_frames();
    case qt_track::text:
        return settings_.seconds * settings_.text_time_scale;
    }
    return 0;
}

uint32_t qt_movie::pixel(int32_t frame, int32_t x, int32_t y)
{
    return hx_generated_pixel(frame, x, y);
}

uint32_t qt_movie::grol_pixel(int32_t frame, int32_t x, int32_t y)
{
    // The frame number in binary (2 x 4 cells, bit 0 leftmost) over a grey that brightens.
    if (y < 4 && x < 16 * 2)
        return (frame >> (x / 2)) & 1 ? 0xFFFFFFFFu : 0xFF000000u;
    const uint32_t grey = static_cast<uint32_t>(frame * 8 + x) & 0xFF;
    return 0x80000000u | (grey << 16) | (grey << 8) | grey;
}

std::vector<uint8_t> qt_movie::expected_frame(int32_t frame) const
{
    return frame_bytes(settings_.video_format, settings_.width, settings_.height, frame, &qt_movie::pixel);
}

std::vector<uint8_t> qt_movie::expected_grol_frame(int32_t frame) const
{
    return frame_bytes(settings_.grol_format, settings_.grol_width, settings_.grol_height, frame,
                       &qt_movie::grol_pixel);
}

int16_t qt_movie::tone(int64_t sample_frame, int channel, int32_t rate)
{
    const double frequency = channel == 0 ? 440.0 : 660.0;
    const double phase = 2.0 * pi * frequency * static_cast<double>(sample_frame) / rate;
    return static_cast<int16_t>(std::lround(8000.0 * std::sin(phase)));
}

std::vector<uint8_t> qt_movie::expected_sound(int32_t first, int32_t count) const
{
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * 4);
    const bool big_endian = settings_.sound_format == hx_fourcc("twos");
    uint8_t* p = bytes.data();
    for (int32_t i = 0; i < count; ++i) {
        for (int channel = 0; channel < 2; ++channel, p += 2) {
            const uint16_t v = static_cast<uint16_t>(expected_sample(int64_t(first) + i, channel));
            p[big_endian ? 0 : 1] = static_cast<uint8_t>(v >> 8);
            p[big_endian ? 1 : 0] = static_cast<uint8_t>(v);
        }
    }
    return bytes;
}

std::vector<uint8_t> qt_movie::expected_description(qt_track track) const
{
    const qt_track_faults& f = tracks_[index(track)].faults;
    switch (track) {
    case qt_track::video: {
        const int32_t size =
            f.image_data_size >= 0 ? f.image_data_size : settings_.width * settings_.height * 4;
        return image_description(settings_.video_format, settings_.width, settings_.height, size,
                                 "Generated video");
    }
    case qt_track::grol: {
        const int32_t size =
            f.image_data_size >= 0 ? f.image_data_size : settings_.grol_width * settings_.grol_height * 4;
        return image_description(settings_.grol_format, settings_.grol_width, settings_.grol_height, size,
                                 "Generated GROL");
    }
    case qt_track::sound: {
        SoundDescription d{};
        d.descSize = sizeof d;
        d.dataFormat = settings_.sound_format;
        d.dataRefIndex = 1;
        d.numChannels = 2;
        d.sampleSize = 16;
        d.sampleRate = static_cast<uint32_t>(settings_.sound_rate) << 16;
        return bytes_of(d);
    }
    case qt_track::text: {
        qt_text_description d{};
        d.descSize = sizeof d;
        d.dataFormat = hx_fourcc("MAML");
        d.dataRefIndex = 1;
        d.textLength = static_cast<int32_t>(text_.size());
        put_pascal(d.name, "Generated text");
        return bytes_of(d);
    }
    }
    return {};
}

OSErr __cdecl qt_movie::get_property(void* refCon, int32_t trackID, OSType property, void* value)
{
    if (refCon == nullptr)
        return paramErr;
    try {
        track_state& t = *static_cast<track_state*>(refCon);
        return t.movie->property(t, trackID, property, value);
    } catch (...) {
        return memFullErr;
    }
}

OSErr __cdecl qt_movie::get_data(void* refCon, MovieExportGetDataParams* params)
{
    if (refCon == nullptr || params == nullptr)
        return paramErr;
    try {
        track_state& t = *static_cast<track_state*>(refCon);
        return t.movie->serve(t, params);
    } catch (...) {
        return memFullErr;
    }
}

OSErr qt_movie::property(track_state& t, int32_t trackID, OSType property, void* value)
{
    OSErr result = paramErr;
    if (value != nullptr && property == dura) {
        if (t.faults.duration_fails) {
            result = t.faults.duration_error;
        } else {
            TimeRecord record{};
            record.value_lo = static_cast<uint32_t>(duration(t.track));
            record.scale = time_scale(t.track);
            std::memcpy(value, &record, sizeof record);
            result = noErr;
        }
    }
    journal_.properties.push_back({t.track, trackID, property, result});
    return result;
}

OSErr qt_movie::serve(track_state& t, MovieExportGetDataParams* params)
{
    qt_data_request r{t.track,
                      params->recordSize,
                      params->trackID,
                      params->sourceTimeScale,
                      params->requestedTime,
                      params->requestedSampleCount,
                      noErr,
                      0,
                      0};
    r.result = fill(t, params);
    if (r.result == noErr) {
        r.actual_time = params->actualTime;
        r.actual_count = params->actualSampleCount;
    }
    journal_.data.push_back(r);
    return r.result;
}

OSErr qt_movie::fill(track_state& t, MovieExportGetDataParams* params)
{
    const qt_track_faults& f = t.faults;
    const int32_t time = params->requestedTime;
    if (f.fail_from_time >= 0 && time >= f.fail_from_time)
        return f.fail_error;
    if (time < 0)
        return paramErr;

    std::vector<uint8_t> data;
    const std::vector<uint8_t>* served = &t.buffer;
    int32_t actual_time = 0, count = 1, per_sample = 1;
    switch (t.track) {
    case qt_track::video:
    case qt_track::grol: {
        per_sample = frame_duration();
        int32_t frame = time / per_sample;
        if (frame >= frame_count()) {
            if (!f.past_end_repeats_last)
                return eofErr;
            frame = frame_count() - 1;
        }
        if (t.track == qt_track::video && !fixed_frame_.empty() && f.extra_data == 0)
            served = &fixed_frame_;
        else
            data = t.track == qt_track::video ? expected_frame(frame) : expected_grol_frame(frame);
        actual_time = frame * per_sample;
        break;
    }
    case qt_track::sound: {
        const int32_t total = sound_frames();
        if (time >= total) {
            if (!f.past_end_repeats_last)
                return eofErr;
            actual_time = total - 1;
            count = 1;
        } else {
            actual_time = time;
            count = params->requestedSampleCount > 0 ? params->requestedSampleCount : 1;
            if (count > total - time)
                count = total - time;
        }
        data = expected_sound(actual_time, count);
        break;
    }
    case qt_track::text:
        if (time >= duration(qt_track::text) && !f.past_end_repeats_last)
            return eofErr;
        data.assign(text_.begin(), text_.end());
        per_sample = duration(qt_track::text);
        break;
    }

    Handle desc = nullptr;
    if (!f.null_desc) {
        desc = description(t);
        if (desc == nullptr)
            return memFullErr;
    }
    if (served == &t.buffer) {
        if (f.extra_data > 0)
            data.insert(data.end(), static_cast<size_t>(f.extra_data), extra_byte);
        t.buffer.swap(data);
    }

    params->actualTime = actual_time;
    // The procedure's contract hands out a non-const pointer; the component only reads it.
    params->dataPtr = f.null_data ? nullptr : reinterpret_cast<Ptr>(const_cast<uint8_t*>(served->data()));
    params->dataSize = static_cast<int32_t>(served->size());
    params->desc = desc;
    params->descType = f.desc_type != 0 ? f.desc_type : media_type(t.track);
    params->descSeed = 1;
    params->actualSampleCount = count;
    params->durationPerSample = per_sample;
    params->sampleFlags = 0;
    return noErr;
}

Handle qt_movie::description(track_state& t)
{
    Handle& h = t.faults.short_desc ? t.short_desc : t.desc;
    if (h != nullptr)
        return h;
    const std::vector<uint8_t> bytes = expected_description(t.track);
    const size_t size = t.faults.short_desc ? 8 : bytes.size();
    h = allocator_.new_clear(static_cast<long>(size));
    // Filled at once: the runtime may move an unlocked block only when it is called again.
    if (h != nullptr && *h != nullptr)
        std::memcpy(*h, bytes.data(), size);
    return h;
}
