// Whole exports through tsp_prm_nle.prm: the host stand-in in this process, the dialog answered
// from another thread, and the encoder either the stand-in program (started by the module
// through the registry) or this test itself opening the channel by name and asking exactly
// what it wants to check.
#include "avi_reader.h"
#include "encoder_channel.h"
#include "encoder_window.h"
#include "export_dialog.h"
#include "hx_premiere_export.h"
#include "premiere_host.h"
#include "prm_export.h"
#include "prm_protocol.h"
#include "progress_watch.h"
#include "registry_value.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

std::string module_path()
{
    return bin_dir() + "tsp_prm_nle.prm";
}

bool channel_exists()
{
    const HANDLE a = OpenSemaphoreA(SYNCHRONIZE, FALSE, "TSP_PRM_NLE_SEM_A");
    const HANDLE data = OpenFileMappingA(FILE_MAP_READ, FALSE, "TSP_PRM_NLE_DATA_MEM");
    const bool any = a != nullptr || data != nullptr;
    if (a != nullptr)
        CloseHandle(a);
    if (data != nullptr)
        CloseHandle(data);
    return any;
}

// ---- Exports with the stand-in encoder ------------------------------------------------------

class StandInExport : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(channel_exists());
        out_ = temp_file("export");
        CreateDirectoryA(out_.c_str(), nullptr);
        log_ = out_ + "\\encoder.log";
        SetEnvironmentVariableA("HX_ENCODER_OUT", out_.c_str());
        SetEnvironmentVariableA("HX_ENCODER_LOG", log_.c_str());
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--audio-chunk 1000");
        ASSERT_TRUE(module_.load(module_path()));
    }
    void TearDown() override { EXPECT_FALSE(channel_exists()) << "the export left its channel open"; }

    int32_t run(premiere_host& host, int32_t selector, const dialog_answerer::plan& plan = {})
    {
        dialog_answerer answerer(plan);
        const int32_t result = module_.call(selector, host.standard(), host.export_record(),
                                            selector == prm_export_work_area ? host.work_area() : nullptr);
        answered_ = answerer.answered();
        // The stand-in has written everything before it sent the end request; wait for it to go.
        if (!log().empty())
            wait_until([&] { return log().find("exit ") != std::string::npos; }, 10000);
        return result;
    }

    std::string log() { return read_file(log_); }

    premiere_module module_;
    std::string out_, log_;
    bool answered_ = false;
};

clip_settings small_clip()
{
    clip_settings clip;
    clip.width = 48;
    clip.height = 36;
    clip.frames = 20;
    clip.markers = {{45, 60, {"First", nullptr, "note", nullptr}},
                    {1, 29, {nullptr, "Second", nullptr, "x"}}};
    return clip;
}

TEST_F(StandInExport, EveryFrameAndSampleArrivesAsTheHostServedIt)
{
    premiere_host host(small_clip());
    ASSERT_EQ(run(host, prm_export_work_area), prm_export_done) << log();
    EXPECT_TRUE(answered_);

    const avi_contents avi = read_avi(out_ + "\\premiere_export.avi");
    EXPECT_TRUE(avi.has_index);
    EXPECT_EQ(avi.width, 48);
    EXPECT_EQ(avi.height, 36);
    EXPECT_EQ(avi.bits, 32);
    EXPECT_EQ(avi.rate, 30u);
    EXPECT_EQ(avi.scale, 1u);
    ASSERT_EQ(avi.frames.size(), 20u);
    for (int32_t f = 0; f < 20; ++f) {
        const bytes& frame = avi.frames[f];
        ASSERT_EQ(frame.size(), 48u * 36u * 4u);
        int wrong = 0;
        for (int32_t y = 0; y < 36; ++y)
            for (int32_t x = 0; x < 48; ++x) {
                uint32_t p;
                std::memcpy(&p, &frame[((35 - y) * 48 + x) * 4], 4);  // bottom-up rows
                wrong += p != premiere_host::pixel(f, x, y);
            }
        EXPECT_EQ(wrong, 0) << "frame " << f;
    }

    EXPECT_EQ(avi.audio_channels, 2);
    EXPECT_EQ(avi.audio_rate, 48000);
    EXPECT_EQ(avi.audio_bits, 16);
    ASSERT_EQ(avi.samples.size(), 2u * 32000u);  // 20 frames of 1600 sample frames
    int wrong = 0;
    for (int64_t s = 0; s < 32000; ++s)
        for (int c = 0; c < 2; ++c)
            wrong += avi.samples[s * 2 + c] != host.sample(s, c);
    EXPECT_EQ(wrong, 0);

    // Markers in 1/600 second, texts 3 to 6 as present.
    const std::string markers = read_file(out_ + "\\premiere_export.markers.txt");
    EXPECT_NE(markers.find(
                  "marker 0 time 1.500 s (900/600) time2 2.000 s (1200/600) text3 \"First\" text5 \"note\""),
              std::string::npos)
        << markers;
    EXPECT_NE(
        markers.find("marker 1 time 0.033 s (20/600) time2 0.967 s (580/600) text4 \"Second\" text6 \"x\""),
        std::string::npos)
        << markers;

    // The host's side: output settings handed over, setting block given back, idle called (while
    // the module waits, and once at the end).
    const host_journal& j = host.journal();
    EXPECT_EQ(j.setup_output_calls, 1);
    EXPECT_GE(j.idle_calls, 1);
    EXPECT_TRUE(j.allocated.empty());
    EXPECT_EQ(host.export_record()->setting_choice, nullptr);
    EXPECT_STREQ(host.export_record()->output_name, "temp");
    EXPECT_EQ(host.export_record()->output_field16, 0);
    EXPECT_EQ(host.export_record()->output_field32, 0);
    EXPECT_EQ(host.work_area()->flag, 0);
    EXPECT_NE(log().find("setting category 3 preset 2"), std::string::npos);
    EXPECT_NE(log().find("walk back names frame 19 (data 19)"), std::string::npos);
    EXPECT_NE(log().find("walk back names frame 0 (data 0)"), std::string::npos);
}

TEST_F(StandInExport, OutputSettingsReachTheHostWithSixteenBitAudio)
{
    clip_settings clip = small_clip();
    clip.audio_bits = 8;
    clip.first_frame = 3;
    clip.frames = 9;
    premiere_host host(clip);
    bytes expected(reinterpret_cast<uint8_t*>(host.export_record()) + 8,
                   reinterpret_cast<uint8_t*>(host.export_record()) + 8 + 609);
    ASSERT_EQ(run(host, prm_export_all), prm_export_done) << log();
    const int32_t sixteen = 16;
    std::memcpy(&expected[0x259 - 8], &sixteen, 4);
    const host_journal& j = host.journal();
    EXPECT_EQ(j.settings609, expected);
    EXPECT_EQ(j.block21, bytes(host.export_record()->setup_block, host.export_record()->setup_block + 21));
    EXPECT_EQ(j.setup_first, 3);
    EXPECT_EQ(j.setup_end, 9);
    EXPECT_EQ(j.setup_context, host.export_record()->render_context);
    EXPECT_EQ(host.export_record()->audio_bits, 8);  // the record itself keeps its value
}

