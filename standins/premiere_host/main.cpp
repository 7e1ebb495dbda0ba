// The Premiere host stand-in as a program: loads tsp_prm_nle.prm, shows the "Adobe Premiere"
// window and exports a generated clip (moving pattern with a frame counter, a tone on each
// channel, markers with texts) through the module. The encoder is found or started by the
// module itself. Options: see `usage` below.
//
// --plugins DIR reads the property list of every .prm in DIR, as Premiere does with its plug-ins
// folder, and exports through the export module named "Save For Web".
// --out is handed to the encoder (HX_ENCODER_OUT) along with its log (FOLDER\encoder.log).
// Without --attended the export dialog is answered at once: setting ID (default 22002), range.
// --row-bytes N hands out frames whose rows are N bytes long (the pixels, then 0xCD bytes); a
// frame longer than the module's data block makes the module replace the block.
// Every message box the module shows is printed with its caption and text; without --attended
// it is answered as a user would (OK, or the next of --answer-box for a box that asks).
// When an export does not finish, the host says what it saw: whether the dialog appeared and
// how it was answered, whether the module started an encoder and whether that process ended.
// The module's progress window is watched from a thread of the host's own: when it appeared and
// went, its texts at a few moments, the host's window under it (progress_watch.h); --cancel-after
// N clicks its Cancel button, --escape-after N presses Escape in it, once N frames are served.
// A second thread asks the "Adobe Premiere" window every 100 ms whether it answers, and the
// longest wait is printed ("responsiveness: ...").
// Exit status: the export's result (0 done, 2 abandoned), 2 for bad arguments, 3 when the
// module cannot be loaded.
#include "box_answerer.h"
#include "command_line.h"
#include "encoder_start_watch.h"
#include "plugin_folder.h"
#include "premiere_host.h"
#include "progress_watch.h"
#include "responsiveness_probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct options {
    std::string module;
    std::string plugins;
    std::string out;
    int seconds = 3;
    int width = 320, height = 240, fps = 30;
    int row_bytes = 0;  // 0: width x 4
    bool stereo = true;
    int bits = 16;
    int setting = 22002;
    int range = 0;
    int selector = 11;
    bool attended = false;
    std::vector<int> box_answers;
    long press_after = -1;  // --cancel-after or --escape-after
    bool escape = false;
};

const char usage[] =
    "usage: premiere_host.exe [--module PATH | --plugins DIR] [--out FOLDER] [--seconds N] [--size WxH]\n"
    "                         [--row-bytes N] [--fps N] [--mono] [--bits 8|16] [--setting ID]\n"
    "                         [--range 0|1] [--selector 8|11] [--answer-box ANSWERS] [--attended]\n"
    "                         [--cancel-after N | --escape-after N]\n"
    "  --module PATH   the export module (default: tsp_prm_nle.prm beside this program)\n"
    "  --plugins DIR   the export module named \"Save For Web\" among the .prm files in DIR\n"
    "  --out FOLDER    where the encoder writes its files and encoder.log\n"
    "  --setting ID    the settings menu item the dialog is answered with (default 22002)\n"
    "  --row-bytes N   rows of N bytes, at least width x 4: the pixels, then bytes 0xCD (default\n"
    "                  width x 4); a frame longer than the data block makes the module replace it\n"
    "  --range 0|1     entire project or the work area\n"
    "  --answer-box ANSWERS  how message boxes that ask are answered, in turn: retry,cancel ...\n"
    "                  (Cancel once the list has run out; boxes with OK only are answered OK)\n"
    "  --attended      leave the dialog and the message boxes to the person at the display\n"
    "  --cancel-after N  click Cancel in the progress window once N frames are served\n"
    "  --escape-after N  press Escape in the progress window once N frames are served\n";

