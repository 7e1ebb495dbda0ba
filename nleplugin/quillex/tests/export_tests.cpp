// Exports through Quillex.qtx: the QuickTime host stand-in in this process hands the component
// a generated movie, and the encoder is either this test (a window of the encoder's class that
// the component wakes, then the channel opened by name and asked exactly what a test checks) or
// the stand-in encoder, started by the component through the registry.
#include "avi_reader.h"
#include "debug_output.h"
#include "diagnostic_line.h"
#include "encoder_channel.h"
#include "encoder_window.h"
#include "quicktime_host.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using namespace qt_glue;

constexpr char prefix[] = "TessoraQTExport";
constexpr uint8_t fill = 0xA7;

bool channel_exists()
{
    for (const char* suffix : {"sem_a", "sem_b"}) {
        const HANDLE h = OpenSemaphoreA(SYNCHRONIZE, FALSE, (std::string(prefix) + suffix).c_str());
        if (h != nullptr) {
            CloseHandle(h);
            return true;
        }
    }
    for (const char* suffix : {"param", "data"}) {
        const HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, (std::string(prefix) + suffix).c_str());
        if (h != nullptr) {
            CloseHandle(h);
            return true;
        }
    }
    return false;
}

// The movie's procedures, returning their OSErr with garbage above AX: the upper half of EAX is
// not a 16-bit result's, and a caller that reads 32 bits sees every success as a failure.
extern "C" OSErr __cdecl hx_clean_get_data(void* ref, MovieExportGetDataParams* params)
{
    return qt_movie::get_data(ref, params);
}
extern "C" OSErr __cdecl hx_clean_get_property(void* ref, int32_t track, OSType property, void* value)
{
    return qt_movie::get_property(ref, track, property, value);
}
extern "C" OSErr __cdecl hx_dirty_get_data(void* ref, MovieExportGetDataParams* params);
extern "C" OSErr __cdecl hx_dirty_get_property(void* ref, int32_t track, OSType property, void* value);
asm(".text\n"
    "_hx_dirty_get_data:\n"
    "  pushl 8(%esp)\n"
    "  pushl 8(%esp)\n"
    "  call _hx_clean_get_data\n"
    "  addl $8, %esp\n"
    "  andl $0xFFFF, %eax\n"
    "  orl $0xDEAD0000, %eax\n"
    "  ret\n"
    "_hx_dirty_get_property:\n"
    "  pushl 16(%esp)\n"
    "  pushl 16(%esp)\n"
    "  pushl 16(%esp)\n"
    "  pushl 16(%esp)\n"
    "  call _hx_clean_get_property\n"
    "  addl $16, %esp\n"
    "  andl $0xFFFF, %eax\n"
    "  orl $0xBEEF0000, %eax\n"
    "  ret\n");

qt_movie_settings small_movie()
{
    qt_movie_settings s;
    s.width = 64;
    s.height = 48;
    s.fps = 10;
    s.video_time_scale = 600;
    s.seconds = 1;
    s.sound_rate = 8000;
    s.text_length = 100;
    return s;
}

// The export's own side of the test: opens the component, adds the movie and exports it.
class Exporter {
public:
    Exporter()
    {
        std::string error;
        loaded_ = host_.load_component(bin_dir() + "Quillex.qtx", &error);
        EXPECT_TRUE(loaded_) << error;
        ci_ = loaded_ ? host_.open() : nullptr;
        EXPECT_NE(ci_, nullptr);
    }
    ~Exporter()
    {
        if (ci_ != nullptr)
            host_.close(ci_);
    }
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;

    void add(qt_movie& movie, bool with_progress = true, bool dirty = false)
    {
        if (with_progress) {
            EXPECT_EQ(movie_export_set_progress_proc(ci_, progress.proc(), progress.refcon()), noErr);
        }
        for (const qt_data_source& s : movie.sources()) {
            int32_t id = -1;
            EXPECT_EQ(movie_export_add_data_source(ci_, s.media_type, s.time_scale, &id,
                                                   dirty ? hx_dirty_get_property : s.property_proc,
                                                   dirty ? hx_dirty_get_data : s.data_proc, s.ref_con),
                      noErr);
            ids.push_back(id);
        }
    }
    ComponentResult export_now()
    {
        Handle reference = NewHandleClear(4);
        const ComponentResult result =
            movie_export_from_procedures_to_data_ref(ci_, reference, hx_fourcc("hndl"));
        DisposeHandle(reference);
        return result;
    }

    quicktime_host host_;
    ComponentInstance ci_ = nullptr;
    qt_progress progress;
    std::vector<int32_t> ids;
    bool loaded_ = false;
};

// ---- This test as the encoder ---------------------------------------------------------------