TEST_F(StandInExport, EightBitMonoAudioArrivesWidened)
{
    clip_settings clip = small_clip();
    clip.audio_bits = 8;
    clip.stereo = false;
    clip.frames = 4;
    premiere_host host(clip);
    ASSERT_EQ(run(host, prm_export_all), prm_export_done) << log();
    const avi_contents avi = read_avi(out_ + "\\premiere_export.avi");
    EXPECT_EQ(avi.audio_channels, 1);
    ASSERT_EQ(avi.samples.size(), 6400u);
    int wrong = 0;
    for (int64_t s = 0; s < 6400; ++s)
        wrong += avi.samples[s] != static_cast<int16_t>((host.sample(s, 0) >> 8) * 256);
    EXPECT_EQ(wrong, 0);
}

TEST_F(StandInExport, WorkAreaRangeInHostTimeUnits)
{
    clip_settings clip = small_clip();
    clip.frames = 200;
    clip.work_area_start = 90;  // at T 30 and 30 frames a second: frame 90
    clip.work_area_end = 96;
    premiere_host host(clip);
    dialog_answerer::plan plan;
    plan.range = 1;
    ASSERT_EQ(run(host, prm_export_work_area, plan), prm_export_done) << log();
    EXPECT_NE(log().find("range 90..96"), std::string::npos) << log();
    EXPECT_EQ(read_avi(out_ + "\\premiere_export.avi").frames.size(), 6u);
}

TEST_F(StandInExport, SelectorEightHasNoWorkArea)
{
    clip_settings clip = small_clip();
    clip.frames = 5;
    clip.work_area_start = 90;
    premiere_host host(clip);
    dialog_answerer::plan plan;
    plan.range = 1;
    ASSERT_EQ(run(host, prm_export_all, plan), prm_export_done) << log();
    EXPECT_NE(log().find("range 0..5"), std::string::npos) << log();
    EXPECT_EQ(host.work_area()->flag, 0x77);  // never touched
}

TEST_F(StandInExport, SourceFlagTakesTheOtherTimeBase)
{
    clip_settings clip = small_clip();
    clip.frames = 3;
    clip.source_flag = 1;
    clip.units_25 = 30;
    clip.units_12 = 1;
    premiere_host host(clip);
    ASSERT_EQ(run(host, prm_export_work_area), prm_export_done) << log();
    const std::vector<int32_t>& asked = host.journal().settings_asked;
    EXPECT_FALSE(asked.empty());
    for (int32_t which : asked)
        EXPECT_EQ(which, 25);
    const std::string markers = read_file(out_ + "\\premiere_export.markers.txt");
    EXPECT_NE(markers.find("(900/600)"), std::string::npos) << markers;
}

TEST_F(StandInExport, EncoderKilledMidExportAbandonsIt)
{
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--die-after 12");
    premiere_host host(small_clip());
    EXPECT_EQ(run(host, prm_export_work_area), prm_export_abandoned);
    EXPECT_NE(log().find("dying after 12 requests"), std::string::npos) << log();
    EXPECT_TRUE(host.journal().allocated.empty());
    EXPECT_EQ(host.export_record()->setting_choice, nullptr);
}

TEST_F(StandInExport, HostileEncoderCannotHurtTheHost)
{
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--hostile 4000");
    clip_settings clip = small_clip();
    clip.frames = 3;
    premiere_host host(clip);
    EXPECT_EQ(run(host, prm_export_work_area), prm_export_done) << log().substr(0, 2000);
    EXPECT_NE(log().find("hostile 4000 requests answered"), std::string::npos);
    EXPECT_NE(log().find("export end 0"), std::string::npos);
    EXPECT_TRUE(host.journal().allocated.empty());
}

TEST_F(StandInExport, CancelledDialogAbandonsAndClosesEverything)
{
    premiere_host host(small_clip());
    int32_t* block = static_cast<int32_t*>(host.standard()->callbacks->memory->allocate(8));
    host.export_record()->setting_choice = block;
    dialog_answerer::plan plan;
    plan.start = false;
    EXPECT_EQ(run(host, prm_export_work_area, plan), prm_export_abandoned);
    EXPECT_TRUE(answered_);
    EXPECT_EQ(host.export_record()->setting_choice, nullptr);  // the host's own block, freed
    EXPECT_EQ(host.journal().frees, 1);
    EXPECT_EQ(host.journal().idle_calls, 0);
    EXPECT_EQ(read_file(log_), "");  // no encoder was started
}

TEST_F(StandInExport, ObjectsAlreadyPresentAbandonBeforeTheDialog)
{
    const HANDLE squatter = CreateSemaphoreA(nullptr, 0, 1, "TSP_PRM_NLE_SEM_B");
    ASSERT_NE(squatter, nullptr);
    premiere_host host(small_clip());
    dialog_answerer::plan plan;
    plan.timeout_ms = 1500;
    EXPECT_EQ(run(host, prm_export_work_area, plan), prm_export_abandoned);
    EXPECT_FALSE(answered_);  // no dialog was shown
    EXPECT_TRUE(host.journal().allocated.empty());
    CloseHandle(squatter);
}

TEST_F(StandInExport, EncoderNotFoundAbandonsAfterItsMessage)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvex");
    premiere_host host(small_clip());
    // The box shares its caption with the export dialog, whose first button says "&Start".
    message_box_watch box("Save for Web", 15000, [](HWND w) {
        char text[16] = "";
        GetDlgItemTextA(w, IDOK, text, sizeof text);
        return std::strcmp(text, "OK") == 0;
    });
    EXPECT_EQ(run(host, prm_export_work_area), prm_export_abandoned);
    EXPECT_EQ(box.result().text, "Cannot find Tessora EZ on your system in this folder : ");
    EXPECT_TRUE(host.journal().allocated.empty());
    test_process registrar;
    ASSERT_TRUE(registrar.start(bin_dir() + "encoder.exe", "--register"));
    EXPECT_EQ(registrar.wait_exit(20000), 0u);
}

// ---- Exports where this test is the encoder -------------------------------------------------

