// The QuickTime host stand-in as a program: opens 'spit'/'Duff' through the QuickTime runtime
// and exports a generated movie from procedures (a moving pattern with a binary frame counter, a
// stereo tone, a 'MAML' text longer than the component's data block, a small 'GROL' track). The
// component finds or starts the encoder itself.
//
//   quicktime_host.exe [--qtx PATH] [--out FOLDER] [--seconds N] [--width W --height H] [--fps N]
//                      [--time-scale N] [--video-format raw|RGBA|FOUR] [--sound-format sowt|twos]
//                      [--rate N] [--text-length N] [--no-video] [--no-sound] [--no-text]
//                      [--no-grol] [--no-progress] [--cancel] [--quiet]
//
// Without --qtx the component is the one QuickTime registered from its components folders when it
// started (QTComponents under its InstallDir, the system folder's QuickTime folder); --qtx PATH
// registers that file and uses its component. --out is handed to the encoder
// (HX_ENCODER_OUT) with its log (FOLDER\quicktime_encoder.log). --cancel makes the progress procedure
// ask to cancel; --quiet stops it printing.
// Exit status: 0 when every step succeeded, 1 when one failed, 2 for bad arguments, 3 when
// the component could not be loaded.
#include "quicktime_host.h"

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
    bool quiet = false;
};

bool fourcc_argument(const char* text, OSType* code)
{
    char padded[5] = {' ', ' ', ' ', ' ', 0};
    const size_t n = std::strlen(text);
    if (n == 0 || n > 4)
        return false;
    std::memcpy(padded, text, n);
    *code = hx_fourcc(padded);
    return true;
}

bool parse(int argc, char** argv, options& o)
{
    qt_movie_settings& m = o.movie;
    m.sound_rate = 44100;
    m.text_length = 400000;  // longer than a 320 x 240 frame: the encoder fetches it in pieces
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--qtx" && has_value)
            o.qtx = argv[++i];
        else if (a == "--out" && has_value)
            o.out = argv[++i];
        else if (a == "--seconds" && has_value)
            m.seconds = std::atoi(argv[++i]);
        else if (a == "--width" && has_value)
            m.width = std::atoi(argv[++i]);
        else if (a == "--height" && has_value)
            m.height = std::atoi(argv[++i]);
        else if (a == "--fps" && has_value)
            m.fps = std::atoi(argv[++i]);
        else if (a == "--time-scale" && has_value)
            m.video_time_scale = std::atoi(argv[++i]);
        else if (a == "--video-format" && has_value) {
            if (!fourcc_argument(argv[++i], &m.video_format))
                return false;
        } else if (a == "--sound-format" && has_value) {
            if (!fourcc_argument(argv[++i], &m.sound_format))
                return false;
        } else if (a == "--rate" && has_value)
            m.sound_rate = std::atoi(argv[++i]);
        else if (a == "--text-length" && has_value)
            m.text_length = std::atoi(argv[++i]);
        else if (a == "--no-video")
            m.has_video = false;
        else if (a == "--no-sound")
            m.has_sound = false;
        else if (a == "--no-text")
            m.has_text = false;
        else if (a == "--no-grol")
            m.has_grol = false;
        else if (a == "--no-progress")
            o.progress = false;
        else if (a == "--cancel")
            o.cancel = true;
        else if (a == "--quiet")
            o.quiet = true;
        else
            return false;
    }
    return m.valid();
}

// The encoder's one-line summary from its log, once it has written its last line.
std::string encoder_summary(const std::string& log)
{
    std::string text;
    for (int tries = 0; tries < 500 && !log.empty(); ++tries) {
        std::ifstream in(log, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (text.find("] exit ") != std::string::npos)
            break;
        Sleep(20);
    }
    const size_t at = text.find("] summary ");
    if (at == std::string::npos)
        return "";
    const size_t from = at + 10;
    return text.substr(from, text.find_first_of("\r\n", from) - from);
}

void print_result(const char* step, ComponentResult result)
{
    std::printf("%s: %ld%s\n", step, static_cast<long>(result), result == 0 ? "" : " (failed)");
}

int run(int argc, char** argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "quicktime_host: bad arguments (see the head of main.cpp)\n");
        return 2;
    }
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
    const bool found =
        o.qtx.empty() ? host.find_installed_component(&error) : host.load_component(o.qtx, &error);
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

    qt_progress progress;
    progress.print = !o.quiet;
    progress.answer = o.cancel ? static_cast<OSErr>(-128) : noErr;  // userCanceledErr
    qt_export_plan plan;
    plan.set_progress = o.progress;
    const qt_export_results r = run_export(host, movie, &progress, plan);

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