class ScriptedExport : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(channel_exists());
        ASSERT_NE(window_.handle(), nullptr);
    }

    void TearDown() override
    {
        if (thread_ != nullptr) {
            if (!wait_pumping(thread_, 0)) {
                set(0, 3);
                channel_.turn(10000);
            }
            EXPECT_TRUE(wait_pumping(thread_, 10000));
            CloseHandle(thread_);
        }
        channel_.close();
        exporter_.reset();
        EXPECT_FALSE(channel_exists()) << "the export left its channel open";
    }

    // Starts an export of `settings` on a thread of its own and opens its channel.
    void start(const qt_movie_settings& settings, const std::function<void(qt_movie&)>& faults = nullptr,
               bool dirty_procedures = false)
    {
        movie_ = std::make_unique<qt_movie>(settings);
        if (faults)
            faults(*movie_);
        exporter_ = std::make_unique<Exporter>();
        exporter_->progress.on_call = on_progress_;
        exporter_->add(*movie_, true, dirty_procedures);
        thread_ = CreateThread(nullptr, 0, run_export, this, 0, nullptr);
        ASSERT_TRUE(wait_until([&] { return channel_.open(channel_names::from_prefix(prefix), 0); }, 15000));
    }

    // Ends the export with the done code and returns its result.
    ComponentResult finish()
    {
        ask(3);
        EXPECT_EQ(word(0), 3u);
        EXPECT_EQ(word(4), 0u);
        EXPECT_TRUE(wait_pumping(thread_, 10000));
        CloseHandle(thread_);
        thread_ = nullptr;
        channel_.close();
        return result_;
    }

    // Writes the request and waits for the answer; `fill` over everything it does not use first.
    void ask(uint32_t code, int32_t track = 0, int32_t time = 0, int32_t count = 0)
    {
        std::memset(channel_.data().payload(), fill, channel_.data().size());
        std::memset(channel_.param().payload(), fill, channel_.param().size());
        set(0, code);
        set(8, static_cast<uint32_t>(track));
        set(12, static_cast<uint32_t>(time));
        set(16, static_cast<uint32_t>(count));
        ASSERT_TRUE(channel_.turn(10000)) << "request " << code;
    }

    uint32_t word(uint32_t offset) const { return channel_.param().word(offset / 4); }
    void set(uint32_t offset, uint32_t v) { channel_.param().set_word(offset / 4, v); }
    const uint8_t* param() const { return channel_.param().payload(); }
    const uint8_t* data() const { return channel_.data().payload(); }
    uint32_t data_word(uint32_t offset) const
    {
        uint32_t v;
        std::memcpy(&v, data() + offset, 4);
        return v;
    }
    bool untouched(const uint8_t* p, size_t from, size_t to) const
    {
        for (size_t i = from; i < to; ++i)
            if (p[i] != fill)
                return false;
        return true;
    }
    // A failed answer: status 1, and neither block touched past the status.
    void expect_refused(const char* what)
    {
        EXPECT_EQ(word(4), 1u) << what;
        EXPECT_TRUE(untouched(param(), 8 + 16, 116)) << what;
        EXPECT_TRUE(untouched(data(), 0, channel_.data().size())) << what;
    }

    int32_t id_of(qt_track track) const
    {
        int32_t id = 0;
        for (const qt_data_source& s : movie_->sources()) {
            if (s.track == track)
                return exporter_->ids[static_cast<size_t>(id)];
            ++id;
        }
        return -1;
    }

    static DWORD WINAPI run_export(void* self)
    {
        auto* me = static_cast<ScriptedExport*>(self);
        me->result_ = me->exporter_->export_now();
        return 0;
    }

    encoder_window window_;
    std::unique_ptr<qt_movie> movie_;
    std::unique_ptr<Exporter> exporter_;
    HANDLE thread_ = nullptr;
    ComponentResult result_ = -1;
    mutable encoder_channel channel_;
    // The exporter's progress procedure asks this before it answers (set before start()).
    std::function<OSErr(const qt_progress_call&)> on_progress_;
};

TEST_F(ScriptedExport, GeneralAndTrackInformation)
{
    start(small_movie());
    EXPECT_EQ(channel_.param().size(), 116u);
    EXPECT_EQ(channel_.data().size(), 65536u);

    // The channel can be opened before the export thread reaches the progress call, so the
    // journal is read only once an answered turn has ordered the two threads.
    ask(0);
    const std::vector<qt_progress_call> opened = exporter_->progress.snapshot();
    ASSERT_GE(opened.size(), 1u) << "progress opened before the first answer";
    EXPECT_EQ(opened[0].message, movieProgressOpen);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(data_word(0), 4u);
    EXPECT_EQ(data_word(4), 0x00010000u) << "settings as held in memory";
    EXPECT_EQ(data_word(8), 0u);
    for (size_t i = 12; i < 268; ++i)
        ASSERT_EQ(data()[i], 0) << i;
    EXPECT_TRUE(untouched(data(), 268, 1024));

    for (qt_track track : qt_all_tracks) {
        const int32_t id = id_of(track);
        ask(1, id);
        EXPECT_EQ(word(4), 0u);
        EXPECT_TRUE(untouched(data(), 0, 4));
        EXPECT_EQ(static_cast<int32_t>(data_word(4)), id);
        EXPECT_EQ(static_cast<int32_t>(data_word(8)), movie_->time_scale(track));
        EXPECT_EQ(static_cast<int32_t>(data_word(12)), movie_->duration(track)) << qt_track_name(track);
        EXPECT_EQ(data_word(16), 0u);
        EXPECT_EQ(data_word(20), qt_movie::media_type(track));
        const bytes description = movie_->expected_description(track);
        const size_t n = track == qt_track::sound ? 36 : track == qt_track::text ? 60 : 86;
        ASSERT_GE(description.size(), n);
        EXPECT_EQ(0, std::memcmp(data() + 24, description.data(), n)) << qt_track_name(track);
        for (size_t i = n; i < 86; ++i)
            EXPECT_EQ(data()[24 + i], 0) << qt_track_name(track) << " description byte " << i;
        EXPECT_TRUE(untouched(data(), 110, 112));
        for (size_t i = 112; i < 124; ++i)
            EXPECT_EQ(data()[i], 0) << i;
    }
    EXPECT_EQ(finish(), noErr);
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, true, exporter_->progress.refcon()), "");
}