class ScriptedExport : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(channel_exists());
        // The module finds this window and posts to it; the test then opens the channel.
        ASSERT_NE(window_.handle(), nullptr);
        ASSERT_TRUE(module_.load(module_path()));
    }

    void TearDown() override
    {
        if (thread_ != nullptr) {
            if (!wait_pumping(thread_, 0)) {
                set(prm_at_code, prm_request_end);
                channel_.post();
            }
            EXPECT_TRUE(wait_pumping(thread_, 10000));
            CloseHandle(thread_);
        }
        channel_.close();
        EXPECT_FALSE(channel_exists()) << "the export left its channel open";
    }

    // Starts the export on a thread of its own and opens its channel.
    void start(const clip_settings& clip, int32_t selector = prm_export_work_area)
    {
        host_ = std::make_unique<premiere_host>(clip);
        selector_ = selector;
        answerer_ = std::make_unique<dialog_answerer>(dialog_answerer::plan{});
        thread_ = CreateThread(nullptr, 0, run_export, this, 0, &thread_id_);
        ASSERT_TRUE(wait_until([&] { return channel_.open(channel_names::premiere(), 0); }, 15000));
    }

    // Sends one request and waits for its answer.
    void ask(int32_t code, bool let_go_of_data = true)
    {
        set(prm_at_code, code);
        ASSERT_TRUE(channel_.turn(10000, let_go_of_data)) << "request " << code;
    }

    int32_t end_export()
    {
        set(prm_at_code, prm_request_end);
        channel_.post();
        EXPECT_TRUE(wait_pumping(thread_, 10000));
        return result_;
    }

    int32_t word(uint32_t offset) { return static_cast<int32_t>(channel_.param().word(offset / 4)); }
    void set(uint32_t offset, int32_t v) { channel_.param().set_word(offset / 4, static_cast<uint32_t>(v)); }
    int16_t sample_at(size_t index)
    {
        int16_t v;
        std::memcpy(&v, channel_.data().payload() + index * 2, 2);
        return v;
    }
    bool data_zero_from(size_t from)
    {
        const uint8_t* d = channel_.data().payload();
        for (size_t i = from; i < channel_.data().size(); ++i)
            if (d[i] != 0)
                return false;
        return true;
    }
    // What an encoder may do between answers: write over the whole data block. No byte of the
    // pattern is zero, so any byte an answer leaves alone shows.
    void scribble() { scribble_bytes(channel_.data().size()); }
    void scribble_bytes(size_t n)
    {
        uint8_t* d = channel_.data().payload();
        for (size_t i = 0; i < n; ++i)
            d[i] = static_cast<uint8_t>(0x80 | (i * 37));
    }
    void audio(int32_t start, int32_t count, int32_t channel)
    {
        set(prm_at_audio_start, start);
        set(prm_at_audio_count, count);
        set(prm_at_audio_channel, channel);
        ask(prm_request_audio);
    }

    static DWORD WINAPI run_export(void* self)
    {
        auto* me = static_cast<ScriptedExport*>(self);
        prm_work_area* const work_area =
            me->selector_ == prm_export_work_area ? me->host_->work_area() : nullptr;
        if (me->in_process_) {
            // The module's code linked into this test, as the entry runs it; the module file
            // lends it its resources.
            hx_module.standard = me->host_->standard();
            hx_module_instance = me->module_.handle();
            me->result_ = do_export(me->host_->export_record(), work_area);
        } else {
            me->result_ =
                me->module_.call(me->selector_, me->host_->standard(), me->host_->export_record(), work_area);
        }
        MSG quit;
        if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            me->quit_left_ = static_cast<int>(quit.wParam);
        return 0;
    }

    // Setting requests, each over a pattern, until one comes back stopped (true) or the export
    // stops answering. Every answer before it must be the setting's.
    bool ask_until_stopped()
    {
        for (int turns = 0; turns < 100000; ++turns) {
            for (uint32_t w = 0; w < 16; ++w)
                set(w * 4, 0x5A5A5A00 + static_cast<int32_t>(w));
            set(prm_at_code, prm_request_setting);
            if (!channel_.turn(10000))
                return false;
            if (word(prm_at_code) != 3)
                return true;
            EXPECT_EQ(word(0x04), 2);
        }
        return false;
    }

    encoder_window window_;
    premiere_module module_;
    std::unique_ptr<premiere_host> host_;
    std::unique_ptr<dialog_answerer> answerer_;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
    int quit_left_ = -1;  // the quit message the export left in its thread's queue
    int32_t selector_ = prm_export_work_area;
    int32_t result_ = -1;
    encoder_channel channel_;
    // Runs the export in this process instead of through the module file, so that a test can
    // reach the module's state (hx_module).
    bool in_process_ = false;
};

TEST_F(ScriptedExport, FormatTimingSettingAndMarkerCount)
{
    clip_settings clip;
    clip.width = 1024;
    clip.height = 768;
    clip.markers.resize(3);
    start(clip);
    EXPECT_EQ(channel_.param().size(), 1048u);
    EXPECT_EQ(channel_.data().size(), 1025u * 768u * 4u);  // one frame with a spare column

    for (uint32_t w = 0; w < 16; ++w)
        set(w * 4, 0x5A5A5A5A);
    ask(prm_request_audio_format);
    EXPECT_EQ(word(0x00), 1);
    EXPECT_EQ(word(0x04), 48000);
    EXPECT_EQ(word(0x08), 16);
    EXPECT_EQ(word(0x0C), 0x2610);
    EXPECT_EQ(word(0x10), 0);
    EXPECT_EQ(word(0x14), 1);
    EXPECT_EQ(word(0x18), 1);
    EXPECT_EQ(word(0x1C), 0x5A5A5A5A);  // beyond the cleared range

    ask(prm_request_video_format);
    EXPECT_EQ(word(0x00), 1);
    EXPECT_EQ(word(0x04), 0x1234);
    EXPECT_EQ(word(0x08), 1024);
    EXPECT_EQ(word(0x0C), 768);
    EXPECT_EQ(word(0x10), 2);
    EXPECT_EQ(word(0x14), 1);  // left from the audio answer
    EXPECT_EQ(host_->journal().frame_info_asked, std::vector<int32_t>{0});

    ask(prm_request_timing);
    EXPECT_EQ(word(0x00), 30);
    EXPECT_EQ(word(0x04), 1);
    EXPECT_EQ(word(0x08), 0x24D0);
    EXPECT_EQ(word(0x0C), 0);
    EXPECT_EQ(word(0x10), 90);
    EXPECT_EQ(word(0x14), 3);  // the answerer chose 20002
    EXPECT_EQ(word(0x18), 2);

    ask(prm_request_setting);
    EXPECT_EQ(word(0x00), 3);
    EXPECT_EQ(word(0x04), 2);

    ask(prm_request_marker_count);
    EXPECT_EQ(word(0x00), 3);
    EXPECT_EQ(word(0x04), 0x2828);

    // Unknown codes are answered and change nothing.
    for (int32_t code : {12, -3, 10}) {
        for (uint32_t w = 1; w < 16; ++w)
            set(w * 4, 0x11111111 * static_cast<int32_t>(w % 8));
        ask(code);
        for (uint32_t w = 1; w < 16; ++w)
            EXPECT_EQ(word(w * 4), 0x11111111 * static_cast<int32_t>(w % 8)) << code;
    }
    EXPECT_EQ(end_export(), prm_export_done);
    EXPECT_GE(host_->journal().idle_calls, 1);
}

