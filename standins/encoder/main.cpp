// Stand-in for the Tessora encoder application.
//
// Started by a plug-in ("nle  -noprocess" from the Premiere module, " qtexp  -noprocess "
// from the QuickTime component) it opens that plug-in's channel and drives its requests.
// Started with --resident it shows a main window of class "MainClassW" and serves an export
// each time a plug-in posts 0x576 (Premiere) or 0x577 (QuickTime) to it. --register writes its
// install location under HKLM\SOFTWARE\Halvex\ for both editions.
//
// Options come from the command line and from the environment variable HX_ENCODER_OPTIONS
// (for a start by a plug-in, whose arguments are fixed):
//   --log FILE            append what happens to FILE (also HX_ENCODER_LOG)
//   --prefix P            open the channel P + "param" ... instead of the Premiere names
//   --open-timeout MS     how long to retry opening the channel (default 30000)
//   --reply-timeout MS    how long to wait for each answer (default 30000)
//   --ping N, --ping-code C   N echo turns (see ping())
//   --done C, --done-answered, --no-done   the last request and whether it is answered
//   --die-after-open      end the process abruptly once the channel is open
//   --stay                keep the main window after an export started by a plug-in
//   --record-url URL      log URL and end (stands in for a browser in tests)
//   --out FOLDER          where an export's AVI and text files go (also HX_ENCODER_OUT)
//   --die-after N         end the process abruptly before the (N+1)th request
//   --pause-after N       before the (N+1)th request, send nothing for --pause-ms MS (default
//                         60000) while holding the channel, then go on
//   --frame-delay MS      work MS ms before every request, as a slow encoder does
//   --never-open MS       stay alive MS ms without opening the channel, then exit
//   --hostile N           N requests of random codes and fields before the real ones
//   --audio-chunk N       sample frames per audio request (default 4800)
//   --time-setting N      Premiere: N setting requests after the frames, their round trip logged
//   --fill-pattern        before each request, a pattern over every block byte it does not use
//   --bench               ask and read each answer once into a checksum: no files, no per-frame lines
//   --end-code C          QuickTime: end with code C (default 3, done; others are unserved)
//
// Without --ping or --done, an export runs the whole protocol of the plug-in that called:
// Premiere's (premiere_session.h) or QuickTime's (quicktime_session.h).
//
// An export writes its files as NAME.partial and gives them their names only at its end; one
// that ends otherwise (stopped by the user, no answer in time) removes them.
//
// Exit status: 0 every turn answered as expected, 3 channel not found, 4 no answer in time,
// 5 an answer was wrong, 7 the plug-in answered that the user stopped the export, 2 bad
// arguments, 6 registry not written.
#include "encoder_channel.h"
#include "encoder_log.h"
#include "premiere_session.h"
#include "quicktime_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT premiere_wake = 0x576;
constexpr UINT quicktime_wake = 0x577;
constexpr char quicktime_prefix[] = "TessoraQTExport";

enum class caller { none, premiere, quicktime };

struct options {
    caller started_by = caller::none;
    bool resident = false;
    bool register_install = false;
    bool stay = false;
    bool die_after_open = false;
    DWORD never_open_ms = 0;
    std::string url;
    session_options session;
    std::string prefix;
    bool has_prefix = false;
    DWORD open_timeout = 30000;
    DWORD reply_timeout = 30000;
    long ping = 0;
    uint32_t ping_code = 100;
    int done = -1;  // -1: the caller's own done code
    bool done_answered = false;
    bool no_done = false;
};

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string::npos)
            break;
        const size_t end = text.find_first_of(" \t", start);
        words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        at = end == std::string::npos ? text.size() : end;
    }
    return words;
}