TEST_F(ScriptedExport, FramesArriveUnchangedAndRawBecomes32)
{
    start(small_movie());
    const int32_t video = id_of(qt_track::video);
    const int32_t step = movie_->frame_duration();
    for (int32_t frame : {0, 5, 9}) {
        ask(2, video, frame * step, 1);
        EXPECT_EQ(word(4), 0u);
        EXPECT_EQ(static_cast<int32_t>(word(12)), frame * step);
        EXPECT_EQ(word(16), 1u);
        EXPECT_EQ(static_cast<int32_t>(word(20)), step);
        const bytes expected = movie_->expected_frame(frame);
        ASSERT_EQ(word(24), expected.size());
        EXPECT_EQ(0, std::memcmp(data(), expected.data(), expected.size())) << "frame " << frame;
        bytes description = movie_->expected_description(qt_track::video);
        const uint32_t thirty_two = 32;
        std::memcpy(&description[4], &thirty_two, 4);
        EXPECT_EQ(0, std::memcmp(param() + 28, description.data(), 86));
        EXPECT_TRUE(untouched(data(), expected.size(), channel_.data().size()));
    }
    // The 'GROL' track is image data too.
    ask(2, id_of(qt_track::grol), 0, 1);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(word(32), 32u);
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, RgbaKeepsItsTypeAndAForeignTypeIsRefusedAfterTheCopy)
{
    qt_movie_settings s = small_movie();
    s.video_format = hx_fourcc("RGBA");
    start(s, [](qt_movie& m) { m.faults(qt_track::grol).desc_type = hx_fourcc("vide"); });
    ask(2, id_of(qt_track::video), 0, 1);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(word(32), hx_fourcc("RGBA"));
    const bytes frame = movie_->expected_frame(0);
    EXPECT_EQ(0, std::memcmp(data(), frame.data(), frame.size()));
    // A 'GROL' track whose procedure says 'vide' is answered as video.
    ask(2, id_of(qt_track::grol), 0, 1);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(word(32), 32u);
    EXPECT_EQ(finish(), noErr);

    s.video_format = hx_fourcc("jpeg");
    start(s);
    ask(2, id_of(qt_track::video), movie_->frame_duration(), 1);
    EXPECT_EQ(word(4), 1u);
    const bytes second = movie_->expected_frame(1);
    EXPECT_EQ(word(24), second.size());
    EXPECT_EQ(0, std::memcmp(data(), second.data(), second.size())) << "the sample stands in the block";
    EXPECT_TRUE(untouched(param(), 28, 116)) << "no description header for a refused format";
    EXPECT_EQ(finish(), noErr) << "a refused request does not fail the export";
}

TEST_F(ScriptedExport, SoundInBothByteOrdersAndRawSoundRefused)
{
    for (OSType format : {hx_fourcc("sowt"), hx_fourcc("twos"), hx_fourcc("raw ")}) {
        qt_movie_settings s = small_movie();
        s.sound_format = format;
        start(s);
        ask(2, id_of(qt_track::sound), 1000, 500);
        const bytes expected = movie_->expected_sound(1000, 500);
        EXPECT_EQ(word(24), expected.size());
        EXPECT_EQ(0, std::memcmp(data(), expected.data(), expected.size()));
        EXPECT_EQ(word(12), 1000u);
        EXPECT_EQ(word(16), 500u);
        if (format == hx_fourcc("raw ")) {
            EXPECT_EQ(word(4), 1u);
        } else {
            EXPECT_EQ(word(4), 0u);
            EXPECT_EQ(0, std::memcmp(param() + 28, movie_->expected_description(qt_track::sound).data(), 36));
            EXPECT_TRUE(untouched(param(), 64, 116));
        }
        EXPECT_EQ(finish(), noErr);
    }
}

