// The export's steps against a small component played by the call function: it reads each
// block as a component does, keeps the procedures it is handed and calls them back.
#include "local_handles.h"
#include "quicktime_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const ComponentInstance instance = reinterpret_cast<ComponentInstance>(0x00005150);

struct added_source {
    OSType type;
    int32_t scale;
    MovieExportGetPropertyProc property;
    MovieExportGetDataProc data;
    void* ref_con;
};

// What the played component saw and did.
struct played_component {
    std::vector<int16_t> selectors;
    std::vector<ComponentInstance> instances;
    MovieProgressProc progress = nullptr;
    int32_t progress_refcon = 0;
    std::vector<OSErr> progress_answers;
    std::vector<added_source> sources;
    int32_t next_id = 0;
    Handle data_ref = nullptr;
    OSType data_ref_type = 0;
    std::string data_ref_text;
    std::vector<OSErr> data_results;
    std::vector<TimeRecord> durations;
    bool scribble_data_ref = false;
    ComponentResult export_result = 0;
};
played_component component;

int32_t slot_of(const ComponentParameters* p, int i)
{
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(p) + 4 + 4 * i, 4);
    return v;
}

template <typename T> T pointer_of(const ComponentParameters* p, int i)
{
    return reinterpret_cast<T>(static_cast<uintptr_t>(static_cast<uint32_t>(slot_of(p, i))));
}

ComponentResult __cdecl play(ComponentInstance ci, ComponentParameters* p)
{
    played_component& c = component;
    c.selectors.push_back(p->what);
    c.instances.push_back(ci);
    switch (p->what) {
    case kMovieExportSetProgressProcSelect:
        c.progress = pointer_of<MovieProgressProc>(p, 0);
        c.progress_refcon = slot_of(p, 1);
        return 0;
    case kMovieExportAddDataSourceSelect: {
        if (p->paramSize != 24)
            return paramErr;
        c.sources.push_back({static_cast<OSType>(slot_of(p, 0)), slot_of(p, 1),
                             pointer_of<MovieExportGetPropertyProc>(p, 3),
                             pointer_of<MovieExportGetDataProc>(p, 4), pointer_of<void*>(p, 5)});
        *pointer_of<int32_t*>(p, 2) = c.next_id++;
        return 0;
    }
    case kMovieExportFromProceduresToDataRefSelect: {
        c.data_ref = pointer_of<Handle>(p, 0);
        c.data_ref_type = static_cast<OSType>(slot_of(p, 1));
        if (c.data_ref != nullptr)
            c.data_ref_text = *c.data_ref;
        if (c.progress)
            c.progress_answers.push_back(
                c.progress(nullptr, movieProgressOpen, progressOpExportMovie, 0, c.progress_refcon));
        for (size_t i = 0; i < c.sources.size(); ++i) {
            const added_source& s = c.sources[i];
            MovieExportGetDataParams request{};
            request.recordSize = sizeof request;
            request.trackID = static_cast<int32_t>(i);
            request.sourceTimeScale = s.scale;
            request.requestedSampleCount = 1;
            c.data_results.push_back(s.data(s.ref_con, &request));
            TimeRecord duration{};
            s.property(s.ref_con, 0, hx_fourcc("dura"), &duration);
            c.durations.push_back(duration);
        }
        if (c.progress)
            c.progress_answers.push_back(
                c.progress(nullptr, movieProgressClose, progressOpExportMovie, 0, c.progress_refcon));
        if (c.scribble_data_ref && c.data_ref != nullptr)
            (*c.data_ref)[0] = 'X';
        return c.export_result;
    }
    default:
        return badComponentSelector;
    }
}

class played_host : public quicktime_host {
public:
    ComponentInstance open() override
    {
        ++opens;
        return open_fails ? nullptr : instance;
    }
    OSErr close(ComponentInstance ci) override
    {
        closed.push_back(ci);
        return noErr;
    }
    int opens = 0;
    bool open_fails = false;
    std::vector<ComponentInstance> closed;
};

qt_movie_settings small_movie()
{
    qt_movie_settings s;
    s.width = 64;
    s.height = 16;
    s.seconds = 1;
    s.text_length = 1000;
    return s;
}

class export_steps : public ::testing::Test {
protected:
    void SetUp() override { component = played_component(); }
    void TearDown() override { EXPECT_TRUE(local_handles::live().empty()); }
    qt_glue::scoped_call_component scope{play};
    played_host host;
};

}  // namespace

