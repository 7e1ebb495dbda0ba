// The QuickTime host stand-in as a program: opens 'spit'/'Duff' through the QuickTime runtime
// and exports a generated movie from procedures (a moving pattern with a binary frame counter, a
// stereo tone, a 'MAML' text longer than the component's data block, a small 'GROL' track). The
// component finds or starts the encoder itself. Options: see `usage`.
//
// Like a real QuickTime host it has a main window of its own, and its progress procedure keeps
// that window answering (each call dispatches the thread's pending messages). It prints the
// progress it is told, and how long the window ever left a message unanswered during the
// export, as Windows' "Not Responding" check asks it (responsiveness_probe.h).
//
// Without --qtx the component is the one QuickTime registered from its components folders when it
// started (QTComponents under its InstallDir, the system folder's QuickTime folder), as a
// QuickTime host finds it, or else Quillex.qtx beside this program; --qtx PATH registers that file
// and uses its component. The program says which file it took.
// Every message box the component shows is printed with its caption and text; without --attended
// it is answered as a user would (OK, or the next of --answer-box for a box that asks).
// --out is handed to the encoder (HX_ENCODER_OUT) with its log (FOLDER\quicktime_encoder.log).
// Exit status: 0 when every step succeeded, 1 when one failed, 2 for bad arguments, 3 when
// the component could not be loaded.
#include "box_answerer.h"
#include "command_line.h"
#include "quicktime_host.h"
#include "responsiveness_probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct options {
    std::string qtx;
    std::string out;
    qt_movie_settings movie;
    bool progress = true;
    bool cancel = false;
    int cancel_at = -1;  // percent
    bool quiet = false;
    bool attended = false;
    std::vector<int> box_answers;
};

const char usage[] =
    "usage: quicktime_host.exe [--qtx PATH] [--out FOLDER] [--seconds N] [--width W --height H] [--fps N]\n"
    "                          [--time-scale N] [--video-format raw|RGBA|FOUR] [--sound-format sowt|twos]\n"
    "                          [--rate N] [--text-length N] [--no-video] [--no-sound] [--no-text]\n"
    "                          [--no-grol] [--no-progress] [--cancel] [--cancel-at PERCENT] [--quiet]\n"
    "                          [--answer-box ANSWERS] [--attended]\n"
    "  --qtx PATH      the component file (default: the one QuickTime found in its components\n"
    "                  folders, else Quillex.qtx beside this program)\n"
    "  --out FOLDER    where the encoder writes its files and quicktime_encoder.log\n"
    "  --cancel        the progress procedure asks to cancel; --quiet: it prints nothing\n"
    "  --cancel-at PERCENT  it asks to cancel once the export has reported PERCENT (0 to 100)\n"
    "  --answer-box ANSWERS  how message boxes that ask are answered, in turn: retry,cancel ...\n"
    "                  (Cancel once the list has run out; boxes with OK only are answered OK)\n"
    "  --attended      leave the message boxes to the person at the display\n";