TEST_F(ScriptedExport, AudioStartsInTheFrameThatHoldsIt)
{
    start(clip_settings{});
    // 48 kHz at 30 frames a second: 1600 sample frames a frame.
    audio(1599, 1, 0);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), 2);
    EXPECT_EQ(sample_at(0), host_->sample(1599, 0));
    EXPECT_EQ(host_->journal().audio_frames_served, std::vector<int32_t>{0});

    audio(1600, 1, 0);
    EXPECT_EQ(sample_at(0), host_->sample(1600, 0));
    EXPECT_EQ(host_->journal().audio_frames_served, (std::vector<int32_t>{0, 1}));

    // The second channel of stereo: every other sample, from the second on.
    audio(100, 50, 1);
    for (size_t k = 0; k < 50; ++k)
        EXPECT_EQ(sample_at(k), host_->sample(100 + k, 1)) << k;
    EXPECT_TRUE(data_zero_from(100));
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, AudioOverThreeFrames)
{
    start(clip_settings{});
    host_->journal().audio_frames_served.clear();
    audio(0, 4000, 0);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), 9600);  // 4800 sample frames obtained, 2 bytes each
    EXPECT_EQ(word(prm_at_zero), 0);
    EXPECT_EQ(host_->journal().audio_frames_served, (std::vector<int32_t>{0, 1, 2}));
    int wrong = 0;
    for (size_t k = 0; k < 4000; ++k)
        wrong += sample_at(k) != host_->sample(static_cast<int64_t>(k), 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(data_zero_from(8000));

    // A smaller answer afterwards leaves nothing of the larger one behind.
    audio(10, 3, 0);
    EXPECT_TRUE(data_zero_from(6));
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, EightBitSamplesBecomeSigned16Bit)
{
    clip_settings clip;
    clip.audio_bits = 8;
    clip.tone = [](int64_t s, int) -> int16_t { return s % 3 == 0 ? -32768 : s % 3 == 1 ? 0 : 32767; };
    start(clip);
    audio(0, 3, 0);
    EXPECT_EQ(word(prm_at_length), 1600);  // obtained x 1 byte
    EXPECT_EQ(sample_at(0), -32768);
    EXPECT_EQ(sample_at(1), 0);
    EXPECT_EQ(sample_at(2), 32512);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, AudioRequestsThatCannotBeServedAnswerStatusTwo)
{
    start(clip_settings{});
    audio(0, 0, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    audio(0, -5, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    audio(0, 10, 2);  // no third channel
    EXPECT_EQ(word(prm_at_status), 2);
    audio(-1, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    audio(0, 0x7FFFFFFF, 0);  // would not fit the data block
    EXPECT_EQ(word(prm_at_status), 2);

    host_->faults().audio_result = 2;
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 1);
    host_->faults().audio_result = 7;
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    host_->faults().audio_result = 0;
    host_->faults().audio_null_buffer = true;
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    host_->faults().audio_null_buffer = false;
    host_->faults().audio_frame_count = 2;
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    host_->faults().audio_frame_count = 1;
    // A result of 3 ends early and still counts as served.
    host_->faults().audio_result = 3;
    host_->faults().audio_result_from = 1;
    audio(0, 4000, 0);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), 3200);

    // Bits below 8 cannot be served at all.
    host_->faults() = host_faults{};
    host_->export_record()->audio_bits = 4;
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, FramesAndTheirFailures)
{
    clip_settings clip;
    clip.width = 64;
    clip.height = 32;
    start(clip);
    set(prm_at_frame, 7);
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), 64 * 32 * 4);
    EXPECT_EQ(word(prm_at_row_bytes), 256);
    EXPECT_EQ(word(prm_at_frame_info), 1007);
    uint32_t p;
    std::memcpy(&p, channel_.data().payload() + (5 * 64 + 9) * 4, 4);
    EXPECT_EQ(p, premiere_host::pixel(7, 9, 5));
    EXPECT_TRUE(data_zero_from(64 * 32 * 4));

    host_->faults().frame_result = 2;
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 1);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults().frame_result = 9;
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 2);
    host_->faults().frame_result = 3;  // a success as well
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), 64 * 32 * 4);
    host_->faults().frame_result = 0;

    // A height whose rows would overflow is refused.
    host_->export_record()->height = 0x40000000;
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, ASizeHeaderTheEncoderRewroteIsNotBelieved)
{
    clip_settings clip;
    clip.width = 64;
    clip.height = 32;
    start(clip);
    const uint32_t real = channel_.data().size();
    uint8_t* const header = channel_.data().payload() - 4;
    const uint32_t lie = 0x7FFFFFF0;
    std::memcpy(header, &lie, 4);

    scribble_bytes(real);
    set(prm_at_frame, 2);
    ask(prm_request_frame, false);
    ASSERT_EQ(word(prm_at_status), 0);
    uint32_t p;
    std::memcpy(&p, channel_.data().payload() + (31 * 64 + 63) * 4, 4);
    EXPECT_EQ(p, premiere_host::pixel(2, 63, 31));

    // More samples than the real block holds, though fewer than the header claims: refused.
    set(prm_at_audio_start, 0);
    set(prm_at_audio_count, static_cast<int32_t>(real / 2 + 1000));
    set(prm_at_audio_channel, 0);
    ask(prm_request_audio, false);
    EXPECT_EQ(word(prm_at_status), 2);

    std::memcpy(header, &real, 4);
    EXPECT_TRUE(data_zero_from(0)) << "cleared to the end of the real block, and no further";
}

// The marker record (1,048 bytes) and the walk's word are written when the block the module
// mapped holds them, whatever smaller size the encoder wrote into the header.
TEST_F(ScriptedExport, MarkerAndWalkAnswersAreBoundByTheRealBlockNotItsHeader)
{
    clip_settings clip;
    clip.frames = 3;
    clip.markers = {{30, 60, {"one"}}};
    start(clip);
    const uint32_t real = channel_.data().size();
    uint8_t* const header = channel_.data().payload() - 4;
    for (const uint32_t lie : {0u, 3u, 1047u}) {
        std::memcpy(header, &lie, 4);
        set(prm_at_marker_cursor, -1);
        set(prm_at_status, 7);
        ask(prm_request_next_marker, false);
        EXPECT_EQ(word(prm_at_status), 0) << lie;
        EXPECT_EQ(word(prm_at_length), 1048) << lie;
        EXPECT_EQ(word(prm_at_marker_cursor), 0) << lie;
        prm_marker_record r;
        std::memcpy(&r, channel_.data().payload(), sizeof r);
        EXPECT_STREQ(r.texts[0].text, "one") << lie;

        set(prm_at_walk_cursor, -1);
        set(prm_at_status, 7);
        ask(prm_request_walk_back, false);
        EXPECT_EQ(word(prm_at_status), 0) << lie;
        EXPECT_EQ(word(prm_at_walk_found), 1) << lie;
        int32_t frame = -1;
        std::memcpy(&frame, channel_.data().payload(), 4);
        EXPECT_EQ(frame, 2) << lie;
    }
    std::memcpy(header, &real, 4);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, EveryFrameAndAudioAnswerSetsTheWholeDataBlock)
{
    clip_settings clip;
    clip.width = 64;
    clip.height = 32;
    start(clip);
    const uint32_t frame_bytes = 64 * 32 * 4;
    ASSERT_GT(channel_.data().size(), frame_bytes);

    scribble();
    set(prm_at_frame, 4);
    ask(prm_request_frame);
    ASSERT_EQ(word(prm_at_status), 0);
    uint32_t p;
    std::memcpy(&p, channel_.data().payload() + (31 * 64 + 63) * 4, 4);
    EXPECT_EQ(p, premiere_host::pixel(4, 63, 31));
    EXPECT_TRUE(data_zero_from(frame_bytes));

    // A served audio answer: its samples, then zeros to the end, also after a larger answer.
    scribble();
    audio(0, 4000, 1);
    ASSERT_EQ(word(prm_at_status), 0);
    int wrong = 0;
    for (size_t k = 0; k < 4000; ++k)
        wrong += sample_at(k) != host_->sample(static_cast<int64_t>(k), 1);
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(data_zero_from(8000));
    scribble();
    audio(7, 2, 0);
    EXPECT_EQ(sample_at(0), host_->sample(7, 0));
    EXPECT_EQ(sample_at(1), host_->sample(8, 0));
    EXPECT_TRUE(data_zero_from(4));

    // An answer cut short by the host: what was written, then zeros.
    host_->faults().audio_result = 3;
    host_->faults().audio_result_from = 1;
    scribble();
    audio(0, 4000, 0);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(sample_at(1599), host_->sample(1599, 0));
    EXPECT_TRUE(data_zero_from(3200));
    host_->faults() = host_faults{};

    // Failed answers leave nothing at all.
    scribble();
    audio(0, 0, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    scribble();
    audio(0, 10, 5);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults().audio_result = 2;
    scribble();
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 1);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults() = host_faults{};
    host_->faults().audio_null_buffer = true;
    scribble();
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults() = host_faults{};

    host_->faults().frame_result = 2;
    scribble();
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 1);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults().frame_result = 9;
    scribble();
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    host_->faults() = host_faults{};
    host_->export_record()->height = 0x40000000;
    scribble();
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    host_->export_record()->height = 32;

    // A success again after all that.
    scribble();
    set(prm_at_frame, 9);
    ask(prm_request_frame);
    EXPECT_EQ(word(prm_at_status), 0);
    std::memcpy(&p, channel_.data().payload(), 4);
    EXPECT_EQ(p, premiere_host::pixel(9, 0, 0));
    EXPECT_TRUE(data_zero_from(frame_bytes));
    EXPECT_EQ(end_export(), prm_export_done);
}