TEST_F(ScriptedExport, TextLongerThanTheBlockGoesInPiecesTheEncoderAsksFor)
{
    qt_movie_settings s = small_movie();
    s.has_video = false;
    s.text_length = 100000;
    start(s);
    ASSERT_EQ(channel_.data().size(), 65536u);
    const int32_t text = id_of(qt_track::text);
    const std::string& whole = movie_->text();
    const struct {
        uint32_t offset, length;
    } pieces[] = {{0, 65535}, {65535, 100000 - 65535}, {99999, 1}};
    for (const auto& piece : pieces) {
        ask(2, text, static_cast<int32_t>(piece.offset), 12345);
        EXPECT_EQ(word(4), 0u);
        EXPECT_EQ(word(12), piece.offset);
        EXPECT_EQ(word(16), piece.length);
        EXPECT_EQ(word(24), 100000u);
        EXPECT_EQ(0, std::memcmp(data(), whole.data() + piece.offset, piece.length));
        EXPECT_EQ(data()[piece.length], 0);
        EXPECT_EQ(0, std::memcmp(param() + 28, movie_->expected_description(qt_track::text).data(), 60));
    }
    // At or past the end of the text, nothing is read or written.
    ask(2, text, 100000, 1);
    expect_refused("offset at the end of the text");
    ask(2, text, -5, 1);
    expect_refused("offset far past the end");
    // Whatever the encoder asked, the text track was read as its first sample.
    for (const qt_data_request& r : movie_->journal().data_of(qt_track::text)) {
        EXPECT_EQ(r.requested_time, 0);
        EXPECT_EQ(r.requested_count, 1);
    }
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, TextShorterThanTheBlockGoesWholeAndAFullBlockOfTextInPieces)
{
    qt_movie_settings s = small_movie();
    s.has_video = false;
    s.text_length = 100;
    start(s);
    ask(2, id_of(qt_track::text), 50, 7);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(word(12), 0u);
    EXPECT_EQ(word(16), 100u);
    EXPECT_EQ(0, std::memcmp(data(), movie_->text().data(), 100));
    EXPECT_EQ(data()[100], 0);
    EXPECT_TRUE(untouched(data(), 101, 65536));
    EXPECT_EQ(finish(), noErr);

    s.text_length = 65536;
    start(s);
    ask(2, id_of(qt_track::text), 0, 1);
    EXPECT_EQ(word(16), 65535u);
    ask(2, id_of(qt_track::text), 65535, 1);
    EXPECT_EQ(word(12), 65535u);
    EXPECT_EQ(word(16), 1u);
    EXPECT_EQ(data()[0], static_cast<uint8_t>(movie_->text()[65535]));
    EXPECT_EQ(data()[1], 0);
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, TheBlockFollowsTheLargestFrame)
{
    start(small_movie(), [](qt_movie& m) { m.faults(qt_track::video).image_data_size = 1000000; });
    EXPECT_EQ(channel_.data().size(), 1000000u);
    EXPECT_EQ(finish(), noErr);
    start(small_movie(), [](qt_movie& m) { m.faults(qt_track::video).image_data_size = 0; });
    EXPECT_EQ(channel_.data().size(), 65536u);
    EXPECT_EQ(finish(), noErr);
    qt_movie_settings sound_only = small_movie();
    sound_only.has_video = sound_only.has_text = sound_only.has_grol = false;
    start(sound_only);
    EXPECT_EQ(channel_.data().size(), 65536u);
    ask(0);
    EXPECT_EQ(data_word(0), 1u);
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, EndOfDataIsStatusTwoAndTheLoopGoesOn)
{
    start(small_movie(), [](qt_movie& m) {
        m.faults(qt_track::video).fail_from_time = 300;
        m.faults(qt_track::video).fail_error = eofErr;
    });
    ask(2, id_of(qt_track::video), 360, 1);
    EXPECT_EQ(word(4), 2u);
    EXPECT_TRUE(untouched(param(), 24, 116));
    EXPECT_TRUE(untouched(data(), 0, channel_.data().size()));
    ask(2, id_of(qt_track::video), 60, 1);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, WhatTheEncoderOrTheHostGetsWrongIsRefusedWithoutTouchingTheBlocks)
{
    start(small_movie(), [](qt_movie& m) {
        m.faults(qt_track::sound).extra_data = 70000;  // more than the block holds
        m.faults(qt_track::text).null_data = true;
    });
    for (int32_t bad : {4, 7, -1, 0x7FFFFFFF}) {
        ask(1, bad);
        expect_refused("track info of an unknown track");
        ask(2, bad, 0, 1);
        expect_refused("track data of an unknown track");
    }
    ask(2, id_of(qt_track::sound), 0, 100);
    expect_refused("data larger than the block");
    ask(2, id_of(qt_track::text), 0, 1);
    expect_refused("a null data pointer with a size");
    EXPECT_EQ(finish(), noErr);

    start(small_movie());
    // Every source had a description when the tracks were prepared; now they fail or shrink.
    movie_->faults(qt_track::grol).null_desc = true;
    movie_->faults(qt_track::video).short_desc = true;
    ask(2, id_of(qt_track::grol), 0, 1);
    EXPECT_EQ(word(4), 1u);
    ask(2, id_of(qt_track::video), 0, 1);
    // An 8-byte description still names its pixel format; what its handle lacks reads zero.
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(word(32), 32u);
    for (size_t i = 36; i < 114; ++i)
        EXPECT_EQ(param()[i], 0) << "description header byte " << i;
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, HostResultsAreReadAsSixteenBits)
{
    start(
        small_movie(),
        [](qt_movie& m) {
            m.faults(qt_track::video).fail_from_time = 300;
            m.faults(qt_track::video).fail_error = eofErr;
        },
        true);
    // 'dura' answered: no probing of the data procedures.
    for (const qt_data_request& r : movie_->journal().data)
        EXPECT_EQ(r.requested_time, 0) << qt_track_name(r.track);
    ask(1, id_of(qt_track::sound));
    EXPECT_EQ(static_cast<int32_t>(data_word(12)), movie_->duration(qt_track::sound));
    ask(2, id_of(qt_track::video), 60, 1);
    EXPECT_EQ(word(4), 0u);
    ask(2, id_of(qt_track::video), 360, 1);
    EXPECT_EQ(word(4), 2u) << "end of data, not some other failure";
    EXPECT_EQ(finish(), noErr);
}