bool parse(const std::vector<std::string>& words, options& o)
{
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& a = words[i];
        const bool has_value = i + 1 < words.size();
        auto number = [&]() { return std::strtoul(words[++i].c_str(), nullptr, 0); };
        if (a == "nle")
            o.started_by = caller::premiere;
        else if (a == "qtexp")
            o.started_by = caller::quicktime;
        else if (a == "-noprocess")
            continue;
        else if (a == "--resident")
            o.resident = true;
        else if (a == "--register")
            o.register_install = true;
        else if (a == "--stay")
            o.stay = true;
        else if (a == "--die-after-open")
            o.die_after_open = true;
        else if (a == "--record-url" && has_value)
            o.url = words[++i];
        else if (a == "--out" && has_value)
            o.session.out_folder = words[++i];
        else if (a == "--die-after" && has_value)
            o.session.die_after = static_cast<long>(number());
        else if (a == "--pause-after" && has_value)
            o.session.pause_after = static_cast<long>(number());
        else if (a == "--pause-ms" && has_value)
            o.session.pause_ms = number();
        else if (a == "--frame-delay" && has_value)
            o.session.frame_delay = number();
        else if (a == "--never-open" && has_value)
            o.never_open_ms = number();
        else if (a == "--hostile" && has_value)
            o.session.hostile = static_cast<long>(number());
        else if (a == "--time-setting" && has_value)
            o.session.time_setting = static_cast<long>(number());
        else if (a == "--fill-pattern")
            o.session.fill_pattern = true;
        else if (a == "--bench")
            o.session.bench = true;
        else if (a == "--end-code" && has_value)
            o.session.end_code = static_cast<int32_t>(number());
        else if (a == "--audio-chunk" && has_value)
            o.session.audio_chunk = number();
        else if (a == "--log" && has_value)
            open_log(words[++i]);
        else if (a == "--prefix" && has_value) {
            o.prefix = words[++i];
            o.has_prefix = true;
        } else if (a == "--open-timeout" && has_value)
            o.open_timeout = number();
        else if (a == "--reply-timeout" && has_value)
            o.reply_timeout = number();
        else if (a == "--ping" && has_value)
            o.ping = static_cast<long>(number());
        else if (a == "--ping-code" && has_value)
            o.ping_code = number();
        else if (a == "--done" && has_value)
            o.done = static_cast<int>(number());
        else if (a == "--done-answered")
            o.done_answered = true;
        else if (a == "--no-done")
            o.no_done = true;
        else
            return false;
    }
    return true;
}

// Echo turns: the encoder writes the code, the turn number i into word 1 and i ^ 0xA5A5A5A5
// into the first data word; the plug-in answers i + 1 in word 2 and the data word + 1 in the
// second data word.
int ping(encoder_channel& channel, const options& o)
{
    long good = 0;
    for (long i = 0; i < o.ping; ++i) {
        const uint32_t turn = static_cast<uint32_t>(i);
        const uint32_t sent = turn ^ 0xA5A5A5A5u;
        channel.param().set_word(0, o.ping_code);
        channel.param().set_word(1, turn);
        channel.param().set_word(2, 0);
        channel.data().set_word(0, sent);
        channel.data().set_word(1, 0);
        if (!channel.turn(o.reply_timeout)) {
            log_line("ping %ld no answer", i);
            return 4;
        }
        if (channel.param().word(2) == turn + 1 && channel.data().word(1) == sent + 1)
            ++good;
        else
            log_line("ping %ld wrong answer %u %u", i, channel.param().word(2), channel.data().word(1));
    }
    log_line("ping %ld ok %ld", o.ping, good);
    return good == o.ping ? 0 : 5;
}

// One export for `who`, from opening its channel to its done request.
int serve_export(caller who, const options& o)
{
    channel_names names = channel_names::premiere();
    if (o.has_prefix)
        names = channel_names::from_prefix(o.prefix);
    else if (who == caller::quicktime)
        names = channel_names::from_prefix(quicktime_prefix);

    if (o.never_open_ms > 0) {
        // Alive, but never there for the plug-in: hung before the channel, or busy with a
        // dialog of its own.
        log_line("not opening the channel for %lu ms", static_cast<unsigned long>(o.never_open_ms));
        Sleep(o.never_open_ms);
        return 3;
    }
    encoder_channel channel;
    if (!channel.open(names, o.open_timeout)) {
        log_line("channel not found");
        return 3;
    }
    log_line("sizes param=%u data=%u", channel.param().size(), channel.data().size());
    if (o.die_after_open) {
        log_line("dying");
        TerminateProcess(GetCurrentProcess(), 77);
    }

    if (o.ping == 0 && o.done < 0 && !o.no_done) {
        session_options session = o.session;
        session.reply_timeout = o.reply_timeout;
        const int result = who == caller::quicktime ? run_quicktime_session(channel, session)
                                                    : run_premiere_session(channel, session);
        log_line("export end %d", result);
        return result;
    }

    int status = 0;
    if (o.ping > 0)
        status = ping(channel, o);
    if (status == 0 && !o.no_done) {
        // The Premiere module does not answer its done code 9; the QuickTime component
        // answers its done code 3.
        const bool quicktime = who == caller::quicktime;
        const uint32_t code = o.done >= 0 ? static_cast<uint32_t>(o.done) : quicktime ? 3 : 9;
        channel.param().set_word(0, code);
        if (o.done_answered || (quicktime && o.done < 0)) {
            if (!channel.turn(o.reply_timeout))
                status = 4;
        } else {
            channel.post();
        }
        log_line("done %u", code);
    }
    log_line("export end %d", status);
    return status;
}

