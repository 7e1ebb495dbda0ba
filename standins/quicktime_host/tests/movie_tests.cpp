// The generated movie through its procedures, called as the component calls them.
#include "local_handles.h"
#include "quicktime_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

qt_movie_settings small_movie()
{
    qt_movie_settings s;
    s.width = 160;
    s.height = 20;
    s.fps = 10;
    s.video_time_scale = 600;
    s.seconds = 1;
    s.sound_rate = 22050;
    return s;
}

class movie : public ::testing::Test {
protected:
    void TearDown() override
    {
        local_handles::fail_next() = 0;
        EXPECT_TRUE(local_handles::live().empty()) << "the movie left description handles behind";
    }

    qt_data_source source(qt_movie& m, qt_track track)
    {
        for (const qt_data_source& s : m.sources())
            if (s.track == track)
                return s;
        ADD_FAILURE() << "no track " << qt_track_name(track);
        return {};
    }

    // One data request as the component makes it: a cleared record, size, ID, scale, time, count.
    OSErr ask(qt_movie& m, qt_track track, int32_t time, int32_t count, MovieExportGetDataParams* out)
    {
        const qt_data_source s = source(m, track);
        std::memset(out, 0, sizeof *out);
        out->recordSize = sizeof *out;
        out->trackID = static_cast<int32_t>(track);
        out->sourceTimeScale = s.time_scale;
        out->requestedTime = time;
        out->requestedSampleCount = count;
        return s.data_proc(s.ref_con, out);
    }

    static std::vector<uint8_t> data_of(const MovieExportGetDataParams& p)
    {
        const uint8_t* d = reinterpret_cast<const uint8_t*>(p.dataPtr);
        return std::vector<uint8_t>(d, d + p.dataSize);
    }

    static std::vector<uint8_t> block_of(Handle h, size_t size)
    {
        const uint8_t* d = reinterpret_cast<const uint8_t*>(*h);
        return std::vector<uint8_t>(d, d + size);
    }

    static uint32_t native32(const std::vector<uint8_t>& bytes, size_t offset)
    {
        uint32_t v;
        std::memcpy(&v, bytes.data() + offset, 4);
        return v;
    }

    static int16_t native16(const std::vector<uint8_t>& bytes, size_t offset)
    {
        int16_t v;
        std::memcpy(&v, bytes.data() + offset, 2);
        return v;
    }

    // The component's search for a track's end when 'dura' fails.
    static int32_t probe_duration(const qt_data_source& s, int32_t track_id)
    {
        MovieExportGetDataParams p{};
        p.recordSize = sizeof p;
        p.trackID = track_id;
        p.sourceTimeScale = s.time_scale;
        int32_t low = 0, high = 0x7FFFFFFF, t = 0x7FFFFFFF;
        for (int guard = 0; guard < 64; ++guard) {
            p.requestedTime = t;
            p.requestedSampleCount = 1;
            if (s.data_proc(s.ref_con, &p) != noErr)
                high = t;
            else
                low = p.actualTime + p.durationPerSample;
            t = low + (high - low) / 2;
            if (!(high > low + 1))
                break;
        }
        return low;
    }
};

}  // namespace