TEST_F(ScriptedExport, AnUnservedRequestEndsTheExportAnsweredWithCodeThree)
{
    start(small_movie());
    ask(7);
    EXPECT_EQ(word(0), 3u);
    EXPECT_EQ(word(4), 0u);
    EXPECT_TRUE(wait_pumping(thread_, 10000));
    EXPECT_EQ(result_, noErr);
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, true, exporter_->progress.refcon()), "");
}

TEST_F(ScriptedExport, DurationsFoundByProbingWhenTheHostCannotSay)
{
    qt_movie_settings s = small_movie();
    start(s, [](qt_movie& m) {
        m.faults(qt_track::sound).duration_fails = true;
        m.faults(qt_track::sound).fail_from_time = 1000;
        // Times past the end get the last frame: the search stops when a probe no longer narrows.
        m.faults(qt_track::video).duration_fails = true;
        m.faults(qt_track::video).past_end_repeats_last = true;
    });
    ask(1, id_of(qt_track::sound));
    EXPECT_EQ(data_word(12), 1000u);
    EXPECT_EQ(data_word(16), 0u);
    ask(1, id_of(qt_track::video));
    EXPECT_EQ(static_cast<int32_t>(data_word(12)), movie_->duration(qt_track::video));
    EXPECT_EQ(finish(), noErr);
}

// ---- Progress and the host's Stop --------------------------------------------------------

// The newest update the procedure has been told, once one reports at least `least`.
Fixed update_reaching(const qt_progress& progress, Fixed least)
{
    Fixed seen = -1;
    wait_until(
        [&] {
            for (const qt_progress_call& c : progress.snapshot())
                if (c.message == movieProgressUpdatePercent)
                    seen = c.percent;
            return seen >= least;
        },
        5000);
    return seen;
}

// small_movie(): one second of video (ten frames of 60 at 600) and one of sound (8000 sample
// frames at 8000); the text and the 'GROL' track do not count.
TEST_F(ScriptedExport, ProgressIsThePartOfThePictureAndSoundAskedForAndWholeAtTheDone)
{
    start(small_movie());
    ask(0);
    EXPECT_EQ(update_reaching(exporter_->progress, 0), 0) << "nothing asked yet";
    ask(2, id_of(qt_track::sound), 0, 4000);  // half the sound
    EXPECT_EQ(update_reaching(exporter_->progress, 0x4000), 0x4000);
    ask(2, id_of(qt_track::text), 0, 1);
    ask(2, id_of(qt_track::grol), 0, 1);
    // About ten a second while the encoder is silent: the host keeps its turn.
    const size_t before = exporter_->progress.snapshot().size();
    const DWORD silent_from = GetTickCount();
    Sleep(1000);
    const std::vector<qt_progress_call> quiet = exporter_->progress.snapshot();
    const DWORD silent_ms = GetTickCount() - silent_from;
    EXPECT_EQ(quiet.back().percent, 0x4000) << "the text and the 'GROL' sample do not count";
    const size_t updates = quiet.size() - before;
    std::printf("%u updates in %lu ms of silence\n", static_cast<unsigned>(updates),
                static_cast<unsigned long>(silent_ms));
    EXPECT_GE(updates, 5u);
    EXPECT_LE(updates, 15u);
    for (int32_t frame = 0; frame < 5; ++frame)
        ask(2, id_of(qt_track::video), frame * movie_->frame_duration(), 1);
    EXPECT_EQ(update_reaching(exporter_->progress, 0x8000), 0x8000);  // a quarter more
    // A time asked again, or a track asked backwards, never lowers it.
    ask(2, id_of(qt_track::sound), 0, 10);
    ask(2, id_of(qt_track::sound), 4000, 4000);
    ask(2, id_of(qt_track::video), 300, 1);
    Sleep(300);
    ask(2, id_of(qt_track::video), 540, 1);
    // Everything asked: just short of the whole, which only the done request brings.
    EXPECT_EQ(update_reaching(exporter_->progress, 0xFFFF), 0xFFFF);
    EXPECT_EQ(finish(), noErr);
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, true, exporter_->progress.refcon()), "");
}