// The module's own block always holds the marker record and the walk's word (it has at least
// 2 MiB), so a block too small for them is made here, in the module's place, while the encoder
// has let go of it: each answer is written only where the block the module mapped holds it, and
// is refused otherwise (status 2, the block and the cursors as they were).
TEST_F(ScriptedExport, AnswersThatTheMappedBlockCannotHoldAreRefused)
{
    in_process_ = true;
    clip_settings clip;
    clip.frames = 3;
    clip.markers = {{30, 60, {"one"}}};
    start(clip);
    const auto give_the_module_a_block_of = [&](uint32_t bytes) {
        channel_.data().close();
        hx_module.close_data_memory();
        ASSERT_EQ(hx_module.create_data_memory(bytes), hx_prm_ok);
        ASSERT_TRUE(channel_.reopen_data());
        ASSERT_EQ(channel_.data().size(), bytes);
    };
    const auto ask_marker = [&] {
        set(prm_at_marker_cursor, -1);
        set(prm_at_length, 7);
        set(prm_at_status, 7);
        ask(prm_request_next_marker, false);
    };
    const auto ask_walk = [&] {
        set(prm_at_walk_cursor, -1);
        set(prm_at_walk_found, 7);
        set(prm_at_status, 7);
        ask(prm_request_walk_back, false);
    };

    // What the encoder left in the block: no byte of it may change.
    const auto scribbled = [&] {
        scribble();
        const uint8_t* d = channel_.data().payload();
        return bytes(d, d + channel_.data().size());
    };
    const auto block = [&] {
        const uint8_t* d = channel_.data().payload();
        return bytes(d, d + channel_.data().size());
    };

    give_the_module_a_block_of(1047);
    bytes before = scribbled();
    ask_marker();
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_EQ(word(prm_at_length), 7);
    EXPECT_EQ(word(prm_at_marker_cursor), -1);
    EXPECT_EQ(block(), before);

    give_the_module_a_block_of(3);
    before = scribbled();
    ask_walk();
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_EQ(word(prm_at_walk_cursor), -1);
    EXPECT_EQ(word(prm_at_walk_found), 7);
    EXPECT_TRUE(host_->journal().frame_info_asked.empty());
    EXPECT_EQ(block(), before);

    // Blocks that just hold them.
    give_the_module_a_block_of(4);
    ask_walk();
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(static_cast<int32_t>(channel_.data().word(0)), 2);
    give_the_module_a_block_of(1048);
    ask_marker();
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_marker_cursor), 0);
    prm_marker_record r;
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_STREQ(r.texts[0].text, "one");
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, DataBlockGrowsForALargerFrame)
{
    clip_settings clip;
    clip.width = 1024;
    clip.height = 600;
    clip.row_padding = 64;  // rows longer than width + 1 pixels
    start(clip);
    const uint32_t before = channel_.data().size();
    const uint32_t length = 600 * (1024 * 4 + 64);
    ASSERT_LT(before, length);

    // While the encoder holds the old block, a new one of that name cannot be made; the block it
    // holds reads as zeros all the same.
    set(prm_at_frame, 2);
    scribble();
    ask(prm_request_frame, false);
    EXPECT_EQ(word(prm_at_status), 2);
    EXPECT_TRUE(data_zero_from(0));
    // ... and requests that need a block find none.
    ask(prm_request_walk_back, false);
    EXPECT_EQ(word(prm_at_status), 2);
    set(prm_at_marker_cursor, -1);
    ask(prm_request_next_marker, false);
    EXPECT_EQ(word(prm_at_status), 2);
    audio(0, 10, 0);
    EXPECT_EQ(word(prm_at_status), 2);

    // Let go of it, and the block is replaced by one of exactly the frame's size.
    ask(prm_request_frame, true);
    EXPECT_EQ(word(prm_at_status), 0);
    EXPECT_EQ(word(prm_at_length), static_cast<int32_t>(length));
    EXPECT_EQ(channel_.data().size(), length);
    uint32_t p;
    std::memcpy(&p, channel_.data().payload() + 599 * (1024 * 4 + 64) + 1023 * 4, 4);
    EXPECT_EQ(p, premiere_host::pixel(2, 1023, 599));
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, MarkersInSixHundredthsWithTheirTexts)
{
    clip_settings clip;
    clip.units_12 = 7;
    static const std::string long_text(300, 'L');
    clip.markers = {{1, 14, {"three", nullptr, long_text.c_str(), nullptr}}, {-7, 3, {}}};
    start(clip);

    set(prm_at_marker_cursor, -1);
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), 0);
    EXPECT_EQ(word(prm_at_length), 1048);
    EXPECT_EQ(word(prm_at_status), 0);
    prm_marker_record r;
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_EQ(r.time, 86);  // 600 / 7 = 85.7
    EXPECT_EQ(r.time2, 1200);
    EXPECT_EQ(r.texts[0].present, 1);
    EXPECT_STREQ(r.texts[0].text, "three");
    EXPECT_EQ(r.texts[1].present, 0);
    EXPECT_EQ(r.texts[2].present, 1);
    EXPECT_EQ(std::string(r.texts[2].text), std::string(255, 'L'));  // cut to fit
    EXPECT_EQ(r.texts[3].present, 0);

    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), 1);
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_EQ(r.time, -600);
    EXPECT_EQ(r.texts[0].present, 0);

    // Past the last marker: the reset record, its times (-1) converted like any other.
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), -1);
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_EQ(r.time, -85);
    EXPECT_EQ(r.time2, -85);
    EXPECT_EQ(r.texts[0].present, 0);
    EXPECT_EQ(r.texts[2].present, 0);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, MarkerRoundingAtThirtyAndAnEmptyTimeline)
{
    clip_settings clip;
    clip.units_12 = 30;
    clip.markers = {{45, 44, {}}};
    start(clip);
    set(prm_at_marker_cursor, -1);
    ask(prm_request_next_marker);
    prm_marker_record r;
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_EQ(r.time, 900);
    EXPECT_EQ(r.time2, 880);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, NoMarkersAnswersCursorMinusOne)
{
    start(clip_settings{});
    set(prm_at_marker_cursor, -1);
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), -1);
    EXPECT_EQ(word(prm_at_status), 0);
    ask(prm_request_marker_count);
    EXPECT_EQ(word(0x00), 0);
    EXPECT_EQ(end_export(), prm_export_done);
}