TEST_F(movie, video_frames_are_argb_bytes_with_a_binary_counter)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 5 * 60, 1, &p), noErr);
    EXPECT_EQ(p.actualTime, 300);
    EXPECT_EQ(p.actualSampleCount, 1);
    EXPECT_EQ(p.durationPerSample, 60);
    EXPECT_EQ(p.descType, hx_fourcc("vide"));
    ASSERT_EQ(p.dataSize, 160 * 20 * 4);
    const std::vector<uint8_t> frame = data_of(p);
    EXPECT_EQ(frame, m.expected_frame(5));

    // Frame 5 is binary 101: cells 0 and 2 white, cell 1 black, alpha first.
    auto at = [&frame](int x, int y) {
        return std::vector<uint8_t>(&frame[(y * 160 + x) * 4], &frame[(y * 160 + x) * 4] + 4);
    };
    EXPECT_EQ(at(0, 0), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(at(8, 7), (std::vector<uint8_t>{0xFF, 0x00, 0x00, 0x00}));
    EXPECT_EQ(at(16, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    // Below the counter, away from the bar: gradients that drift with the frame.
    const int x = 150, y = 15;
    EXPECT_EQ(at(x, y), (std::vector<uint8_t>{0xFF, uint8_t(x + 15), uint8_t(y + 10), uint8_t((x ^ y) + 5)}));

    ASSERT_EQ(ask(m, qt_track::video, 6 * 60, 1, &p), noErr);
    EXPECT_NE(data_of(p), frame) << "the pattern moves";
}

TEST_F(movie, a_fixed_picture_serves_frame_0_for_every_frame_from_one_buffer)
{
    qt_movie_settings s = small_movie();
    s.fixed_picture = true;
    qt_movie m(s, local_handles::allocator());
    MovieExportGetDataParams first, later;
    ASSERT_EQ(ask(m, qt_track::video, 0, 1, &first), noErr);
    ASSERT_EQ(ask(m, qt_track::video, 7 * 60, 1, &later), noErr);
    EXPECT_EQ(data_of(later), m.expected_frame(0));
    EXPECT_NE(m.expected_frame(7), m.expected_frame(0));
    // Nothing is drawn or copied per request: both answers point at the same bytes.
    EXPECT_EQ(later.dataPtr, first.dataPtr);
    // Times, counts and the end are answered as for a moving picture.
    EXPECT_EQ(later.actualTime, 7 * 60);
    EXPECT_EQ(later.durationPerSample, 60);
    EXPECT_EQ(later.dataSize, 160 * 20 * 4);
    EXPECT_EQ(ask(m, qt_track::video, 10 * 60, 1, &later), eofErr);
    // The 'GROL' track still moves.
    ASSERT_EQ(ask(m, qt_track::grol, 3 * 60, 1, &later), noErr);
    EXPECT_EQ(data_of(later), m.expected_grol_frame(3));
}

TEST_F(movie, a_time_inside_a_frame_gives_that_frame_and_the_end_gives_eof)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 25, 3, &p), noErr);
    EXPECT_EQ(p.actualTime, 0);
    EXPECT_EQ(p.actualSampleCount, 1);
    EXPECT_EQ(data_of(p), m.expected_frame(0));
    ASSERT_EQ(ask(m, qt_track::video, 599, 1, &p), noErr);
    EXPECT_EQ(p.actualTime, 540);
    EXPECT_EQ(ask(m, qt_track::video, 600, 1, &p), eofErr);
    EXPECT_EQ(ask(m, qt_track::video, -1, 1, &p), paramErr);

    const std::vector<qt_data_request> asked = m.journal().data_of(qt_track::video);
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0].requested_time, 25);
    EXPECT_EQ(asked[0].requested_count, 3);
    EXPECT_EQ(asked[0].record_size, 56);
    EXPECT_EQ(asked[0].source_time_scale, 600);
    EXPECT_EQ(asked[1].actual_time, 540);
    EXPECT_EQ(asked[2].result, eofErr);
}

TEST_F(movie, rgba_frames_put_alpha_last)
{
    qt_movie_settings s = small_movie();
    s.video_format = hx_fourcc("RGBA");
    qt_movie m(s, local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 60, 1, &p), noErr);
    const std::vector<uint8_t> frame = data_of(p);
    const uint32_t v = qt_movie::pixel(1, 150, 15);
    const size_t i = (15 * 160 + 150) * 4;
    EXPECT_EQ(frame[i + 0], uint8_t(v >> 16));
    EXPECT_EQ(frame[i + 1], uint8_t(v >> 8));
    EXPECT_EQ(frame[i + 2], uint8_t(v));
    EXPECT_EQ(frame[i + 3], 0xFF);
    const std::vector<uint8_t> desc = block_of(p.desc, 86);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("RGBA"));
}

TEST_F(movie, the_image_description_is_one_quicktime_handle_per_track)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
    ASSERT_NE(p.desc, nullptr);
    EXPECT_EQ(local_handles::size(p.desc), 86);
    const std::vector<uint8_t> desc = block_of(p.desc, 86);
    EXPECT_EQ(desc, m.expected_description(qt_track::video));
    EXPECT_EQ(native32(desc, 0), 86u);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("raw "));
    EXPECT_EQ(native16(desc, 32), 160);
    EXPECT_EQ(native16(desc, 34), 20);
    EXPECT_EQ(native32(desc, 44), 160u * 20 * 4);
    EXPECT_EQ(native16(desc, 82), 32);
    const Handle first = p.desc;
    ASSERT_EQ(ask(m, qt_track::video, 60, 1, &p), noErr);
    EXPECT_EQ(p.desc, first);
    EXPECT_EQ(local_handles::live().size(), 1u);
}