options g_options;

LRESULT CALLBACK main_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message >= WM_USER) {
        log_line("message 0x%x wparam %lu lparam %ld", message, static_cast<unsigned long>(wparam),
                 static_cast<long>(lparam));
        if (message == premiere_wake)
            serve_export(caller::premiere, g_options);
        else if (message == quicktime_wake)
            serve_export(caller::quicktime, g_options);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

HWND create_main_window()
{
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = main_window;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = "MainClassW";
    RegisterClassA(&window_class);
    return CreateWindowA("MainClassW", "Tessora (stand-in)", WS_OVERLAPPEDWINDOW, 0, 0, 320, 120, nullptr,
                         nullptr, window_class.hInstance, nullptr);
}

int run_main_window()
{
    if (create_main_window() == nullptr) {
        log_line("no main window");
        return 1;
    }
    log_line("window up");
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

bool set_value(HKEY key, const char* name, const std::string& value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// Both editions point at this program.
int register_install()
{
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string path(self, n);
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    const std::string executable = path.substr(folder.size() + 1);
    const struct {
        const char* edition;
        const char* subkey;
    } editions[] = {{"LatestPro", "Tessora\\5.0 Pro"}, {"LatestEZ", "Tessora EZ\\5.0"}};

    HKEY base;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvex", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base,
                        nullptr) != ERROR_SUCCESS)
        return 6;
    bool ok = true;
    for (const auto& e : editions) {
        ok = ok && set_value(base, e.edition, e.subkey);
        HKEY version;
        if (RegCreateKeyExA(base, e.subkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &version, nullptr) !=
            ERROR_SUCCESS) {
            ok = false;
            continue;
        }
        ok = ok && set_value(version, "InstallDir", folder) && set_value(version, "Executable", executable);
        RegCloseKey(version);
    }
    RegCloseKey(base);
    log_line("registered %s", path.c_str());
    return ok ? 0 : 6;
}

}  // namespace

int main(int argc, char** argv)
{
    char log_path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("HX_ENCODER_LOG", log_path, sizeof log_path);
    if (n > 0 && n < sizeof log_path)
        open_log(log_path);

    char out_folder[MAX_PATH];
    const DWORD k = GetEnvironmentVariableA("HX_ENCODER_OUT", out_folder, sizeof out_folder);
    if (k > 0 && k < sizeof out_folder)
        g_options.session.out_folder = out_folder;

    std::vector<std::string> words;
    char from_environment[1024];
    const DWORD m = GetEnvironmentVariableA("HX_ENCODER_OPTIONS", from_environment, sizeof from_environment);
    if (m > 0 && m < sizeof from_environment)
        words = split(from_environment);
    words.insert(words.end(), argv + 1, argv + argc);
    if (!parse(words, g_options)) {
        std::fprintf(stderr, "encoder: bad arguments\n");
        return 2;
    }
    log_line("start pid %lu command line [%s]", GetCurrentProcessId(), GetCommandLineA());

    int status = 0;
    if (!g_options.url.empty())
        log_line("url %s", g_options.url.c_str());
    else if (g_options.register_install)
        status = register_install();
    else if (g_options.started_by != caller::none) {
        status = serve_export(g_options.started_by, g_options);
        if (g_options.stay)
            run_main_window();
    } else if (g_options.resident)
        status = run_main_window();
    else
        status = serve_export(caller::premiere, g_options);
    log_line("exit %d", status);
    close_log();
    return status;
}