bool parse(int argc, char** argv, options& o, std::string* error)
{
    qt_movie_settings& m = o.movie;
    m.sound_rate = 44100;
    m.text_length = 400000;  // longer than a 320 x 240 frame: the encoder fetches it in pieces
    command_line args(argc, argv);
    const auto fourcc = [&](OSType* code) {
        std::string text;
        if (!args.text(&text))
            return;
        if (text.empty() || text.size() > 4) {
            args.fail(args.option() + ": '" + text + "' is not a four-character code");
            return;
        }
        char padded[5] = {' ', ' ', ' ', ' ', 0};
        std::memcpy(padded, text.data(), text.size());
        *code = hx_fourcc(padded);
    };
    while (args.next()) {
        if (args.is("--qtx"))
            args.text(&o.qtx);
        else if (args.is("--out"))
            args.text(&o.out);
        else if (args.is("--seconds"))
            args.number(&m.seconds, 1, 3600);
        else if (args.is("--width"))
            args.number(&m.width, 1, 16384);
        else if (args.is("--height"))
            args.number(&m.height, 1, 16384);
        else if (args.is("--fps"))
            args.number(&m.fps, 1, 1000);
        else if (args.is("--time-scale"))
            args.number(&m.video_time_scale, 1);
        else if (args.is("--video-format"))
            fourcc(&m.video_format);
        else if (args.is("--sound-format"))
            fourcc(&m.sound_format);
        else if (args.is("--rate"))
            args.number(&m.sound_rate, 1);
        else if (args.is("--text-length"))
            args.number(&m.text_length, 0);
        else if (args.is("--no-video"))
            m.has_video = false;
        else if (args.is("--no-sound"))
            m.has_sound = false;
        else if (args.is("--no-text"))
            m.has_text = false;
        else if (args.is("--no-grol"))
            m.has_grol = false;
        else if (args.is("--no-progress"))
            o.progress = false;
        else if (args.is("--cancel"))
            o.cancel = true;
        else if (args.is("--cancel-at"))
            args.number(&o.cancel_at, 0, 100);
        else if (args.is("--quiet"))
            o.quiet = true;
        else if (args.is("--answer-box"))
            box_answerer::read_answers(args, &o.box_answers);
        else if (args.is("--attended"))
            o.attended = true;
        else
            args.unknown();
    }
    if (args.ok() && !m.valid())
        args.fail("these settings make no movie (a format or size the movie cannot serve)");
    *error = args.error();
    return args.ok();
}

std::string beside_this_program(const char* name)
{
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

// The stand-in encoder's one-line summary from its log. It writes the summary before its done
// request, and its first line names its process: while that process lives, the log is read
// again until the summary or the encoder's last line is there. A log that names no process (an
// encoder of one's own writes none) or whose process has ended is read once.
std::string encoder_summary(const std::string& log)
{
    if (log.empty())
        return "";
    const auto read = [&] {
        std::ifstream in(log, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::string text = read();
    unsigned long pid = 0;
    const size_t named = text.find("] start pid ");
    HANDLE process = named != std::string::npos && std::sscanf(text.c_str() + named + 12, "%lu", &pid) == 1
                         ? OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid))
                         : nullptr;
    for (int tries = 0; process != nullptr && tries < 500; ++tries) {
        if (text.find("] summary ") != std::string::npos || text.find("] exit ") != std::string::npos)
            break;
        const bool gone = WaitForSingleObject(process, 20) == WAIT_OBJECT_0;
        text = read();
        if (gone)
            break;
    }
    if (process != nullptr)
        CloseHandle(process);
    const size_t at = text.find("] summary ");
    if (at == std::string::npos)
        return "";
    const size_t from = at + 10;
    return text.substr(from, text.find_first_of("\r\n", from) - from);
}

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return DefWindowProcA(window, message, wparam, lparam);
}

// The host's own top-level window, up before the export as a host's document window is. Null
// where there is no display; the export goes on without it.
HWND create_main_window()
{
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = main_window_procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = "QuickTimeHostStandIn";
    RegisterClassA(&window_class);
    const HWND window =
        CreateWindowA("QuickTimeHostStandIn", "QuickTime host (stand-in)", WS_OVERLAPPEDWINDOW, 40, 40, 480,
                      320, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window != nullptr) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
    }
    return window;
}

void print_result(const char* step, ComponentResult result)
{
    std::printf("%s: %ld%s\n", step, static_cast<long>(result), result == 0 ? "" : " (failed)");
}