TEST_F(movie, sowt_sound_is_a_little_endian_stereo_tone)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::sound, 1000, 100, &p), noErr);
    EXPECT_EQ(p.actualTime, 1000);
    EXPECT_EQ(p.actualSampleCount, 100);
    EXPECT_EQ(p.durationPerSample, 1);
    EXPECT_EQ(p.descType, hx_fourcc("soun"));
    ASSERT_EQ(p.dataSize, 400);
    const std::vector<uint8_t> d = data_of(p);
    EXPECT_EQ(d, m.expected_sound(1000, 100));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(int16_t(d[i * 4] | d[i * 4 + 1] << 8), m.expected_sample(1000 + i, 0));
        EXPECT_EQ(int16_t(d[i * 4 + 2] | d[i * 4 + 3] << 8), m.expected_sample(1000 + i, 1));
    }
}

TEST_F(movie, the_tone_is_440_hz_left_and_660_hz_right)
{
    qt_movie m(small_movie(), local_handles::allocator());
    int crossings[2] = {0, 0};
    int16_t peak = 0;
    for (int64_t n = 1; n < 22050; ++n) {
        for (int c = 0; c < 2; ++c)
            if ((m.expected_sample(n - 1, c) < 0) != (m.expected_sample(n, c) < 0))
                ++crossings[c];
        peak = std::max(peak, m.expected_sample(n, 0));
    }
    EXPECT_NEAR(crossings[0], 880, 2);
    EXPECT_NEAR(crossings[1], 1320, 2);
    EXPECT_NEAR(peak, 8000, 5);
    EXPECT_EQ(m.expected_sample(0, 0), 0);
}

TEST_F(movie, twos_sound_is_big_endian)
{
    qt_movie_settings s = small_movie();
    s.sound_format = hx_fourcc("twos");
    qt_movie m(s, local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::sound, 7, 3, &p), noErr);
    const std::vector<uint8_t> d = data_of(p);
    ASSERT_EQ(d.size(), 12u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(int16_t(d[i * 4] << 8 | d[i * 4 + 1]), m.expected_sample(7 + i, 0));
        EXPECT_EQ(int16_t(d[i * 4 + 2] << 8 | d[i * 4 + 3]), m.expected_sample(7 + i, 1));
    }
    EXPECT_EQ(native32(block_of(p.desc, 36), 4), hx_fourcc("twos"));
}

TEST_F(movie, sound_chunks_end_at_the_last_sample)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::sound, 22040, 1000, &p), noErr);
    EXPECT_EQ(p.actualSampleCount, 10);
    EXPECT_EQ(p.dataSize, 40);
    EXPECT_EQ(data_of(p), m.expected_sound(22040, 10));
    EXPECT_EQ(ask(m, qt_track::sound, 22050, 1, &p), eofErr);
}

TEST_F(movie, the_sound_description_is_16_bit_stereo_at_the_rate)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::sound, 0, 1, &p), noErr);
    EXPECT_EQ(local_handles::size(p.desc), 36);
    const std::vector<uint8_t> desc = block_of(p.desc, 36);
    EXPECT_EQ(native32(desc, 0), 36u);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("sowt"));
    EXPECT_EQ(native16(desc, 24), 2);
    EXPECT_EQ(native16(desc, 26), 16);
    EXPECT_EQ(native32(desc, 32), 22050u << 16);
}

TEST_F(movie, the_maml_text_is_readable_and_longer_than_the_data_block)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::text, 0, 1, &p), noErr);
    EXPECT_EQ(p.descType, hx_fourcc("MAML"));
    EXPECT_EQ(p.actualTime, 0);
    EXPECT_EQ(p.actualSampleCount, 1);
    EXPECT_EQ(p.durationPerSample, 600);
    ASSERT_EQ(p.dataSize, 100000);
    const std::string text(p.dataPtr, p.dataPtr + p.dataSize);
    EXPECT_EQ(text, m.text());
    EXPECT_EQ(text.compare(0, 12, "Line 00001: "), 0);
    EXPECT_NE(text.find("\r\nLine 01000: "), std::string::npos);
    for (char c : text)
        ASSERT_TRUE((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n') << int(c);
    ASSERT_EQ(ask(m, qt_track::text, 599, 1, &p), noErr);
    EXPECT_EQ(p.actualTime, 0);

    ASSERT_NE(p.desc, nullptr);
    const std::vector<uint8_t> desc = block_of(p.desc, 60);
    EXPECT_EQ(local_handles::size(p.desc), 60);
    EXPECT_EQ(native32(desc, 0), 60u);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("MAML"));
    EXPECT_EQ(native32(desc, 24), 100000u);

    EXPECT_EQ(ask(m, qt_track::text, 600, 1, &p), eofErr);
}

