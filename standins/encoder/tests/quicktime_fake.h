// A fake QuickTime export component for the stand-in encoder's tests: it creates the four
// objects under a prefix of its own and answers the encoder's requests as the component would,
// from generated tracks whose every byte a test can recompute ('vide' 0, 'soun' 1, 'MAML' 2,
// 'GROL' 3). Also a fixture that starts encoder.exe with " qtexp  -noprocess " on the fake's
// channel; the AVI it writes is read back with the test kit's reader, which shares nothing with
// the encoder's writer.
#pragma once

#include "avi_reader.h"
#include "fill_pattern.h"
#include "hx_encoder_channel.h"
#include "qt_channel_layout.h"
#include "sample_checksum.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

constexpr OSType raw_pixels = hx_fourcc("raw ");
constexpr OSType rgba_pixels = hx_fourcc("RGBA");
constexpr OSType twos = hx_fourcc("twos");
constexpr OSType sowt = hx_fourcc("sowt");

// What the fake component serves.
struct plan {
    OSType pixels = raw_pixels;
    int32_t width = 8, height = 6;
    int32_t frames = 10;          // frames the data procedure has
    int32_t claimed_frames = 10;  // the track's duration, in frames
    int32_t refused_frame = -1;   // answered with status 1
    int32_t scale = 600, frame_duration = 60;
    OSType sound_format = twos;
    int16_t channels = 2;
    int32_t rate = 8000;
    int32_t sample_frames = 8000;
    std::string text;
    uint32_t data_size = 0x10000;
    bool check_pattern = false;
    int32_t stop_at = -1;       // this request (counted from 0) is answered as stopped by the user
    bool stop_at_done = false;  // the done request is answered as stopped by the user
    int32_t silent_at = -1;     // this request is never answered
};

inline uint8_t pixel_byte(int32_t frame, int32_t x, int32_t y, int32_t k)
{
    return static_cast<uint8_t>(frame * 31 + y * 7 + x * 3 + k * 64 + 1);
}

inline int16_t sample_value(int64_t frame, int32_t channel)
{
    return static_cast<int16_t>(static_cast<uint16_t>(frame * 97 + channel * 4099 + 7000));
}

inline std::string make_text(size_t size)
{
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text +=
            "<line " + std::to_string(line) + ">marked-up text, line " + std::to_string(line) + "</line>\n";
    text.resize(size);
    return text;
}

