// The stand-in encoder's Premiere session against a small fake module under a prefix of its
// own: a clip of ten 8 x 6 frames at 30 a second, mono sound at 8000 Hz, no markers. The
// fake can answer one request as stopped by the user, as the module does when the user stops
// the export.
#include "quicktime_fake.h"

#include "hx_handshake.h"
#include "prm_protocol.h"

#include <cstdio>

namespace {

constexpr uint32_t prm_param_size = 1048;
constexpr int32_t clip_width = 8, clip_height = 6, clip_frames = 10;

class fake_module {
public:
    explicit fake_module(int32_t stop_at) : stop_at_(stop_at), prefix_(unique_name("prm_")) {}

    bool create()
    {
        return channel_.open_or_create(hx_mode_create, prm_param_size, 0x10000, prefix_.c_str()) ==
               hx_channel_created;
    }
    const std::string& prefix() const { return prefix_; }

    // Serves until the end request or the stop; false if the encoder went away or fell silent.
    bool serve(HANDLE encoder)
    {
        for (;;) {
            if (!await_request(channel_, encoder))
                return false;
            const int32_t code = word(prm_at_code);
            codes.push_back(code);
            if (static_cast<int32_t>(codes.size()) - 1 == stop_at_) {
                // The module's stopped answer: the mark, length 0, status 3; nothing else.
                set(prm_at_code, hx_prm_stopped_mark);
                set(prm_at_length, 0);
                set(prm_at_status, hx_status_stopped);
                channel_.semaphore_b().release();
                stopped_tick = GetTickCount();
                return true;
            }
            if (code == prm_request_end)
                return true;  // not answered
            answer(code);
            channel_.semaphore_b().release();
        }
    }

    std::vector<int32_t> codes;
    DWORD stopped_tick = 0;

private:
    int32_t word(uint32_t offset)
    {
        int32_t v;
        std::memcpy(&v, channel_.param_memory().data() + offset, 4);
        return v;
    }
    void set(uint32_t offset, int32_t v) { std::memcpy(channel_.param_memory().data() + offset, &v, 4); }

    void answer(int32_t code)
    {
        switch (code) {
        case prm_request_audio_format:
            set(0x00, 1);     // present
            set(0x04, 8000);  // rate
            set(0x08, 16);    // bits
            set(0x14, 0);     // mono
            break;
        case prm_request_video_format:
            set(0x00, 1);
            set(0x08, clip_width);
            set(0x0C, clip_height);
            break;
        case prm_request_timing:
            set(0x00, 30);
            set(0x04, 1);
            set(0x0C, 0);
            set(0x10, clip_frames);
            break;
        case prm_request_setting:
            set(0x00, 0);
            set(0x04, 0);
            break;
        case prm_request_marker_count:
            set(0x00, 0);
            break;
        case prm_request_next_marker:
            set(prm_at_marker_cursor, -1);
            set(prm_at_status, prm_status_served);
            break;
        case prm_request_audio:
            std::memset(channel_.data_memory().data(), 0, static_cast<size_t>(word(prm_at_audio_count)) * 2);
            set(prm_at_length, word(prm_at_audio_count) * 2);
            set(prm_at_status, prm_status_served);
            break;
        case prm_request_frame:
            std::memset(channel_.data_memory().data(), 0x40 + word(prm_at_frame),
                        clip_width * clip_height * 4);
            set(prm_at_length, clip_width * clip_height * 4);
            set(prm_at_row_bytes, clip_width * 4);
            set(prm_at_status, prm_status_served);
            break;
        case prm_request_walk_back:
            set(prm_at_walk_found, 0);
            set(prm_at_status, prm_status_served);
            break;
        default:
            set(prm_at_status, prm_status_failed);
            break;
        }
    }

    int32_t stop_at_;
    std::string prefix_;
    hx_encoder_channel channel_;
};

class PremiereSession : public QuickTimeSession {
protected:
    // Starts the encoder as the module does, on `fake`'s channel, and serves it.
    DWORD run_premiere(fake_module& fake, bool& served)
    {
        EXPECT_TRUE(fake.create());
        test_process encoder;
        const std::string args = " nle  -noprocess  --prefix " + fake.prefix() + " --out " + out_ +
                                 " --log " + log_path() + " --open-timeout 15000 --reply-timeout 15000";
        EXPECT_TRUE(encoder.start(bin_dir() + "encoder.exe", args));
        served = fake.serve(encoder.handle());
        const DWORD status = encoder.wait_exit(20000);
        exit_tick_ = GetTickCount();
        return status;
    }
    std::string prm_avi() const { return out_ + "\\premiere_export.avi"; }
    std::string prm_markers() const { return out_ + "\\premiere_export.markers.txt"; }
};

// Requests: the four formats 0 to 3, marker count 4, next marker 5, sound 6, frames 7 to 16,
// the backward walk 17, the end 18.
TEST_F(PremiereSession, AFinishedExportLeavesItsFilesUnderTheirNames)
{
    fake_module fake(-1);
    bool served = false;
    ASSERT_EQ(run_premiere(fake, served), 0u) << log();
    EXPECT_TRUE(served);
    EXPECT_EQ(fake.codes.size(), 19u);
    const avi_contents avi = read_avi(prm_avi());
    EXPECT_TRUE(avi.riff);
    EXPECT_EQ(avi.total_frames, static_cast<uint32_t>(clip_frames));
    EXPECT_TRUE(file_exists(prm_markers()));
    EXPECT_FALSE(file_exists(prm_avi() + ".partial"));
    EXPECT_FALSE(file_exists(prm_markers() + ".partial"));
}

TEST_F(PremiereSession, StoppedByTheUserMidFramesEndsAtOnceAndLeavesNoOutput)
{
    fake_module fake(10);
    bool served = false;
    EXPECT_EQ(run_premiere(fake, served), 7u) << log();
    ASSERT_TRUE(served);
    EXPECT_EQ(fake.codes.size(), 11u);
    const DWORD took = exit_tick_ - fake.stopped_tick;
    std::printf("encoder ended %lu ms after the stopped answer\n", static_cast<unsigned long>(took));
    EXPECT_LT(took, 5000u);  // its reply time-out is 15 s
    const std::string text = log();
    EXPECT_NE(text.find("stopped by the user after 11 requests"), std::string::npos) << text;
    EXPECT_NE(text.find("removed " + prm_avi() + ".partial"), std::string::npos) << text;
    EXPECT_FALSE(file_exists(prm_avi()));
    EXPECT_FALSE(file_exists(prm_avi() + ".partial"));
}

TEST_F(PremiereSession, StoppedAtTheBackwardWalkRemovesTheFinishedAvi)
{
    fake_module fake(17);
    bool served = false;
    EXPECT_EQ(run_premiere(fake, served), 7u) << log();
    EXPECT_EQ(fake.codes.back(), prm_request_walk_back);
    const std::string text = log();
    EXPECT_NE(text.find("stopped by the user after 18 requests"), std::string::npos) << text;
    EXPECT_NE(text.find("removed " + prm_avi() + ".partial"), std::string::npos) << text;
    EXPECT_EQ(text.find("wrote "), std::string::npos) << text;
    EXPECT_FALSE(file_exists(prm_avi()));
    EXPECT_FALSE(file_exists(prm_markers()));
    EXPECT_FALSE(file_exists(prm_avi() + ".partial"));
}

}  // namespace