// Hosts whose next_marker hands back the cursor it was given, instead of -1, at the end.
TEST_F(ScriptedExport, AMarkerListThatRepeatsItsLastMarkerEnds)
{
    clip_settings clip;
    clip.markers = {{30, 30, {"one"}}, {60, 60, {"two"}}};
    clip.markers_repeat_last = true;
    start(clip);
    ask(prm_request_marker_count);
    EXPECT_EQ(word(0x00), 2);

    set(prm_at_marker_cursor, -1);
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), 0);
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), 1);
    prm_marker_record r;
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_STREQ(r.texts[0].text, "two");
    ask(prm_request_next_marker);
    EXPECT_EQ(word(prm_at_marker_cursor), -1);
    std::memcpy(&r, channel_.data().payload(), sizeof r);
    EXPECT_EQ(r.texts[0].present, 0);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, BackwardWalk)
{
    clip_settings clip;
    clip.frames = 3;
    start(clip);
    set(prm_at_walk_cursor, -1);
    for (int32_t expected : {2, 1, 0}) {
        ask(prm_request_walk_back);
        EXPECT_EQ(word(prm_at_walk_found), 1);
        EXPECT_EQ(word(prm_at_walk_cursor), expected);
        EXPECT_EQ(static_cast<int32_t>(channel_.data().word(0)), expected);
        EXPECT_EQ(word(prm_at_length), 4);
    }
    ask(prm_request_walk_back);
    EXPECT_EQ(word(prm_at_walk_found), 0);
    EXPECT_EQ(word(prm_at_walk_cursor), -1);
    EXPECT_EQ(end_export(), prm_export_done);
}

TEST_F(ScriptedExport, BackwardWalkFromAnEndFrameOfZero)
{
    clip_settings clip;
    clip.frames = 0;
    start(clip);
    set(prm_at_walk_cursor, -5);
    ask(prm_request_walk_back);
    EXPECT_EQ(word(prm_at_walk_found), 0);
    EXPECT_EQ(word(prm_at_walk_cursor), -1);
    EXPECT_TRUE(host_->journal().frame_info_asked.empty());
    EXPECT_EQ(end_export(), prm_export_done);
}

// Cancel in the progress window while this test keeps asking: the request the module holds
// then, or the next one, gets the stopped answer and nothing else; nothing is answered after it,
// and the export is abandoned with everything given back.
TEST_F(ScriptedExport, CancelAnswersTheNextRequestAsStoppedAndAbandons)
{
    start(clip_settings{});
    HWND window = nullptr;
    ASSERT_TRUE(wait_until([&] { return (window = progress_watch::find()) != nullptr; }, 10000));
    PostMessageA(GetDlgItem(window, IDCANCEL), BM_CLICK, 0, 0);
    ASSERT_TRUE(ask_until_stopped());
    EXPECT_EQ(word(0x00), -128);
    EXPECT_EQ(word(0x04), 0);
    EXPECT_EQ(word(0x10), 3);
    for (uint32_t w = 0; w < 16; ++w)
        if (w != 0 && w != 1 && w != 4) {
            EXPECT_EQ(word(w * 4), 0x5A5A5A00 + static_cast<int32_t>(w)) << "word " << w * 4;
        }
    ASSERT_TRUE(wait_pumping(thread_, 10000));
    EXPECT_EQ(result_, prm_export_abandoned);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(host_->journal().allocated.empty());
    EXPECT_EQ(host_->export_record()->setting_choice, nullptr);
    // Nobody answers any more.
    set(prm_at_code, prm_request_setting);
    EXPECT_FALSE(channel_.turn(500));
    EXPECT_EQ(quit_left_, -1);
}

// A host that quits while the module exports (its thread gets WM_QUIT): the export stops as if
// cancelled, and the quit is left in the queue for the host's own loop.
TEST_F(ScriptedExport, AQuitMessageStopsTheExportAndIsLeftForTheHost)
{
    start(clip_settings{});
    // Once a request is answered the dialog is over, and the thread has a message queue.
    ask(prm_request_setting);
    ASSERT_TRUE(PostThreadMessageA(thread_id_, WM_QUIT, 7, 0));
    ASSERT_TRUE(ask_until_stopped());
    EXPECT_EQ(word(0x00), -128);
    EXPECT_EQ(word(0x10), 3);
    ASSERT_TRUE(wait_pumping(thread_, 10000));
    EXPECT_EQ(result_, prm_export_abandoned);
    EXPECT_EQ(quit_left_, 7);
}

}  // namespace