bool parse(int argc, char** argv, options& o, std::string* error)
{
    command_line args(argc, argv);
    while (args.next()) {
        if (args.is("--module"))
            args.text(&o.module);
        else if (args.is("--plugins"))
            args.text(&o.plugins);
        else if (args.is("--out"))
            args.text(&o.out);
        else if (args.is("--seconds"))
            args.number(&o.seconds, 1, 3600);
        else if (args.is("--size")) {
            std::string size;
            char rest = 0;
            if (args.text(&size) && (std::sscanf(size.c_str(), "%dx%d%c", &o.width, &o.height, &rest) != 2 ||
                                     o.width <= 0 || o.height <= 0))
                args.fail("--size: '" + size + "' is not WIDTHxHEIGHT");
        } else if (args.is("--row-bytes"))
            args.number(&o.row_bytes, 1);
        else if (args.is("--fps"))
            args.number(&o.fps, 1, 1000);
        else if (args.is("--mono"))
            o.stereo = false;
        else if (args.is("--bits")) {
            if (args.number(&o.bits, 8, 16) && o.bits != 8 && o.bits != 16)
                args.fail("--bits: 8 or 16");
        } else if (args.is("--setting"))
            args.number(&o.setting, 0);
        else if (args.is("--range"))
            args.number(&o.range, 0, 1);
        else if (args.is("--selector")) {
            if (args.number(&o.selector, 8, 11) && o.selector != 8 && o.selector != 11)
                args.fail("--selector: 8 or 11");
        } else if (args.is("--answer-box"))
            box_answerer::read_answers(args, &o.box_answers);
        else if (args.is("--attended"))
            o.attended = true;
        else if (args.is("--cancel-after") || args.is("--escape-after")) {
            const bool escape = args.is("--escape-after");
            int frames = 0;
            if (o.press_after >= 0)
                args.fail(args.option() + ": only one of --cancel-after and --escape-after");
            else if (args.number(&frames, 0)) {
                o.press_after = frames;
                o.escape = escape;
            }
        } else
            args.unknown();
    }
    if (args.ok() && o.row_bytes != 0 && o.row_bytes / 4 < o.width)
        args.fail("--row-bytes: " + std::to_string(o.row_bytes) + " is less than the width x 4 (" +
                  std::to_string(o.width * 4) + ")");
    *error = args.error();
    return args.ok();
}