TEST_F(movie, grol_frames_are_small_raw_images)
{
    qt_movie m(small_movie(), local_handles::allocator());
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::grol, 120, 1, &p), noErr);
    EXPECT_EQ(p.descType, hx_fourcc("GROL"));
    EXPECT_EQ(p.actualTime, 120);
    ASSERT_EQ(p.dataSize, 32 * 8 * 4);
    EXPECT_EQ(data_of(p), m.expected_grol_frame(2));
    const std::vector<uint8_t> desc = block_of(p.desc, 86);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("raw "));
    EXPECT_EQ(native16(desc, 32), 32);
    EXPECT_EQ(native16(desc, 34), 8);
    EXPECT_EQ(native32(desc, 44), 32u * 8 * 4);
}

TEST_F(movie, sources_come_in_media_order_with_their_time_scales)
{
    qt_movie_settings s = small_movie();
    std::vector<qt_data_source> all;
    {
        qt_movie m(s, local_handles::allocator());
        all = m.sources();
        ASSERT_EQ(all.size(), 4u);
        const OSType types[] = {hx_fourcc("vide"), hx_fourcc("soun"), hx_fourcc("MAML"), hx_fourcc("GROL")};
        const int32_t scales[] = {600, 22050, 600, 600};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(all[i].media_type, types[i]);
            EXPECT_EQ(all[i].time_scale, scales[i]);
            EXPECT_NE(all[i].ref_con, nullptr);
        }
        EXPECT_NE(all[0].ref_con, all[1].ref_con);
    }
    s.has_sound = false;
    qt_movie m(s, local_handles::allocator());
    const std::vector<qt_data_source> three = m.sources();
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[1].media_type, hx_fourcc("MAML"));
}

TEST_F(movie, dura_answers_each_tracks_duration_in_its_scale)
{
    qt_movie m(small_movie(), local_handles::allocator());
    const int32_t durations[] = {600, 22050, 600, 600};
    for (const qt_data_source& s : m.sources()) {
        TimeRecord record{};
        record.value_hi = 7;
        ASSERT_EQ(s.property_proc(s.ref_con, 0, hx_fourcc("dura"), &record), noErr);
        EXPECT_EQ(record.value_lo, uint32_t(durations[int(s.track)]));
        EXPECT_EQ(record.value_hi, 0);
        EXPECT_EQ(record.scale, s.time_scale);
        EXPECT_EQ(record.base, nullptr);
    }
    const qt_data_source video = source(m, qt_track::video);
    TimeRecord record{};
    EXPECT_EQ(video.property_proc(video.ref_con, 0, hx_fourcc("vfps"), &record), paramErr);
    EXPECT_EQ(video.property_proc(video.ref_con, 0, hx_fourcc("dura"), nullptr), paramErr);
    const std::vector<qt_property_request>& asked = m.journal().properties;
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked[4].property, hx_fourcc("vfps"));
    EXPECT_EQ(asked[4].result, paramErr);
    EXPECT_EQ(asked[1].track, qt_track::sound);
}

TEST_F(movie, a_failing_dura_leaves_the_end_to_the_probe_search)
{
    qt_movie_settings s = small_movie();
    s.seconds = 2;
    qt_movie m(s, local_handles::allocator());
    for (const qt_data_source& src : m.sources())
        EXPECT_EQ(probe_duration(src, 0), m.duration(src.track)) << qt_track_name(src.track);

    qt_track_faults& f = m.faults(qt_track::sound);
    f.duration_fails = true;
    f.duration_error = -2010;
    f.fail_from_time = 1000;
    const qt_data_source sound = source(m, qt_track::sound);
    TimeRecord record{};
    EXPECT_EQ(sound.property_proc(sound.ref_con, 0, hx_fourcc("dura"), &record), -2010);
    EXPECT_EQ(probe_duration(sound, 1), 1000);
}