namespace {

// The demo's own program, as `./run demo` runs it.
TEST(DemoProgram, ExportsAPlayableClipWithMarkers)
{
    const std::string out = temp_file("demo");
    const std::string printed = out + ".txt";
    test_process host;
    ASSERT_TRUE(host.start(bin_dir() + "premiere_host.exe",
                           "--out \"" + out + "\" --seconds 1 --size 160x120", printed));
    ASSERT_EQ(host.wait_exit(60000), 0u) << read_file(out + "\\encoder.log");
    // The preset the encoder was told, by the name the module's menu gives it.
    EXPECT_NE(read_file(printed).find("setting: 5/2 \"Medium-size movie\" of \"RealG2 Web Download\""),
              std::string::npos)
        << read_file(printed);

    const avi_contents avi = read_avi(out + "\\premiere_export.avi");
    EXPECT_TRUE(avi.has_index);
    EXPECT_EQ(avi.width, 160);
    EXPECT_EQ(avi.height, 120);
    EXPECT_EQ(avi.frames.size(), 30u);
    EXPECT_EQ(avi.audio_channels, 2);
    EXPECT_EQ(avi.samples.size(), 2u * 48000u);
    uint32_t corner;
    std::memcpy(&corner, &avi.frames[29][(119 * 160 + 159) * 4], 4);
    EXPECT_EQ(corner, premiere_host::pixel(29, 159, 0));
    const std::string markers = read_file(out + "\\premiere_export.markers.txt");
    EXPECT_NE(markers.find("marker 0 time 0.500 s (300/600) time2 0.500 s (300/600) text3 \"Opening\""),
              std::string::npos)
        << markers;
}

// The program as a second process, its printed lines in a file.
struct host_run {
    DWORD status = 0;
    std::string printed;
};

host_run run_host_program(const std::string& args, DWORD timeout_ms = 60000)
{
    const std::string printed = temp_file("host_printed");
    test_process host;
    host_run r;
    if (!host.start(bin_dir() + "premiere_host.exe", args, printed))
        return {0xFFFFFFFF, "cannot start premiere_host.exe"};
    r.status = host.wait_exit(timeout_ms);
    if (r.status == STILL_ACTIVE)
        host.kill();
    r.printed = read_file(printed);
    DeleteFileA(printed.c_str());
    return r;
}

// Padded rows: each row of 20,000 bytes, so a 160 x 120 frame (2,400,000 bytes) is longer than
// the first data block (2,097,152) and the module must replace the block; the encoder still
// gets every pixel in its place.
TEST(DemoProgram, PaddedRowsMakeTheModuleReplaceItsBlockAndEveryPixelArrives)
{
    const std::string out = temp_file("demo_rows");
    const host_run r = run_host_program("--out \"" + out + "\" --seconds 1 --size 160x120 --row-bytes 20000");
    const std::string log = read_file(out + "\\encoder.log");
    ASSERT_EQ(r.status, 0u) << r.printed << log;
    EXPECT_NE(log.find("sizes param=1048 data=2097152"), std::string::npos) << log;
    EXPECT_NE(log.find("frame 0 -> status 0 length 2400000 row bytes 20000"), std::string::npos) << log;
    EXPECT_NE(log.find("frame 29 -> status 0 length 2400000 row bytes 20000"), std::string::npos) << log;
    const avi_contents avi = read_avi(out + "\\premiere_export.avi");
    ASSERT_EQ(avi.frames.size(), 30u);
    for (int32_t frame : {0, 29}) {
        // The AVI stores rows bottom up.
        size_t wrong = 0;
        for (int32_t y = 0; y < 120; ++y)
            for (int32_t x = 0; x < 160; ++x) {
                uint32_t p;
                std::memcpy(&p, &avi.frames[static_cast<size_t>(frame)][((119 - y) * 160 + x) * 4], 4);
                wrong += p != premiere_host::pixel(frame, x, y);
            }
        EXPECT_EQ(wrong, 0u) << "frame " << frame;
    }
}

// With the channel's names already taken the module gives up before its dialog, and the host
// says so at once instead of looking for a dialog that will not come.
TEST(DemoProgram, NamesHeldElsewhereEndTheExportBeforeTheDialogAndTheHostSaysSo)
{
    const HANDLE squatter = CreateSemaphoreA(nullptr, 0, 1, "TSP_PRM_NLE_SEM_B");
    ASSERT_NE(squatter, nullptr);
    const std::string out = temp_file("demo_held");
    // Well within the time the host gives the dialog to appear when it answers one (15 s).
    const host_run r = run_host_program("--out \"" + out + "\" --seconds 1 --size 160x120", 10000);
    CloseHandle(squatter);
    EXPECT_EQ(r.status, 2u) << r.printed;
    EXPECT_NE(r.printed.find("export: abandoned (2)"), std::string::npos) << r.printed;
    EXPECT_NE(r.printed.find("premiere_host: the \"Save for Web\" dialog did not appear: the module gave up "
                             "before it"),
              std::string::npos)
        << r.printed;
    EXPECT_EQ(r.printed.find("the module started"), std::string::npos) << r.printed;
    EXPECT_EQ(read_file(out + "\\encoder.log"), "");
}

// An encoder that dies mid-export: the host tells what it saw, the dialog's answer, the start
// and the end of the process, and no causes that did not happen.
TEST(DemoProgram, AnEncoderThatDiesIsReportedAsTheHostSawIt)
{
    const std::string out = temp_file("demo_dies");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--die-after 3");
    const host_run r = run_host_program("--out \"" + out + "\" --seconds 1 --size 160x120 --setting 22003");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    EXPECT_EQ(r.status, 2u) << r.printed;
    EXPECT_NE(
        r.printed.find("premiere_host: the dialog was answered: setting 22003, the entire project, Start"),
        std::string::npos)
        << r.printed;
    const std::string started = "premiere_host: the module started \"" + bin_dir() +
                                "encoder.exe\" with \"nle  "
                                "-noprocess\" (process ";
    const size_t at = r.printed.find(started);
    ASSERT_NE(at, std::string::npos) << r.printed;
    const std::string log = read_file(out + "\\encoder.log");
    unsigned long pid = 0;
    ASSERT_EQ(std::sscanf(r.printed.c_str() + at + started.size(), "%lu", &pid), 1);
    EXPECT_NE(log.find("start pid " + std::to_string(pid) + " "), std::string::npos) << log;
    EXPECT_NE(r.printed.find("); it ended with status 77 before its end request (9)"), std::string::npos)
        << r.printed;
    EXPECT_EQ(r.printed.find("cancelled"), std::string::npos) << r.printed;
    EXPECT_EQ(r.printed.find("another export"), std::string::npos) << r.printed;
}

TEST(DemoProgram, NamesAWrongArgumentAndShowsItsUsage)
{
    const std::string printed = temp_file("demo_arguments");
    for (const char* args :
         {"--size 10x", "--bits 12", "--frobnicate", "--fps", "--row-bytes 1279", "--answer-box maybe"}) {
        test_process host;
        ASSERT_TRUE(host.start(bin_dir() + "premiere_host.exe", args, printed));
        EXPECT_EQ(host.wait_exit(30000), 2u) << args;
        const std::string text = read_file(printed);
        EXPECT_NE(text.find("usage: premiere_host.exe"), std::string::npos) << text;
        const std::string option = std::string(args).substr(0, std::string(args).find(' '));
        EXPECT_NE(
            text.find("premiere_host: " + (option == "--frobnicate" ? "unknown option '" + option : option)),
            std::string::npos)
            << text;
    }
    DeleteFileA(printed.c_str());
}

// The module's message boxes are printed and answered as a user would: the program ends
// instead of waiting for ever on a box that nobody sees.
TEST(DemoProgram, PrintsAndAnswersTheModulesMessageBoxes)
{
    const std::string printed = temp_file("demo_boxes");
    const auto run = [&](const std::string& args) {
        test_process host;
        EXPECT_TRUE(host.start(bin_dir() + "premiere_host.exe", "--seconds 1 " + args, printed));
        const DWORD status = host.wait_exit(60000);
        if (status == STILL_ACTIVE)
            host.kill();
        return status;
    };
    // What it printed, with its line ends as "\n".
    const auto text = [&] {
        std::string t = read_file(printed);
        t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
        return t;
    };
    {
        // Only the Pro edition registered: the module looks for the EZ edition alone.
        HKEY halvex;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvex", 0, KEY_SET_VALUE, &halvex),
                  ERROR_SUCCESS);
        RegDeleteValueA(halvex, "LatestEZ");
        RegCloseKey(halvex);
        EXPECT_EQ(run(""), 2u) << text();
        EXPECT_NE(text().find("message box \"Save for Web\": Cannot find Tessora EZ on your system in "
                              "this folder : \nmessage box answered: OK\n"),
                  std::string::npos)
            << text();
        test_process registrar;
        ASSERT_TRUE(registrar.start(bin_dir() + "encoder.exe", "--register"));
        EXPECT_EQ(registrar.wait_exit(20000), 0u);
    }
    {
        // An encoder that never opens the channel: the question, answered from --answer-box.
        const scoped_registry_value limit(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 1);
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--never-open 2000");
        EXPECT_EQ(run("--answer-box cancel"), 2u) << text();
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
        EXPECT_NE(text().find("message box \"Save for Web\": Tessora has not answered for 1 second. "
                              "Retry to wait again, or Cancel to stop the export.\nmessage box "
                              "answered: Cancel\n"),
                  std::string::npos)
            << text();
    }
    DeleteFileA(printed.c_str());
}

}  // namespace

// ---- The progress window, as the host program sees it --------------------------------------

