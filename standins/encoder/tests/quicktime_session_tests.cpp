// The stand-in encoder's QuickTime session against a fake component: the test starts
// encoder.exe with " qtexp  -noprocess " on the fake's channel, then reads the AVI and the text
// file the encoder wrote, and its log.
#include "quicktime_fake.h"

namespace {

TEST_F(QuickTimeSession, ArgbFramesBigEndianSoundLongTextAndGrol)
{
    plan p;
    p.text = make_text(70000);  // longer than the data block: two pieces
    fake_component fake(p);
    bool served = false;
    ASSERT_EQ(run(fake, "--audio-chunk 1500", &served), 0u) << log();
    EXPECT_TRUE(served);

    const avi_contents avi = read_avi(avi_path());
    ASSERT_TRUE(avi.riff);
    EXPECT_EQ(avi.width, p.width);
    EXPECT_EQ(avi.height, p.height);
    EXPECT_EQ(avi.bits, 32);
    EXPECT_EQ(avi.total_frames, 10u);
    expect_frames(avi, p, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    expect_audio(avi, p);
    EXPECT_GE(avi.audio_chunks, 10);  // interleaved with the frames
    EXPECT_EQ(read_file(text_path()), p.text);

    // The conversation: general info, the four tracks, the data, done last.
    ASSERT_GE(fake.requests.size(), 6u);
    EXPECT_EQ(fake.requests[0].code, qt_request_general_info);
    for (int32_t id = 0; id < 4; ++id) {
        EXPECT_EQ(fake.requests[1 + id].code, qt_request_track_info);
        EXPECT_EQ(fake.requests[1 + id].track_id, id);
    }
    EXPECT_EQ(fake.requests.back().code, qt_request_done);
    std::vector<int32_t> text_offsets, sound_counts;
    for (const qt_param_block& r : fake.requests) {
        if (r.code == qt_request_track_data && r.track_id == 2)
            text_offsets.push_back(r.time);
        if (r.code == qt_request_track_data && r.track_id == 1)
            sound_counts.push_back(r.count);
    }
    EXPECT_EQ(text_offsets, (std::vector<int32_t>{0, 65535}));
    EXPECT_EQ(sound_counts, (std::vector<int32_t>{1500, 1500, 1500, 1500, 1500, 500}));

    const std::string text = log();
    EXPECT_NE(text.find("general info -> status 0 tracks 4 settings 0x00010000 0x00000000 area 08090a0b"),
              std::string::npos);
    EXPECT_NE(text.find("track info 0 -> status 0 id 0 scale 600 duration 600 type 'vide'"),
              std::string::npos);
    EXPECT_NE(text.find("track info 1 -> status 0 id 1 scale 8000 duration 8000 type 'soun'"),
              std::string::npos);
    EXPECT_NE(
        text.find("frame track 0 time 540 -> status 0 time 540 count 1 duration 60 size 192 type 32 8x6"),
        std::string::npos);
    EXPECT_NE(
        text.find("sound track 1 time 1500 count 1500 -> status 0 time 1500 count 1500 duration 1 size 6000 "
                  "format 'twos' channels 2 bits 16 rate 8000.0000"),
        std::string::npos);
    EXPECT_NE(
        text.find("text track 2 offset 65535 -> status 0 offset 65535 length 4465 total 70000 zero byte yes"),
        std::string::npos);
    EXPECT_NE(
        text.find("grol track 3 -> status 0 time 0 count 1 duration 600 size 16 description size 86 type "
                  "'RGBA' 2x2 depth 32: image data"),
        std::string::npos);
    EXPECT_NE(
        text.find("summary quicktime 4 track(s), 10 frames 8x6, 8000 sample frames 8000 Hz 2 channel(s), "
                  "70000 text bytes"),
        std::string::npos);
    EXPECT_NE(text.find("done 3 -> code 3 status 0"), std::string::npos);
    EXPECT_NE(text.find("export end 0"), std::string::npos);
}

TEST_F(QuickTimeSession, RgbaFramesLittleEndianMonoShortTextRefusalAndEarlyEnd)
{
    plan p;
    p.pixels = rgba_pixels;
    p.width = 5;  // rows of 20 bytes
    p.height = 3;
    p.frames = 7;
    p.claimed_frames = 9;  // the data ends before the duration says
    p.refused_frame = 2;
    p.sound_format = sowt;
    p.channels = 1;
    p.rate = 11025;
    p.sample_frames = 7 * 1102 + 14;
    p.text = make_text(300);
    fake_component fake(p);
    ASSERT_EQ(run(fake, "--audio-chunk 1000"), 0u) << log();

    const avi_contents avi = read_avi(avi_path());
    ASSERT_TRUE(avi.riff);
    expect_frames(avi, p, {0, 1, 3, 4, 5, 6});
    expect_audio(avi, p);
    EXPECT_EQ(read_file(text_path()), p.text);

    const std::string text = log();
    EXPECT_NE(text.find("frame track 0 time 120 -> status 1"), std::string::npos);
    EXPECT_NE(text.find("frame track 0 time 420 -> status 2"), std::string::npos);
    EXPECT_NE(text.find("video track 0: end of data at 420"), std::string::npos);
    EXPECT_NE(text.find("text track 2 offset 0 -> status 0 offset 0 length 300 total 300 zero byte yes"),
              std::string::npos);
    EXPECT_NE(text.find("format 'sowt' channels 1 bits 16 rate 11025.0000"), std::string::npos);
    EXPECT_NE(text.find("6 frames 5x3, 7728 sample frames 11025 Hz 1 channel(s), 300 text bytes"),
              std::string::npos);
}

TEST_F(QuickTimeSession, DieAfterEndsTheProcessBeforeTheNextRequest)
{
    plan p;
    p.text = make_text(100);
    fake_component fake(p);
    bool served = true;
    EXPECT_EQ(run(fake, "--die-after 5", &served), 77u);
    EXPECT_FALSE(served);
    EXPECT_EQ(fake.requests.size(), 5u);
    EXPECT_NE(log().find("dying after 5 requests"), std::string::npos);
    EXPECT_EQ(GetFileAttributesA(avi_path().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(QuickTimeSession, HostileRequestsBeforeTheRealOnes)
{
    plan p;
    p.text = make_text(70000);
    fake_component fake(p);
    ASSERT_EQ(run(fake, "--hostile 400"), 0u) << log().substr(0, 3000);
    ASSERT_GT(fake.requests.size(), 400u);
    int codes[3] = {}, outside = 0, huge_counts = 0, far_offsets = 0;
    for (size_t i = 0; i < 400; ++i) {
        const qt_param_block& r = fake.requests[i];
        ASSERT_GE(r.code, 0);
        ASSERT_LE(r.code, 2);
        ++codes[r.code];
        outside += r.track_id < 0 || r.track_id > 3;
        huge_counts += r.code == qt_request_track_data && r.count >= 0x01000000;
        far_offsets += r.code == qt_request_track_data && r.track_id == 2 && r.time >= 0x40000000;
    }
    EXPECT_GT(codes[0], 0);
    EXPECT_GT(codes[1], 0);
    EXPECT_GT(codes[2], 0);
    EXPECT_GT(outside, 0);
    EXPECT_GT(huge_counts, 0);
    EXPECT_GT(far_offsets, 0);
    EXPECT_EQ(fake.requests[400].code, qt_request_general_info);
    EXPECT_NE(log().find("hostile 400 requests answered"), std::string::npos);

    // The real export still comes through whole.
    const avi_contents avi = read_avi(avi_path());
    expect_frames(avi, p, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    expect_audio(avi, p);
    EXPECT_EQ(read_file(text_path()), p.text);
}

TEST_F(QuickTimeSession, FillPatternCoversEveryByteARequestDoesNotUse)
{
    plan p;
    p.text = make_text(70000);
    p.check_pattern = true;
    fake_component fake(p);
    ASSERT_EQ(run(fake, "--fill-pattern"), 0u) << log();
    EXPECT_GT(fake.requests.size(), 20u);
    EXPECT_EQ(fake.pattern_faults, 0) << fake.pattern_fault;
    // The pattern does not leak into what was received.
    expect_frames(read_avi(avi_path()), p, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(read_file(text_path()), p.text);
}

TEST_F(QuickTimeSession, WithoutFillPatternTheFakeSeesOldBytes)
{
    // The fake's check can fail: without the option the blocks keep earlier answers.
    plan p;
    p.text = make_text(100);
    p.check_pattern = true;
    fake_component fake(p);
    ASSERT_EQ(run(fake), 0u) << log();
    EXPECT_GT(fake.pattern_faults, 0);
}

TEST_F(QuickTimeSession, BenchReadsEachAnswerOnceAndWritesNothing)
{
    plan p;
    p.text = make_text(70000);
    fake_component fake(p);
    ASSERT_EQ(run(fake, "--bench"), 0u) << log();
    EXPECT_EQ(GetFileAttributesA(avi_path().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(text_path().c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string text = log();
    EXPECT_EQ(text.find("frame track"), std::string::npos);
    EXPECT_EQ(text.find("sound track 1 time"), std::string::npos);
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "0x%08x", fake.checksum);
    EXPECT_NE(
        text.find("10 frames 8x6, 8000 sample frames 8000 Hz 2 channel(s), 70000 text bytes, checksum " +
                  std::string(checksum)),
        std::string::npos)
        << text;
}

TEST_F(QuickTimeSession, AnUnservedEndCodeIsAnsweredAsDone)
{
    plan p;
    p.text = make_text(10);
    fake_component fake(p);
    ASSERT_EQ(run(fake, "--end-code 7"), 0u) << log();
    EXPECT_EQ(fake.requests.back().code, 7);
    EXPECT_NE(log().find("done 7 -> code 3 status 0"), std::string::npos);
}

// Requests of the plan below: general info 0, track infos 1 to 4, sound 5 and 6, frames 7 to 16,
// the text 17, 'GROL' 18, done 19.
TEST_F(QuickTimeSession, StoppedByTheUserMidFramesEndsAtOnceAndLeavesNoOutput)
{
    plan p;
    p.text = make_text(100);
    p.stop_at = 10;
    // An older export's file: an export that does not finish must not leave it standing either.
    const HANDLE old = CreateFileA(avi_path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    CloseHandle(old);
    fake_component fake(p);
    bool served = false;
    EXPECT_EQ(run(fake, "", &served), 7u) << log();
    ASSERT_TRUE(served);
    EXPECT_EQ(fake.requests.size(), 11u);
    // At once: the encoder does not wait for its reply time-out (15 s) or ask anything more.
    const DWORD took = exit_tick_ - fake.stopped_tick;
    std::printf("encoder ended %lu ms after the stopped answer\n", static_cast<unsigned long>(took));
    EXPECT_LT(took, 5000u);
    const std::string text = log();
    EXPECT_NE(text.find("stopped by the user after 11 requests"), std::string::npos) << text;
    EXPECT_NE(text.find("removed " + avi_path() + ".partial"), std::string::npos) << text;
    EXPECT_NE(text.find("export end 7"), std::string::npos) << text;
    EXPECT_FALSE(file_exists(avi_path()));
    EXPECT_FALSE(file_exists(avi_path() + ".partial"));
}

TEST_F(QuickTimeSession, StoppedAtTheDoneRequestRemovesTheFinishedFiles)
{
    plan p;
    p.text = make_text(100);
    p.stop_at_done = true;
    fake_component fake(p);
    EXPECT_EQ(run(fake), 7u) << log();
    EXPECT_EQ(fake.requests.back().code, qt_request_done);
    // Both files were written whole, then taken back.
    const std::string text = log();
    EXPECT_NE(text.find("removed " + avi_path() + ".partial"), std::string::npos) << text;
    EXPECT_NE(text.find("removed " + text_path() + ".partial"), std::string::npos) << text;
    EXPECT_EQ(text.find("wrote "), std::string::npos) << text;
    EXPECT_FALSE(file_exists(avi_path()));
    EXPECT_FALSE(file_exists(text_path()));
    EXPECT_FALSE(file_exists(avi_path() + ".partial"));
    EXPECT_FALSE(file_exists(text_path() + ".partial"));
}

TEST_F(QuickTimeSession, AComponentThatFallsSilentLeavesNoOutput)
{
    plan p;
    p.text = make_text(100);
    p.silent_at = 10;
    fake_component fake(p);
    bool served = true;
    EXPECT_EQ(run(fake, "--reply-timeout 1500", &served), 4u) << log();
    EXPECT_FALSE(served);
    const std::string text = log();
    EXPECT_NE(text.find("request 2: no answer"), std::string::npos) << text;
    EXPECT_NE(text.find("removed " + avi_path() + ".partial"), std::string::npos) << text;
    EXPECT_FALSE(file_exists(avi_path()));
    EXPECT_FALSE(file_exists(avi_path() + ".partial"));
}

TEST_F(QuickTimeSession, AFinishedExportLeavesItsFilesUnderTheirNamesOnly)
{
    plan p;
    p.text = make_text(100);
    fake_component fake(p);
    ASSERT_EQ(run(fake), 0u) << log();
    EXPECT_TRUE(read_avi(avi_path()).riff);
    EXPECT_EQ(read_file(text_path()), p.text);
    EXPECT_FALSE(file_exists(avi_path() + ".partial"));
    EXPECT_FALSE(file_exists(text_path() + ".partial"));
    const std::string text = log();
    EXPECT_NE(text.find("wrote " + avi_path() + " frames 10"), std::string::npos) << text;
    EXPECT_EQ(text.find("stopped by the user"), std::string::npos) << text;
}

}  // namespace