// What an export needs from this machine that the host can see missing, each as a reason.
std::vector<std::string> missing_pieces(HWND window)
{
    std::vector<std::string> reasons;
    if (window == nullptr)
        reasons.push_back("no window can be shown (no display): start the rig first, see the README");
    if (FindWindowA("MainClassW", nullptr) == nullptr) {
        HKEY key = nullptr;
        DWORD size = 0;
        const bool registered =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvex\\", 0, KEY_QUERY_VALUE, &key) ==
                ERROR_SUCCESS &&
            RegQueryValueExA(key, "LatestEZ", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
        if (key != nullptr)
            RegCloseKey(key);
        if (!registered)
            reasons.push_back(
                "no encoder is running and none is registered (HKLM\\SOFTWARE\\Halvex\\ LatestEZ)");
    }
    char found[MAX_PATH];
    if (SearchPathA(nullptr, "QuickTime.qts", nullptr, MAX_PATH, found, nullptr) == 0)
        reasons.push_back("no QuickTime runtime (QuickTime.qts is not in the system folder)");
    return reasons;
}

// What the host saw of an export that did not finish.
void report_unfinished(const options& o, dialog_answerer& answerer, bool encoder_window,
                       const encoder_start_watch& start)
{
    const auto say = [](const std::string& line) {
        std::fprintf(stderr, "premiere_host: %s\n", line.c_str());
    };
    if (!answerer.shown()) {
        say("the \"Save for Web\" dialog did not appear: the module gave up before it, as it does when the "
            "channel's objects already exist (another process still holds them)");
        return;
    }
    if (o.attended)
        say("the dialog was shown and left to you");
    else
        say("the dialog was answered: setting " + std::to_string(o.setting) + ", " +
            (o.range != 0 ? "the work area" : "the entire project") + ", Start");
    if (encoder_window && !start.asked()) {
        say("an encoder was running (a window of class \"MainClassW\"): the module wakes it, and starts "
            "none");
        return;
    }
    if (!start.watching()) {
        say("whether the module started an encoder cannot be seen (it does not import ShellExecuteExA)");
        return;
    }
    if (!start.asked()) {
        say("the module started no encoder");
        return;
    }
    const std::string what = "\"" + start.program() + "\" with \"" + start.arguments() + "\"";
    if (!start.started()) {
        say("the module's start of " + what + " failed (error " + std::to_string(start.start_error()) + ")");
        return;
    }
    DWORD status = 0;
    const std::string process = " (process " + std::to_string(start.process_id()) + ")";
    if (start.ended(&status))
        say("the module started " + what + process + "; it ended with status " + std::to_string(status) +
            " before its end request (9)");
    else
        say("the module started " + what + process + "; it is still running");
}

// The family and name of settings menu item `id`, read from the module's own menu.
std::string setting_name(HMODULE module, int id)
{
    std::string name;
    HMENU menu = LoadMenuA(module, "PROPERTIES_MENU_EZ");
    HMENU top = menu != nullptr ? GetSubMenu(menu, 0) : nullptr;
    for (int i = 0; top != nullptr && i < GetMenuItemCount(top) && name.empty(); ++i) {
        char text[256] = "";
        HMENU family = GetSubMenu(top, i);
        GetMenuStringA(top, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        char item[256] = "";
        if (family == nullptr) {
            if (GetMenuItemID(top, i) == static_cast<UINT>(id))
                name = std::string("\"") + text + "\"";
        } else if (GetMenuStringA(family, static_cast<UINT>(id), item, sizeof item, MF_BYCOMMAND) > 0) {
            name = std::string("\"") + item + "\" of \"" + text + "\"";
        }
    }
    if (menu != nullptr)
        DestroyMenu(menu);
    return name;
}

std::string beside_this_program(const char* name)
{
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    const int status = read_options(argc, argv, "premiere_host", usage,
                                    [&](std::string* error) { return parse(argc, argv, o, error); });
    if (status >= 0)
        return status;
    if (!o.plugins.empty()) {
        std::string chosen;
        for (const plugin_module& m : find_export_modules(o.plugins))
            if (m.name == "Save For Web" && chosen.empty())
                chosen = m.path;
        if (chosen.empty()) {
            std::fprintf(stderr, "premiere_host: no export module \"Save For Web\" in %s\n",
                         o.plugins.c_str());
            return 3;
        }
        std::printf("plug-in: %s\n", chosen.c_str());
        o.module = chosen;
    }
    if (o.module.empty())
        o.module = beside_this_program("tsp_prm_nle.prm");
    std::string log;
    if (!o.out.empty()) {
        CreateDirectoryA(o.out.c_str(), nullptr);
        log = o.out + "\\encoder.log";
        DeleteFileA(log.c_str());
        SetEnvironmentVariableA("HX_ENCODER_OUT", o.out.c_str());
        SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
    }

    clip_settings clip;
    clip.width = o.width;
    clip.height = o.height;
    clip.row_padding = o.row_bytes != 0 ? o.row_bytes - o.width * 4 : 0;
    clip.rate_numerator = o.fps;
    clip.frames = o.seconds * o.fps;
    clip.stereo = o.stereo;
    clip.audio_bits = o.bits;
    clip.units_12 = 600;
    clip.work_area_start = 0;
    clip.work_area_end = o.seconds * 600;
    clip.markers = {
        {300, 300, {"Opening", "Chapter 1", nullptr, nullptr}},
        {750, 900, {"Bar passes the middle", nullptr, "Comment", nullptr}},
        {1200, 1200, {"Closing", "Chapter 2", "Last words", "http://www.halvex.com/"}},
    };
    premiere_host host(clip);

    const HWND window = create_host_window();
    if (window == nullptr) {
        for (const std::string& why : missing_pieces(window))
            std::fprintf(stderr, "premiere_host: %s\n", why.c_str());
        std::printf("export: abandoned (2)\n");
        return 2;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    premiere_module module;
    if (!module.load(o.module)) {
        std::fprintf(stderr, "premiere_host: cannot load %s\n", o.module.c_str());
        return 3;
    }
    prm_module_info info{};
    module.call(prm_describe_module, host.standard(), &info, nullptr);
    std::printf("module: %s\n", info.name);

    prm_setting_choice_holder holder{nullptr};
    module.call(prm_reset_setting_choice, host.standard(), &holder, nullptr);
    host.export_record()->setting_choice = holder.block;

    dialog_answerer::plan plan;
    plan.setting_id = o.setting;
    plan.range = o.range;
    plan.answer = !o.attended;
    const bool encoder_window = FindWindowA("MainClassW", nullptr) != nullptr;
    encoder_start_watch start(module.handle());
    dialog_answerer answerer(plan);
    progress_watch::plan watch_plan;
    watch_plan.press_after = o.press_after;
    watch_plan.escape = o.escape;
    watch_plan.frames = clip.frames;  // both ranges are the whole clip here
    watch_plan.host_window = window;
    int32_t result;
    {
        box_answerer box_watch(box_answerer::for_program(o.box_answers, o.attended));
        responsiveness_probe probe(window);
        progress_watch progress(
            watch_plan, [&host] { return host.frames_served(); },
            [&answerer] { return answerer.answered_at(); });
        result = module.call(o.selector, host.standard(), host.export_record(),
                             o.selector == prm_export_work_area ? host.work_area() : nullptr);
        progress.finish();
        probe.finish();
        probe.print();
    }
    answerer.shown();  // the export has returned: stop looking for the dialog
    std::printf("export: %s (%d)\n", result == 0 ? "done" : "abandoned", result);
    if (result != 0) {
        for (const std::string& why : missing_pieces(window))
            std::fprintf(stderr, "premiere_host: %s\n", why.c_str());
        report_unfinished(o, answerer, encoder_window, start);
    }
    DestroyWindow(window);

    const std::string summary = log.empty() ? "" : line_after(read_whole_file(log), "summary ");
    if (!summary.empty())
        std::printf("encoder: %s\n", summary.c_str());
    int category = 0, preset = 0;
    const std::string chosen = line_after(summary, "setting ");
    if (std::sscanf(chosen.c_str(), "%d/%d", &category, &preset) == 2) {
        const int id = category == 15 ? 32000 : (category + 17) * 1000 + preset;
        std::printf("setting: %d/%d %s\n", category, preset, setting_name(module.handle(), id).c_str());
    }
    return result;
}