int run(int argc, char** argv)
{
    options o;
    const int status = read_options(argc, argv, "quicktime_host", usage,
                                    [&](std::string* error) { return parse(argc, argv, o, error); });
    if (status >= 0)
        return status;
    std::string log;
    if (!o.out.empty()) {
        CreateDirectoryA(o.out.c_str(), nullptr);
        log = o.out + "\\quicktime_encoder.log";
        DeleteFileA(log.c_str());
        SetEnvironmentVariableA("HX_ENCODER_OUT", o.out.c_str());
        SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
    }

    quicktime_host host;
    std::string error;
    const bool found = !o.qtx.empty() ? host.load_component(o.qtx, &error)
                                      : host.find_installed_component(&error) ||
                                            host.load_component(beside_this_program("Quillex.qtx"), &error);
    if (!found) {
        std::fprintf(stderr, "quicktime_host: %s\n", error.c_str());
        return 3;
    }
    std::printf("component: 'spit'/'Duff' from %s\n", host.component_file().c_str());

    qt_movie movie(o.movie);
    const qt_movie_settings& m = movie.settings();
    std::printf("movie: %d x %d at %d frames a second (time scale %d), %d seconds, video %s, sound %s %d Hz, "
                "text of %d bytes, 'GROL' %d x %d\n",
                m.width, m.height, m.fps, m.video_time_scale, m.seconds,
                qt_fourcc_text(m.video_format).c_str(), qt_fourcc_text(m.sound_format).c_str(), m.sound_rate,
                m.text_length, m.grol_width, m.grol_height);
    std::fflush(stdout);

    const HWND window = create_main_window();
    if (window == nullptr)
        std::printf("main window: none (no display)\n");
    else
        std::printf("main window: 0x%08lx \"QuickTime host (stand-in)\"\n",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window)));
    std::fflush(stdout);

    qt_progress progress;
    progress.print = !o.quiet;
    progress.answer = o.cancel ? userCanceledErr : noErr;
    progress.cancel_at =
        o.cancel_at >= 0 ? static_cast<Fixed>(static_cast<int64_t>(o.cancel_at) * 65536 / 100) : -1;
    progress.dispatch_messages = true;
    qt_export_plan plan;
    plan.set_progress = o.progress;
    qt_export_results r;
    DWORD returned_at = 0;
    {
        box_answerer box_watch(box_answerer::for_program(o.box_answers, o.attended));
        responsiveness_probe probe(window);
        r = run_export(host, movie, &progress, plan);
        returned_at = GetTickCount();
        probe.finish();
        if (window != nullptr)
            probe.print();
    }
    if (o.progress && !o.quiet)
        progress.print_summary();
    if (const DWORD asked = progress.cancel_asked_at())
        std::printf("cancel: the export returned %lu ms after the progress procedure asked to cancel\n",
                    static_cast<unsigned long>(returned_at - asked));

    if (r.instance == nullptr) {
        std::printf("open: failed\n");
        return 1;
    }
    std::printf("open: instance 0x%08lx\n", static_cast<unsigned long>(qt_glue::slot(r.instance)));
    if (o.progress)
        print_result("set progress procedure", r.set_progress);
    for (const qt_source_result& s : r.sources) {
        std::printf("add data source '%s' (time scale %d): %ld, track ID %d\n", qt_track_name(s.track),
                    movie.time_scale(s.track), static_cast<long>(s.result), s.track_id);
    }
    print_result("export from procedures", r.exported);
    if (r.exported == fnfErr)  // the component found no encoder to wake or start
        std::fprintf(stderr, "quicktime_host: no encoder is running, and none is registered under "
                             "HKLM\\SOFTWARE\\Halvex\\ (LatestPro or LatestEZ) or its program is missing\n");
    if (!r.data_ref_untouched)
        std::printf("the data reference was changed\n");
    print_result("close", r.closed);
    for (qt_track track : qt_all_tracks)
        if (m.present(track))
            std::printf("track '%s': %u data requests\n", qt_track_name(track),
                        static_cast<unsigned>(movie.journal().data_count(track)));
    const std::string summary = encoder_summary(log);
    if (!summary.empty())
        std::printf("encoder: %s\n", summary.c_str());
    else if (!log.empty())
        std::printf("encoder: no summary in %s\n", log.c_str());
    return r.succeeded() && r.data_ref_untouched ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (...) {
        std::fprintf(stderr, "quicktime_host: out of memory\n");
        return 1;
    }
}