TEST_F(movie, data_fails_from_a_chosen_time)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::video).fail_from_time = 120;
    m.faults(qt_track::video).fail_error = ioErr;
    MovieExportGetDataParams p;
    EXPECT_EQ(ask(m, qt_track::video, 119, 1, &p), noErr);
    EXPECT_EQ(ask(m, qt_track::video, 120, 1, &p), ioErr);
    EXPECT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
}

TEST_F(movie, null_data_and_null_desc_faults)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::video).null_data = true;
    m.faults(qt_track::sound).null_desc = true;
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
    EXPECT_EQ(p.dataPtr, nullptr);
    EXPECT_EQ(p.dataSize, 160 * 20 * 4);
    ASSERT_EQ(ask(m, qt_track::sound, 0, 10, &p), noErr);
    EXPECT_EQ(p.desc, nullptr);
    EXPECT_EQ(p.descType, hx_fourcc("soun"));
    EXPECT_EQ(p.dataSize, 40);
}

TEST_F(movie, a_short_description_handle_holds_only_size_and_type)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::video).short_desc = true;
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
    EXPECT_EQ(local_handles::size(p.desc), 8);
    const std::vector<uint8_t> desc = block_of(p.desc, 8);
    EXPECT_EQ(native32(desc, 0), 86u);
    EXPECT_EQ(native32(desc, 4), hx_fourcc("raw "));
}

TEST_F(movie, extra_data_grows_the_answer_beyond_the_request)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::sound).extra_data = 16;
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::sound, 0, 100, &p), noErr);
    EXPECT_EQ(p.actualSampleCount, 100);
    ASSERT_EQ(p.dataSize, 416);
    const std::vector<uint8_t> d = data_of(p);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 400), m.expected_sound(0, 100));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 400, d.end()), std::vector<uint8_t>(16, 0xEE));
}

TEST_F(movie, description_type_and_data_size_can_be_given)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::grol).desc_type = hx_fourcc("vide");
    m.faults(qt_track::video).image_data_size = 1000000;
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::grol, 0, 1, &p), noErr);
    EXPECT_EQ(p.descType, hx_fourcc("vide"));
    ASSERT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
    EXPECT_EQ(native32(block_of(p.desc, 86), 44), 1000000u);
    EXPECT_EQ(p.dataSize, 160 * 20 * 4);
}

TEST_F(movie, past_the_end_can_repeat_the_last_sample)
{
    qt_movie m(small_movie(), local_handles::allocator());
    m.faults(qt_track::video).past_end_repeats_last = true;
    m.faults(qt_track::sound).past_end_repeats_last = true;
    MovieExportGetDataParams p;
    ASSERT_EQ(ask(m, qt_track::video, 0x7FFFFFFF, 1, &p), noErr);
    EXPECT_EQ(p.actualTime, 540);
    EXPECT_EQ(data_of(p), m.expected_frame(9));
    ASSERT_EQ(ask(m, qt_track::sound, 30000, 5, &p), noErr);
    EXPECT_EQ(p.actualTime, 22049);
    EXPECT_EQ(p.actualSampleCount, 1);
}

TEST_F(movie, a_description_that_cannot_be_allocated_fails_the_request)
{
    qt_movie m(small_movie(), local_handles::allocator());
    local_handles::fail_next() = 1;
    MovieExportGetDataParams p;
    EXPECT_EQ(ask(m, qt_track::video, 0, 1, &p), memFullErr);
    EXPECT_EQ(ask(m, qt_track::video, 0, 1, &p), noErr);
    EXPECT_NE(p.desc, nullptr);
}

TEST_F(movie, procedures_refuse_a_null_reference)
{
    MovieExportGetDataParams p{};
    EXPECT_EQ(qt_movie::get_data(nullptr, &p), paramErr);
    TimeRecord record{};
    EXPECT_EQ(qt_movie::get_property(nullptr, 0, hx_fourcc("dura"), &record), paramErr);
}

TEST_F(movie, settings_must_make_a_movie)
{
    qt_movie_settings s = small_movie();
    EXPECT_TRUE(s.valid());
    s.video_time_scale = 601;
    EXPECT_FALSE(s.valid());
    s = small_movie();
    s.width = 0;
    EXPECT_FALSE(s.valid());
    s = small_movie();
    s.sound_rate = 70000;
    EXPECT_FALSE(s.valid());
}