TEST_F(export_steps, open_progress_sources_export_close_in_that_order)
{
    qt_progress progress;
    qt_export_results r;
    {
        qt_movie movie(small_movie(), local_handles::allocator());
        r = run_export(host, movie, &progress);
        EXPECT_TRUE(r.succeeded());
        EXPECT_TRUE(r.data_ref_untouched);

        const std::vector<int16_t> expected = {0x84, 0x8A, 0x8A, 0x8A, 0x8A, 0x89};
        EXPECT_EQ(component.selectors, expected);
        for (ComponentInstance ci : component.instances)
            EXPECT_EQ(ci, instance);
        EXPECT_EQ(host.opens, 1);
        EXPECT_EQ(host.closed, std::vector<ComponentInstance>{instance});

        ASSERT_EQ(r.sources.size(), 4u);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(r.sources[i].track_id, i);
            EXPECT_EQ(r.sources[i].result, 0);
            EXPECT_EQ(component.sources[i].type, qt_movie::media_type(r.sources[i].track));
            EXPECT_EQ(component.sources[i].scale, movie.time_scale(r.sources[i].track));
        }

        // The component reached every track through the procedures and references it was given.
        EXPECT_EQ(component.data_results, std::vector<OSErr>(4, noErr));
        for (qt_track track : qt_all_tracks) {
            ASSERT_EQ(movie.journal().data_count(track), 1u) << qt_track_name(track);
            EXPECT_EQ(movie.journal().data_of(track)[0].track_id, int32_t(track));
            EXPECT_EQ(component.durations[size_t(track)].value_lo, uint32_t(movie.duration(track)));
        }
        EXPECT_EQ(component.data_ref_type, hx_fourcc("hndl"));
        EXPECT_EQ(component.data_ref_text, "quicktime_export");
    }
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[0].message, movieProgressOpen);
    EXPECT_EQ(progress.calls[1].message, movieProgressClose);
    EXPECT_EQ(progress.calls[0].operation, progressOpExportMovie);
    EXPECT_EQ(progress.calls[0].refcon, progress.refcon());
    EXPECT_EQ(component.progress_answers, (std::vector<OSErr>{noErr, noErr}));
}

TEST_F(export_steps, a_cancelling_progress_procedure_answers_non_zero)
{
    qt_progress progress;
    progress.answer = -128;
    qt_movie movie(small_movie(), local_handles::allocator());
    const qt_export_results r = run_export(host, movie, &progress);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(component.progress_answers, (std::vector<OSErr>{-128, -128}));
    EXPECT_EQ(progress.calls.size(), 2u);
}

TEST_F(export_steps, without_sound_and_progress_the_steps_shrink)
{
    qt_movie_settings s = small_movie();
    s.has_sound = false;
    qt_movie movie(s, local_handles::allocator());
    qt_export_plan plan;
    plan.set_progress = false;
    const qt_export_results r = run_export(host, movie, nullptr, plan);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(component.selectors, (std::vector<int16_t>{0x8A, 0x8A, 0x8A, 0x89}));
    EXPECT_EQ(component.sources[1].type, hx_fourcc("MAML"));
    EXPECT_EQ(movie.journal().data_count(qt_track::sound), 0u);
}

TEST_F(export_steps, a_failed_open_stops_before_any_call)
{
    host.open_fails = true;
    qt_progress progress;
    qt_movie movie(small_movie(), local_handles::allocator());
    const qt_export_results r = run_export(host, movie, &progress);
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.ran);
    EXPECT_TRUE(component.selectors.empty());
    EXPECT_TRUE(host.closed.empty());
}

TEST_F(export_steps, each_steps_result_is_reported)
{
    component.export_result = fnfErr;
    qt_progress progress;
    qt_movie movie(small_movie(), local_handles::allocator());
    const qt_export_results r = run_export(host, movie, &progress);
    EXPECT_EQ(r.exported, fnfErr);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(host.closed.size(), 1u) << "the instance is closed after a failed export";
}

TEST_F(export_steps, a_changed_data_reference_shows)
{
    component.scribble_data_ref = true;
    qt_movie movie(small_movie(), local_handles::allocator());
    const qt_export_results r = run_export(host, movie, nullptr);
    EXPECT_FALSE(r.data_ref_untouched);
}