namespace {

// The host program with the encoder told `encoder_options`; its files in a fresh folder.
struct progress_run {
    host_run run;
    std::string out, log;
};

progress_run run_with_encoder(const std::string& encoder_options, const std::string& host_args)
{
    progress_run r;
    r.out = temp_file("progress");
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", encoder_options.c_str());
    r.run = run_host_program("--out \"" + r.out + "\" " + host_args);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", nullptr);
    r.log = read_file(r.out + "\\encoder.log");
    return r;
}

// The number printed right after `marker`, or -1 when the marker is not there.
double number_after(const std::string& text, const std::string& marker)
{
    const size_t at = text.find(marker);
    double v = -1;
    if (at == std::string::npos || std::sscanf(text.c_str() + at + marker.size(), "%lf", &v) != 1)
        return -1;
    return v;
}

// The frames line of every look at the window the host printed: served and of how many.
std::vector<std::pair<long, long>> frames_seen(const std::string& printed)
{
    std::vector<std::pair<long, long>> seen;
    const std::string marker = "progress window: \"";
    for (size_t at = printed.find(marker); at != std::string::npos; at = printed.find(marker, at + 1)) {
        long served = 0, of = 0;
        if (std::sscanf(printed.c_str() + at + marker.size(), "%ld of %ld frames", &served, &of) == 2)
            seen.emplace_back(served, of);
    }
    return seen;
}

bool file_exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The encoder has ended (its log's last line), and left nothing that looks like a whole export.
void expect_encoder_gone_without_output(const progress_run& r)
{
    std::string log;
    EXPECT_TRUE(wait_until(
        [&] {
            log = read_file(r.out + "\\encoder.log");
            return log.find("exit ") != std::string::npos;
        },
        15000))
        << log;
    EXPECT_FALSE(file_exists(r.out + "\\premiere_export.avi")) << log;
    EXPECT_FALSE(file_exists(r.out + "\\premiere_export.avi.partial")) << log;
    EXPECT_FALSE(file_exists(r.out + "\\premiere_export.markers.txt")) << log;
}

// The window is gone and the host's window enabled, and active again unless another program's
// window had come in front meanwhile (other tests' windows share the display), when the module
// returns.
void expect_window_gone_and_host_back(const std::string& printed)
{
    const bool in_front =
        printed.find("progress window: it was in front at the last look") != std::string::npos;
    if (!in_front)
        std::printf(
            "another window was in front of the progress window: the host's activation is not checked\n");
    EXPECT_NE(printed.find(
                  std::string("progress window: gone when the export returned; the host's window enabled") +
                  (in_front ? " and active" : "")),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("progress window: the host's window was disabled the whole time it was up"),
              std::string::npos)
        << printed;
}

// Twenty seconds behind a slow encoder that also falls silent for four seconds half way: the
// host's window answers all along, the window comes after about a second, counts up to the
// whole range, says when the encoder is waited for, and is gone at the end.
TEST(ProgressWindow, ALongExportKeepsTheHostAnsweringAndShowsHowFarItIs)
{
    // 120 frames; about 330 requests of 50 ms each, and the pause after 150 (60 frames in).
    const progress_run r =
        run_with_encoder("--frame-delay 50 --pause-after 150 --pause-ms 4000", "--seconds 4 --size 160x120");
    const std::string& printed = r.run.printed;
    ASSERT_EQ(r.run.status, 0u) << printed << r.log;
    EXPECT_NE(printed.find("encoder: 160x120 120 frames"), std::string::npos) << printed;

    const double longest = number_after(printed, "responsiveness: longest unanswered message ");
    std::printf("the host's window: longest unanswered message %.0f ms\n", longest);
    EXPECT_GE(longest, 0) << printed;
    // Windows greys a window out after 5 s; a quiet machine stays near the callback's 100 ms.
    EXPECT_LT(longest, 2000) << printed;

    const double appeared = number_after(printed, "progress window: appeared ");
    std::printf("the window appeared %.2f s after Start\n", appeared);
    EXPECT_GE(appeared, 0.95) << printed;
    EXPECT_LT(appeared, 3.0) << printed;
    EXPECT_NE(printed.find("owned by the host's window, which is disabled"), std::string::npos) << printed;

    const std::vector<std::pair<long, long>> seen = frames_seen(printed);
    ASSERT_GE(seen.size(), 4u) << printed;
    for (size_t k = 0; k < seen.size(); ++k) {
        EXPECT_EQ(seen[k].second, 120) << printed;
        if (k > 0) {
            EXPECT_GE(seen[k].first, seen[k - 1].first) << printed;
        }
    }
    EXPECT_LT(seen.front().first, 120) << printed;
    EXPECT_EQ(seen.back().first, 120) << printed;
    EXPECT_GE(number_after(printed, "\"Waiting for Tessora: "), 3) << printed;
    expect_window_gone_and_host_back(printed);
    EXPECT_TRUE(file_exists(r.out + "\\premiere_export.avi")) << r.log;
}

// Cancel clicked, or Escape pressed, half way through: the export ends within a second as
// abandoned, the encoder is told and ends, no output is left, and the next export is done.
TEST(ProgressWindow, CancelOrEscapeHalfWayStopsTheExportAndTheNextOneIsDone)
{
    for (const std::string press : {"--cancel-after 30", "--escape-after 30"}) {
        const progress_run r = run_with_encoder("--frame-delay 20", "--seconds 2 --size 160x120 " + press);
        const std::string& printed = r.run.printed;
        EXPECT_EQ(r.run.status, 2u) << press << "\n" << printed << r.log;
        EXPECT_NE(printed.find("export: abandoned (2)"), std::string::npos) << printed;
        const std::string key = press == "--cancel-after 30" ? "Cancel" : "Escape";
        EXPECT_NE(printed.find("progress window: " + key + " pressed at "), std::string::npos) << printed;
        const double after = number_after(printed, "progress window: the export returned ");
        std::printf("%s: the export returned %.2f s after it was pressed\n", key.c_str(), after);
        EXPECT_GE(after, 0) << printed;
        EXPECT_LT(after, 1.5) << printed;
        expect_window_gone_and_host_back(printed);
        expect_encoder_gone_without_output(r);
        EXPECT_NE(read_file(r.out + "\\encoder.log").find("stopped by the user after "), std::string::npos);

        const progress_run next = run_with_encoder("", "--seconds 1 --size 160x120");
        EXPECT_EQ(next.run.status, 0u) << next.run.printed << next.log;
        EXPECT_EQ(read_avi(next.out + "\\premiere_export.avi").frames.size(), 30u) << next.log;
    }
}

// Cancel while the encoder sends nothing: the module does not wait for it to speak again.
TEST(ProgressWindow, CancelWhileTheEncoderIsSilentEndsTheExportAtOnce)
{
    const progress_run r = run_with_encoder("--pause-after 20 --pause-ms 5000 --reply-timeout 1000",
                                            "--seconds 1 --size 160x120 --cancel-after 0");
    const std::string& printed = r.run.printed;
    EXPECT_EQ(r.run.status, 2u) << printed << r.log;
    EXPECT_NE(printed.find("progress window: Cancel pressed at 0 frames"), std::string::npos) << printed;
    const double after = number_after(printed, "progress window: the export returned ");
    std::printf("the export returned %.2f s after Cancel, the encoder silent\n", after);
    EXPECT_GE(after, 0) << printed;
    EXPECT_LT(after, 1.5) << printed;
    expect_window_gone_and_host_back(printed);
    expect_encoder_gone_without_output(r);
    const std::string log = read_file(r.out + "\\encoder.log");
    EXPECT_NE(log.find("pausing 5000 ms after 20 requests"), std::string::npos) << log;

    const progress_run next = run_with_encoder("", "--seconds 1 --size 160x120");
    EXPECT_EQ(next.run.status, 0u) << next.run.printed << next.log;
}

// The question about a silent encoder, answered Retry while the window is up: a message box
// enables its owner when it closes, and the module disables it again at once.
TEST(ProgressWindow, TheHostStaysDisabledAfterTheQuestionAboutASilentEncoder)
{
    const scoped_registry_value limit(HKEY_CURRENT_USER, bridges_settings_key, encoder_wait_value, 1);
    const progress_run r = run_with_encoder("--pause-after 20 --pause-ms 3500",
                                            "--seconds 1 --size 160x120 --answer-box retry,retry,retry");
    const std::string& printed = r.run.printed;
    EXPECT_EQ(r.run.status, 0u) << printed << r.log;
    EXPECT_NE(printed.find("message box answered: Retry"), std::string::npos) << printed;
    EXPECT_NE(printed.find("progress window: appeared "), std::string::npos) << printed;
    expect_window_gone_and_host_back(printed);
}

// An export that takes less than a second shows nothing.
TEST(ProgressWindow, AShortExportShowsNoWindow)
{
    const progress_run r = run_with_encoder("", "--seconds 1 --fps 5 --size 32x24");
    EXPECT_EQ(r.run.status, 0u) << r.run.printed << r.log;
    EXPECT_NE(r.run.printed.find("progress window: never appeared"), std::string::npos) << r.run.printed;
}

}  // namespace