// The host's Stop, asked for by a progress procedure that answers non-zero while a request of
// the encoder's is there: that request is answered as stopped (code 3, status 3, nothing else
// written) and the export ends with userCanceledErr.
TEST_F(ScriptedExport, AStopAnswersTheEncodersRequestAsStoppedAndReturnsUserCanceledErr)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    const HANDLE armed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE posted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // On the exporting thread, while the procedure is being called: the encoder's request
    // comes, then the procedure answers Stop.
    on_progress_ = [this, armed, posted](const qt_progress_call& call) -> OSErr {
        if (call.message != movieProgressUpdatePercent || WaitForSingleObject(armed, 0) != WAIT_OBJECT_0)
            return noErr;
        if (WaitForSingleObject(posted, 0) == WAIT_TIMEOUT) {
            channel_.post();
            SetEvent(posted);
        }
        return userCanceledErr;
    };
    start(small_movie());
    ask(0);
    std::memset(channel_.param().payload(), fill, channel_.param().size());
    std::memset(channel_.data().payload(), fill, channel_.data().size());
    set(0, 2);
    SetEvent(armed);
    ASSERT_EQ(WaitForSingleObject(posted, 5000), WAIT_OBJECT_0);
    const HANDLE b = OpenSemaphoreA(SYNCHRONIZE, FALSE, (std::string(prefix) + "sem_b").c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(WaitForSingleObject(b, 5000), WAIT_OBJECT_0) << "the request was answered";
    CloseHandle(b);
    CloseHandle(posted);
    CloseHandle(armed);
    EXPECT_EQ(word(0), 3u);
    EXPECT_EQ(word(4), 3u) << "stopped by the user";
    EXPECT_TRUE(untouched(param(), 8, 116));
    EXPECT_TRUE(untouched(data(), 0, channel_.data().size()));
    EXPECT_TRUE(wait_pumping(thread_, 5000));
    CloseHandle(thread_);
    thread_ = nullptr;
    EXPECT_EQ(result_, userCanceledErr);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Export stopped: the progress procedure asked to cancel",
                                                    userCanceledErr, 303)));
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, false, exporter_->progress.refcon()), "");
}

// No request comes within the grace: nothing is answered, and the export still ends at once.
TEST_F(ScriptedExport, AStopWhileTheEncoderIsSilentAnswersNothingAndEndsAtOnce)
{
    const HANDLE armed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    on_progress_ = [armed](const qt_progress_call&) -> OSErr {
        return WaitForSingleObject(armed, 0) == WAIT_OBJECT_0 ? userCanceledErr : noErr;
    };
    start(small_movie());
    ask(0);
    std::memset(channel_.param().payload(), fill, channel_.param().size());
    SetEvent(armed);
    ASSERT_TRUE(wait_pumping(thread_, 5000));
    CloseHandle(armed);
    const DWORD took = GetTickCount() - exporter_->progress.cancel_asked_at();
    CloseHandle(thread_);
    thread_ = nullptr;
    std::printf("the export returned %lu ms after the procedure asked to stop\n",
                static_cast<unsigned long>(took));
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(result_, userCanceledErr);
    const HANDLE b = OpenSemaphoreA(SYNCHRONIZE, FALSE, (std::string(prefix) + "sem_b").c_str());
    ASSERT_NE(b, nullptr) << "this test still holds the channel";
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nothing was answered";
    CloseHandle(b);
    EXPECT_TRUE(untouched(param(), 0, 116));
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, false, exporter_->progress.refcon()), "");
}

TEST_F(ScriptedExport, ASecondExportOnTheSameInstanceAndAnotherOnTheMachine)
{
    start(small_movie());
    // Once a request is answered the export waits in the kernel, so the second export below
    // is the only one calling the runtime, as on a host's single thread.
    ask(0);
    // While this one holds the channel, another instance's export cannot make its own.
    {
        Exporter other;
        qt_movie movie(small_movie());
        other.add(movie);
        EXPECT_EQ(other.export_now(), memFullErr);
        EXPECT_TRUE(other.progress.calls.empty());
    }
    EXPECT_EQ(finish(), noErr);
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, true, exporter_->progress.refcon()), "");
    exporter_->progress.calls.clear();

    // The same instance again: a new channel, the same tracks.
    thread_ = CreateThread(nullptr, 0, run_export, this, 0, nullptr);
    ASSERT_TRUE(wait_until([&] { return channel_.open(channel_names::from_prefix(prefix), 0); }, 15000));
    ask(0);
    EXPECT_EQ(data_word(0), 4u);
    ask(2, id_of(qt_track::video), 0, 1);
    EXPECT_EQ(word(4), 0u);
    EXPECT_EQ(finish(), noErr);
    EXPECT_EQ(qt_progress_fault(exporter_->progress.calls, true, exporter_->progress.refcon()), "");
}