TEST(progress_procedure, records_what_it_is_told_and_gives_its_answer)
{
    qt_progress progress;
    EXPECT_EQ(progress.proc()(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0x8000,
                              progress.refcon()),
              noErr);
    progress.answer = 1;
    EXPECT_EQ(progress.proc()(reinterpret_cast<Movie>(4), movieProgressClose, 3, 0x10000, progress.refcon()),
              1);
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[0].message, movieProgressUpdatePercent);
    EXPECT_EQ(progress.calls[0].percent, 0x8000);
    EXPECT_EQ(progress.calls[1].movie, reinterpret_cast<Movie>(4));
    EXPECT_EQ(progress.calls[1].operation, 3);
    EXPECT_EQ(progress.calls[1].refcon, progress.refcon());
}

TEST(progress_procedure, cancel_at_answers_stop_from_the_update_that_reaches_it)
{
    qt_progress progress;
    progress.cancel_at = 0x8000;
    const MovieProgressProc proc = progress.proc();
    EXPECT_EQ(proc(nullptr, movieProgressOpen, progressOpExportMovie, 0, progress.refcon()), noErr);
    EXPECT_EQ(proc(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0x7FFF, progress.refcon()),
              noErr);
    EXPECT_EQ(progress.cancel_asked_at(), 0u);
    EXPECT_EQ(proc(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0x8000, progress.refcon()),
              userCanceledErr);
    EXPECT_NE(progress.cancel_asked_at(), 0u);
    EXPECT_EQ(proc(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0x8000, progress.refcon()),
              userCanceledErr);
    // The close message is no request to stop.
    EXPECT_EQ(proc(nullptr, movieProgressClose, progressOpExportMovie, 0, progress.refcon()), noErr);
}

LRESULT CALLBACK counting_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_USER + 7) {
        ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

TEST(progress_procedure, dispatches_the_threads_messages_when_asked_to)
{
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = counting_window;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "progress_dispatch_test";
    RegisterClassA(&window_class);
    // A message-only window: no display needed.
    const HWND window = CreateWindowA("progress_dispatch_test", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    int dispatched = 0;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&dispatched));
    qt_progress progress;
    PostMessageA(window, WM_USER + 7, 0, 0);
    progress.proc()(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0, progress.refcon());
    EXPECT_EQ(dispatched, 0) << "not unless asked";
    progress.dispatch_messages = true;
    progress.proc()(nullptr, movieProgressUpdatePercent, progressOpExportMovie, 0, progress.refcon());
    EXPECT_EQ(dispatched, 1);
    DestroyWindow(window);
}

TEST(progress_fault, names_what_an_export_told_wrongly)
{
    const int32_t refcon = 0x1234;
    auto call = [&](int16_t message, Fixed percent) {
        return qt_progress_call{nullptr, message, progressOpExportMovie, percent, refcon};
    };
    const qt_progress_call open = call(movieProgressOpen, 0), close = call(movieProgressClose, 0);
    const qt_progress_call half = call(movieProgressUpdatePercent, 0x8000),
                           third = call(movieProgressUpdatePercent, 0x5555),
                           whole = call(movieProgressUpdatePercent, qt_progress_whole);
    EXPECT_EQ(qt_progress_fault({open, half, half, whole, close}, true, refcon), "");
    EXPECT_EQ(qt_progress_fault({open, third, half, close}, false, refcon), "");
    EXPECT_EQ(qt_progress_fault({open, close}, false, refcon), "");
    EXPECT_EQ(qt_progress_fault({open, half}, false, refcon), "the last call is not close at 0");
    EXPECT_EQ(qt_progress_fault({half, close}, false, refcon), "the first call is not open at 0");
    EXPECT_EQ(qt_progress_fault({open, half, third, close}, false, refcon),
              "call 2 fell from 32768 to 21845");
    EXPECT_EQ(qt_progress_fault({open, whole, half, close}, false, refcon),
              "call 1 reports 65536 before the last update");
    EXPECT_EQ(qt_progress_fault({open, whole, whole, close}, true, refcon),
              "call 1 reports 65536 before the last update");
    EXPECT_EQ(qt_progress_fault({open, half, close}, true, refcon),
              "a finished export never reported the whole");
    EXPECT_EQ(qt_progress_fault({open, whole, close}, false, refcon),
              "an export that did not finish reported the whole");
    EXPECT_EQ(qt_progress_fault({open, open, close}, false, refcon),
              "call 1 between open and close is message 0");
    EXPECT_EQ(qt_progress_fault({open, half, close}, false, 99),
              "call 0 has another operation, movie or refcon");
}