// The fake plug-in's wait for the encoder's next request; false if the encoder ended or fell
// silent for 20 s.
inline bool await_request(hx_encoder_channel& channel, HANDLE encoder)
{
    const HANDLE waits[] = {channel.semaphore_a().handle(), encoder};
    return WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

class fake_component {
public:
    explicit fake_component(const plan& p) : p_(p), prefix_(unique_name("qtexp_")) {}

    bool create()
    {
        return channel_.open_or_create(hx_mode_create, qt_param_block_size, p_.data_size, prefix_.c_str()) ==
               hx_channel_created;
    }
    const std::string& prefix() const { return prefix_; }

    // Serves until the export ends; false if the encoder went away or stopped asking.
    bool serve(HANDLE encoder)
    {
        for (;;) {
            if (!await_request(channel_, encoder))
                return false;
            qt_param_block& b = block();
            requests.push_back(b);
            const int32_t n = static_cast<int32_t>(requests.size()) - 1;
            if (n == p_.silent_at)
                return false;
            if (n == p_.stop_at || (p_.stop_at_done && b.code == qt_request_done)) {
                // The component's stopped answer: code 3, status 3, nothing else.
                b.code = qt_request_done;
                b.status = 3;
                channel_.semaphore_b().release();
                stopped_tick = GetTickCount();
                return true;
            }
            if (p_.check_pattern)
                check_pattern(b.code);
            const bool end = answer(b);
            channel_.semaphore_b().release();
            if (end)
                return true;
        }
    }

    std::vector<qt_param_block> requests;
    DWORD stopped_tick = 0;  // GetTickCount when the stopped answer was handed back
    uint32_t checksum = 0;   // what a bench run must arrive at
    long pattern_faults = 0;
    std::string pattern_fault;

private:
    qt_param_block& block() { return *reinterpret_cast<qt_param_block*>(channel_.param_memory().data()); }
    uint8_t* data() { return channel_.data_memory().data(); }

    void check_pattern(int32_t code)
    {
        std::vector<uint32_t> fields = {0};
        if (code == qt_request_track_info)
            fields = {0, 8};
        else if (code == qt_request_track_data)
            fields = {0, 8, 12, 16};
        const uint8_t* param = channel_.param_memory().data();
        for (uint32_t i = 0; i < qt_param_block_size; ++i) {
            if (std::find(fields.begin(), fields.end(), i & ~3u) != fields.end())
                continue;
            if (param[i] != fill_pattern_byte(i))
                fault("param", code, i);
        }
        for (uint32_t i = 0; i < p_.data_size; ++i)
            if (data()[i] != fill_pattern_byte(i))
                fault("data", code, i);
    }
    void fault(const char* where, int32_t code, uint32_t at)
    {
        if (pattern_faults++ == 0)
            pattern_fault =
                std::string(where) + " byte " + std::to_string(at) + " of request " + std::to_string(code);
    }

    // Answers one request as the component does; true when the export ends.
    bool answer(qt_param_block& b)
    {
        switch (b.code) {
        case qt_request_general_info: {
            qt_general_info info{};
            info.track_count = 4;
            const uint32_t words[2] = {0x00010000, 0};
            std::memcpy(info.settings, words, sizeof words);
            for (int i = 8; i < 264; ++i)
                info.settings[i] = static_cast<uint8_t>(i);
            std::memcpy(data(), &info, sizeof info);
            b.status = qt_status_served;
            return false;
        }
        case qt_request_track_info: {
            if (b.track_id < 0 || b.track_id > 3) {
                b.status = qt_status_failed;
                return false;
            }
            qt_track_info info{};
            info.track_id = b.track_id;
            const uint8_t* description = nullptr;
            ImageDescription image = image_description(p_.pixels, p_.width, p_.height);
            SoundDescription sound = sound_description();
            uint8_t text_description[86] = {};
            if (b.track_id == 0) {
                info.time_scale = p_.scale;
                info.duration_lo = static_cast<uint32_t>(p_.claimed_frames * p_.frame_duration);
                info.media_type = hx_fourcc("vide");
                description = reinterpret_cast<const uint8_t*>(&image);
            } else if (b.track_id == 1) {
                info.time_scale = p_.rate;
                info.duration_lo = static_cast<uint32_t>(p_.sample_frames);
                info.media_type = hx_fourcc("soun");
                description = reinterpret_cast<const uint8_t*>(&sound);
            } else if (b.track_id == 2) {
                info.time_scale = 600;
                info.duration_lo = 600;
                info.media_type = hx_fourcc("MAML");
                description = text_description;
            } else {
                info.time_scale = 600;
                info.duration_lo = 600;
                info.media_type = hx_fourcc("GROL");
                image = image_description(rgba_pixels, 2, 2);
                description = reinterpret_cast<const uint8_t*>(&image);
            }
            std::memcpy(info.description, description, 86);
            std::memcpy(data(), &info, sizeof info);
            b.status = qt_status_served;
            return false;
        }
        case qt_request_track_data:
            b.status = track_data(b);
            return false;
        case qt_request_done:
            b.status = qt_status_served;
            return true;
        default:
            b.code = qt_request_done;
            b.status = qt_status_served;
            return true;
        }
    }

    static ImageDescription image_description(OSType pixels, int32_t width, int32_t height)
    {
        ImageDescription d{};
        d.idSize = 86;
        // What the component hands on: 'raw ' becomes 32-bit ARGB.
        d.cType = pixels == raw_pixels ? qt_pixels_argb32 : pixels;
        d.width = static_cast<int16_t>(width);
        d.height = static_cast<int16_t>(height);
        d.dataSize = width * height * 4;
        d.depth = 32;
        return d;
    }
    SoundDescription sound_description() const
    {
        SoundDescription d{};
        d.descSize = 36;
        d.dataFormat = p_.sound_format;
        d.numChannels = p_.channels;
        d.sampleSize = 16;
        d.sampleRate = static_cast<uint32_t>(p_.rate) << 16;
        return d;
    }

    int32_t track_data(qt_param_block& b)
    {
        const uint32_t capacity = p_.data_size;
        if (b.track_id == 0) {
            if (b.time < 0 || b.time / p_.frame_duration >= p_.frames)
                return qt_status_end_of_data;
            const int32_t f = b.time / p_.frame_duration;
            const uint32_t size = static_cast<uint32_t>(p_.width * p_.height * 4);
            for (int32_t y = 0; y < p_.height; ++y)
                for (int32_t x = 0; x < p_.width; ++x)
                    for (int32_t k = 0; k < 4; ++k)
                        data()[(y * p_.width + x) * 4 + k] = pixel_byte(f, x, y, k);
            set_sample(b, f * p_.frame_duration, 1, p_.frame_duration, size);
            const ImageDescription d = image_description(p_.pixels, p_.width, p_.height);
            std::memcpy(b.description, &d, sizeof d);
            if (f == p_.refused_frame)
                return qt_status_failed;
            checksum = fold_sample_checksum(checksum, data(), size);
            return qt_status_served;
        }
        if (b.track_id == 1) {
            if (b.time < 0 || b.time >= p_.sample_frames)
                return qt_status_end_of_data;
            const int64_t count = std::min<int64_t>(b.count, p_.sample_frames - b.time);
            const int64_t size = count * p_.channels * 2;
            if (count <= 0 || size > capacity)
                return qt_status_failed;
            uint8_t* out = data();
            for (int64_t i = 0; i < count; ++i)
                for (int32_t c = 0; c < p_.channels; ++c, out += 2) {
                    const uint16_t v = static_cast<uint16_t>(sample_value(b.time + i, c));
                    out[p_.sound_format == twos ? 0 : 1] = static_cast<uint8_t>(v >> 8);
                    out[p_.sound_format == twos ? 1 : 0] = static_cast<uint8_t>(v);
                }
            set_sample(b, b.time, static_cast<int32_t>(count), 1, static_cast<int32_t>(size));
            const SoundDescription d = sound_description();
            std::memcpy(b.description, &d, sizeof d);
            checksum = fold_sample_checksum(checksum, data(), static_cast<size_t>(size));
            return qt_status_served;
        }
        if (b.track_id == 2) {
            const int64_t total = static_cast<int64_t>(p_.text.size());
            int64_t offset = 0, length = total;
            if (total >= capacity) {
                offset = b.time;
                if (offset < 0 || offset >= total)
                    return qt_status_failed;
                length = std::min<int64_t>(total - offset, capacity - 1);
            }
            std::memcpy(data(), p_.text.data() + offset, static_cast<size_t>(length));
            data()[length] = 0;
            set_sample(b, static_cast<int32_t>(offset), static_cast<int32_t>(length), 600,
                       static_cast<int32_t>(total));
            std::memset(b.description, 0, sizeof b.description);
            checksum = fold_sample_checksum(checksum, data(), static_cast<size_t>(length));
            return qt_status_served;
        }
        if (b.track_id == 3) {
            for (int i = 0; i < 16; ++i)
                data()[i] = static_cast<uint8_t>(0xF0 + i);
            set_sample(b, 0, 1, 600, 16);
            const ImageDescription d = image_description(rgba_pixels, 2, 2);
            std::memcpy(b.description, &d, sizeof d);
            return qt_status_served;
        }
        return qt_status_failed;
    }
    static void set_sample(qt_param_block& b, int32_t time, int32_t count, int32_t duration, int32_t size)
    {
        b.time = time;
        b.count = count;
        b.duration_per_sample = duration;
        b.data_size = size;
    }

    plan p_;
    std::string prefix_;
    hx_encoder_channel channel_;
};

class QuickTimeSession : public testing::Test {
protected:
    void SetUp() override
    {
        out_ = temp_file("qt_out");
        ASSERT_TRUE(CreateDirectoryA(out_.c_str(), nullptr));
        // Nothing from the test's own environment steers the encoder.
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
        SetEnvironmentVariableA("HX_ENCODER_LOG", nullptr);
        SetEnvironmentVariableA("HX_ENCODER_OUT", nullptr);
    }

    // Starts the encoder on `fake`'s channel and serves it; the encoder's exit status.
    DWORD run(fake_component& fake, const std::string& options = "", bool* served = nullptr)
    {
        EXPECT_TRUE(fake.create());
        test_process encoder;
        const std::string args = " qtexp  -noprocess  --prefix " + fake.prefix() + " --out " + out_ +
                                 " --log " + log_path() + " --open-timeout 15000 --reply-timeout 15000 " +
                                 options;
        EXPECT_TRUE(encoder.start(bin_dir() + "encoder.exe", args));
        const bool ended = fake.serve(encoder.handle());
        if (served != nullptr)
            *served = ended;
        const DWORD status = encoder.wait_exit(20000);
        exit_tick_ = GetTickCount();
        return status;
    }

    std::string log_path() const { return out_ + "\\encoder.log"; }
    std::string log() const { return read_file(log_path()); }
    std::string avi_path() const { return out_ + "\\quicktime_export.avi"; }
    std::string text_path() const { return out_ + "\\quicktime_export.maml.txt"; }

    static void expect_frames(const avi_contents& avi, const plan& p, const std::vector<int32_t>& served)
    {
        ASSERT_EQ(avi.frames.size(), served.size());
        for (size_t n = 0; n < served.size(); ++n) {
            const std::vector<uint8_t>& frame = avi.frames[n];
            ASSERT_EQ(frame.size(), static_cast<size_t>(p.width * p.height * 4));
            for (int32_t y = 0; y < p.height; ++y)
                for (int32_t x = 0; x < p.width; ++x) {
                    // Rows bottom-up; B, G, R, A in memory.
                    const uint8_t* px = frame.data() + ((p.height - 1 - y) * p.width + x) * 4;
                    uint8_t in[4];
                    for (int k = 0; k < 4; ++k)
                        in[k] = pixel_byte(served[n], x, y, k);
                    const uint8_t want[4] = {
                        p.pixels == rgba_pixels ? in[2] : in[3], p.pixels == rgba_pixels ? in[1] : in[2],
                        p.pixels == rgba_pixels ? in[0] : in[1], p.pixels == rgba_pixels ? in[3] : in[0]};
                    ASSERT_EQ(0, std::memcmp(px, want, 4))
                        << "frame " << served[n] << " pixel " << x << "," << y;
                }
        }
    }

    static void expect_audio(const avi_contents& avi, const plan& p)
    {
        EXPECT_EQ(avi.audio_channels, p.channels);
        EXPECT_EQ(avi.audio_rate, p.rate);
        EXPECT_EQ(avi.audio_bits, 16);
        ASSERT_EQ(avi.samples.size(), static_cast<size_t>(p.sample_frames) * p.channels);
        for (int64_t i = 0; i < p.sample_frames; ++i)
            for (int32_t c = 0; c < p.channels; ++c)
                ASSERT_EQ(avi.samples[i * p.channels + c], sample_value(i, c))
                    << "sample frame " << i << " channel " << c;
    }

    std::string out_;
    DWORD exit_tick_ = 0;  // GetTickCount when run() saw the encoder end
};

inline bool file_exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
