// The Premiere host stand-in as a program: loads tsp_prm_nle.prm, shows the "Adobe Premiere"
// window and exports a generated clip (moving pattern with a frame counter, a tone on each
// channel, markers with texts) through the module. The encoder is found or started by the
// module itself.
//
//   premiere_host.exe [--module PATH | --plugins DIR] [--out FOLDER] [--seconds N] [--size WxH] [--fps N]
//                     [--mono] [--bits 8|16] [--setting ID] [--range 0|1] [--selector 8|11]
//                     [--attended]
//
// --plugins DIR reads the property list of every .prm in DIR, as Premiere does with its plug-ins
// folder, and exports through the export module named "Save For Web"; without it and --module,
// the module is tsp_prm_nle.prm beside this program.
// --out is handed to the encoder (HX_ENCODER_OUT) along with its log (FOLDER\encoder.log).
// Without --attended the export dialog is answered at once: setting ID (default 22002), range.
// Exit status: the export's result (0 done, 2 abandoned), 3 when the module cannot be loaded.
#include "plugin_folder.h"
#include "premiere_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct options {
    std::string module;
    std::string plugins;
    std::string out;
    int seconds = 3;
    int width = 320, height = 240, fps = 30;
    bool stereo = true;
    int bits = 16;
    int setting = 22002;
    int range = 0;
    int selector = 11;
    bool attended = false;
};

bool parse(int argc, char** argv, options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--module" && has_value)
            o.module = argv[++i];
        else if (a == "--plugins" && has_value)
            o.plugins = argv[++i];
        else if (a == "--out" && has_value)
            o.out = argv[++i];
        else if (a == "--seconds" && has_value)
            o.seconds = std::atoi(argv[++i]);
        else if (a == "--size" && has_value) {
            if (std::sscanf(argv[++i], "%dx%d", &o.width, &o.height) != 2)
                return false;
        } else if (a == "--fps" && has_value)
            o.fps = std::atoi(argv[++i]);
        else if (a == "--mono")
            o.stereo = false;
        else if (a == "--bits" && has_value)
            o.bits = std::atoi(argv[++i]);
        else if (a == "--setting" && has_value)
            o.setting = std::atoi(argv[++i]);
        else if (a == "--range" && has_value)
            o.range = std::atoi(argv[++i]);
        else if (a == "--selector" && has_value)
            o.selector = std::atoi(argv[++i]);
        else if (a == "--attended")
            o.attended = true;
        else
            return false;
    }
    return o.seconds > 0 && o.width > 0 && o.height > 0 && o.fps > 0 && (o.bits == 8 || o.bits == 16);
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
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "premiere_host: bad arguments (see the head of main.cpp)\n");
        return 2;
    }
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
    dialog_answerer* answerer = o.attended ? nullptr : new dialog_answerer(plan);
    const int32_t result = module.call(o.selector, host.standard(), host.export_record(),
                                       o.selector == prm_export_work_area ? host.work_area() : nullptr);
    delete answerer;
    std::printf("export: %s (%d)\n", result == 0 ? "done" : "abandoned", result);
    DestroyWindow(window);

    const std::string summary = log.empty() ? "" : line_after(read_whole_file(log), "summary ");
    if (!summary.empty())
        std::printf("encoder: %s\n", summary.c_str());
    return result;
}