TEST_F(ScriptedExport, EveryRefusedRequestWritesItsDiagnosticLines)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    qt_movie_settings s = small_movie();
    s.video_format = hx_fourcc("jpeg");
    s.sound_format = hx_fourcc("raw ");
    s.grol_format = hx_fourcc("jpeg");
    start(s, [](qt_movie& m) {
        m.faults(qt_track::video).fail_from_time = 300;
        m.faults(qt_track::video).fail_error = eofErr;
    });
    ask(2, id_of(qt_track::video), 0, 1);
    EXPECT_TRUE(
        capture.saw(quillex_diagnostic_line("GetTrackData: image data is in an invalid format", -50, 746)));
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Error getting track data", -50, 268)));
    ask(2, id_of(qt_track::video), 360, 1);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("GetTrackData: Error getting sample data", -39, 691)));
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Error getting track data", -39, 268)));
    ask(2, id_of(qt_track::grol), 0, 1);
    EXPECT_TRUE(
        capture.saw(quillex_diagnostic_line("GetTrackData: image data is in an invalid format", -50, 783)));
    ask(2, id_of(qt_track::sound), 0, 10);
    EXPECT_TRUE(
        capture.saw(quillex_diagnostic_line("GetTrackData: sound data is in an invalid format", -50, 764)));
    movie_->faults(qt_track::text).desc_type = hx_fourcc("abcd");
    ask(2, id_of(qt_track::text), 0, 1);
    EXPECT_TRUE(
        capture.saw(quillex_diagnostic_line("GetTrackData: data is not of a recognized type", -50, 797)));
    ask(9);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Unrecognized data request", -1, 275)));
    EXPECT_TRUE(wait_pumping(thread_, 10000));
    EXPECT_EQ(result_, noErr);
}

TEST(ExportDiagnostics, FailuresBeforeTheChannelWriteTheirLines)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    {
        qt_movie movie(small_movie());
        movie.faults(qt_track::sound).fail_from_time = 0;
        movie.faults(qt_track::sound).fail_error = -2010;
        Exporter exporter;
        exporter.add(movie);
        EXPECT_EQ(exporter.export_now(), -2010);
    }
    EXPECT_TRUE(capture.saw(
        quillex_diagnostic_line("SetTrackProperties: Could not get SampleDescription", -2010, 527)));
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Failed to set track properties", -2010, 211)));

    // Names already held: the channel cannot be made.
    HANDLE held = CreateSemaphoreA(nullptr, 0, 1, "TessoraQTExportsem_b");
    ASSERT_NE(held, nullptr);
    {
        qt_movie movie(small_movie());
        Exporter exporter;
        exporter.add(movie);
        EXPECT_EQ(exporter.export_now(), memFullErr);
    }
    CloseHandle(held);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("InitIpc: could not create IPC components", -108, 853)));
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Failed to initialize IPC communication", -108, 220)));
    EXPECT_FALSE(channel_exists());
}

// Takes the encoder's registration away for a test and writes it back after.
class without_registered_encoder {
public:
    without_registered_encoder() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvex"); }
    ~without_registered_encoder()
    {
        test_process registrar;
        EXPECT_TRUE(registrar.start(bin_dir() + "encoder.exe", "--register"));
        EXPECT_EQ(registrar.wait_exit(20000), 0u);
    }
    without_registered_encoder(const without_registered_encoder&) = delete;
    without_registered_encoder& operator=(const without_registered_encoder&) = delete;
};

TEST(ExportDiagnostics, NoEncoderRunningOrInstalledIsFnfErrAfterTheMessage)
{
    ASSERT_EQ(FindWindowA("MainClassW", nullptr), nullptr);
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    const without_registered_encoder gone;
    message_box_watch box("Tessora Export Component");
    qt_movie movie(small_movie());
    Exporter exporter;
    exporter.add(movie);
    EXPECT_EQ(exporter.export_now(), fnfErr);
    const message_box_watch::seen& seen = box.result();
    EXPECT_TRUE(seen.found);
    EXPECT_EQ(seen.text, "Cannot find Tessora or Tessora EZ on your system");
    EXPECT_TRUE(seen.error_icon);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Failed to launch tessora", -43, 230)));
    EXPECT_TRUE(exporter.progress.calls.empty());
    EXPECT_FALSE(channel_exists());
}

// ---- Exports that fail before the channel -----------------------------------------------------

TEST(EarlyFailure, ATrackWithoutDataFailsBeforeTheChannelAndProgress)
{
    ASSERT_FALSE(channel_exists());
    qt_movie movie(small_movie());
    movie.faults(qt_track::sound).fail_from_time = 0;
    movie.faults(qt_track::sound).fail_error = -2010;
    Exporter exporter;
    exporter.add(movie);
    EXPECT_EQ(exporter.export_now(), -2010);
    EXPECT_TRUE(exporter.progress.calls.empty());
    EXPECT_FALSE(channel_exists());
    // Later tracks were not visited.
    EXPECT_EQ(movie.journal().data_count(qt_track::text), 0u);
}

TEST(EarlyFailure, ATrackWithoutADescriptionFailsWithParamErr)
{
    qt_movie movie(small_movie());
    movie.faults(qt_track::video).null_desc = true;
    Exporter exporter;
    exporter.add(movie);
    EXPECT_EQ(exporter.export_now(), paramErr);
    EXPECT_TRUE(exporter.progress.calls.empty());
    EXPECT_FALSE(channel_exists());
}

// ---- The stand-in encoder, started through the registry ----------------------------------------

class StandInExport : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(channel_exists());
        out_ = temp_file("qt_export");
        CreateDirectoryA(out_.c_str(), nullptr);
        SetEnvironmentVariableA("HX_ENCODER_OUT", out_.c_str());
        SetEnvironmentVariableA("HX_ENCODER_LOG", log_path().c_str());
        SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--audio-chunk 1000");
    }
    void TearDown() override { EXPECT_FALSE(channel_exists()) << "the export left its channel open"; }

    ComponentResult run(qt_movie& movie, Exporter& exporter)
    {
        DeleteFileA(log_path().c_str());
        exporter.add(movie);
        const ComponentResult result = exporter.export_now();
        // The encoder has written its files before it answered the end; it lets go of the
        // channel's names when it exits (or dies).
        wait_until([&] { return !channel_exists(); }, 10000);
        return result;
    }
    std::string log_path() const { return out_ + "\\encoder.log"; }
    std::string log() const { return read_file(log_path()); }

    std::string out_;
};

TEST_F(StandInExport, EveryFrameSampleAndTextByteArrivesAsTheHostServedIt)
{
    qt_movie_settings s = small_movie();
    s.seconds = 2;
    s.text_length = 70000;  // longer than the 65536-byte block: fetched in pieces
    qt_movie movie(s);
    Exporter exporter;
    ASSERT_EQ(run(movie, exporter), noErr) << log();
    EXPECT_EQ(qt_progress_fault(exporter.progress.calls, true, exporter.progress.refcon()), "");

    const avi_contents avi = read_avi(out_ + "\\quicktime_export.avi");
    ASSERT_TRUE(avi.riff);
    EXPECT_EQ(avi.width, 64);
    EXPECT_EQ(avi.height, 48);
    EXPECT_EQ(avi.bits, 32);
    ASSERT_EQ(avi.frames.size(), 20u);
    for (int32_t f = 0; f < 20; ++f) {
        int wrong = 0;
        for (int32_t y = 0; y < 48; ++y)
            for (int32_t x = 0; x < 64; ++x) {
                uint32_t stored;  // B, G, R, A in bottom-up rows: an ARGB value little-endian
                std::memcpy(&stored, &avi.frames[f][((47 - y) * 64 + x) * 4], 4);
                wrong += stored != qt_movie::pixel(f, x, y);
            }
        EXPECT_EQ(wrong, 0) << "frame " << f;
    }
    EXPECT_EQ(avi.audio_channels, 2);
    EXPECT_EQ(avi.audio_rate, 8000);
    EXPECT_EQ(avi.audio_bits, 16);
    ASSERT_EQ(avi.samples.size(), 2u * 16000u);
    int wrong = 0;
    for (int64_t i = 0; i < 16000; ++i)
        for (int c = 0; c < 2; ++c)
            wrong += avi.samples[i * 2 + c] != movie.expected_sample(i, c);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(read_file(out_ + "\\quicktime_export.maml.txt"), movie.text());
}

// An encoder killed at each request of an export: road_tests.cpp.
TEST_F(StandInExport, AHostileEncoderLeavesTheHostAliveAndTheExportReturns)
{
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", "--hostile 3000");
    qt_movie movie(small_movie());
    Exporter exporter;
    EXPECT_EQ(run(movie, exporter), noErr) << log();
    EXPECT_EQ(qt_progress_fault(exporter.progress.calls, true, exporter.progress.refcon()), "");
}

TEST(DemoProgram, ExportsAPlayableMovieAndItsText)
{
    const std::string out = temp_file("qt_demo");
    test_process host;
    ASSERT_TRUE(host.start(bin_dir() + "quicktime_host.exe", "--out \"" + out + "\" --seconds 1 --quiet"));
    ASSERT_EQ(host.wait_exit(60000), 0u) << read_file(out + "\\quicktime_encoder.log");

    const avi_contents avi = read_avi(out + "\\quicktime_export.avi");
    ASSERT_TRUE(avi.riff);
    EXPECT_TRUE(avi.has_index);
    EXPECT_EQ(avi.width, 320);
    EXPECT_EQ(avi.height, 240);
    ASSERT_EQ(avi.frames.size(), 30u);
    EXPECT_EQ(avi.audio_channels, 2);
    EXPECT_EQ(avi.audio_rate, 44100);
    EXPECT_EQ(avi.samples.size(), 2u * 44100u);
    uint32_t corner;  // the top right pixel of the last frame, bottom-up rows
    std::memcpy(&corner, &avi.frames[29][(239 * 320 + 319) * 4], 4);
    EXPECT_EQ(corner, qt_movie::pixel(29, 319, 0));
    // The program's text is longer than the 307,200-byte block, so it came in pieces.
    qt_movie_settings s;
    s.text_length = 400000;
    EXPECT_EQ(read_file(out + "\\quicktime_export.maml.txt"), qt_movie(s).text());
    EXPECT_NE(read_file(out + "\\quicktime_encoder.log").find("in 2 piece(s)"), std::string::npos);
}

}  // namespace
