// How fast frames cross each export road into the encoder, beside the machine's limit for the
// same work, all measured in one run.
//
// For each size, and each road (the Premiere module, the QuickTime component), the host
// stand-in exports a clip whose frames cost it nothing (one picture drawn before the export and
// handed out for every frame) through the real plug-in and channel to the stand-in encoder in
// --bench mode, which only asks and reads each answer once; the encoder times its frame
// requests. Beside it:
//   limit: in this process, a copy of the frame into a shared block of the same size, a read
//          of that block (the encoder's read), plus one bare semaphore ping-pong round trip
//          between two processes (a turn's handshake);
//   pipe:  the same frames through an anonymous pipe to a second process, which reads them.
// Then the round trip of a small request (the Premiere setting) beside the ping-pong.
//
//   bench.exe [--frames N] [--sizes WxH[,WxH...]] [--requests N]
//
// --frames N: frames per size up to 1920 x 1080, a third of N (at least 1) above (default 60).
// The plug-ins and the encoder use fixed channel names: run one bench at a time.
// Exit status: 0 all rows measured and every checksum right, 1 otherwise, 2 bad arguments.
#include "premiere_host.h"
#include "quicktime_host.h"
#include "sample_checksum.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct frame_size {
    int32_t width;
    int32_t height;
    size_t bytes() const { return static_cast<size_t>(width) * height * 4; }
};

double now()
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / f.QuadPart;
}

std::string self_path()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::string beside(const char* name)
{
    const std::string self = self_path();
    return self.substr(0, self.find_last_of('\\') + 1) + name;
}

std::string temp_path(const std::string& name)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + name;
}

class handle_owner {
public:
    explicit handle_owner(HANDLE h = nullptr) : h_(h) {}
    ~handle_owner()
    {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;
    HANDLE get() const { return h_; }
    HANDLE release()
    {
        const HANDLE h = h_;
        h_ = nullptr;
        return h;
    }

private:
    HANDLE h_;
};

HANDLE start_child(const std::string& args, bool inherit)
{
    std::string command = "\"" + self_path() + "\" " + args;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, &startup,
                        &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

// ---- Machine limit -------------------------------------------------------------------------------

// Child: answers `count` pings on the two named semaphores.
int ponger(const std::string& ping_name, const std::string& pong_name, int count)
{
    const handle_owner ping(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ping_name.c_str()));
    const handle_owner pong(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, pong_name.c_str()));
    if (ping.get() == nullptr || pong.get() == nullptr)
        return 1;
    for (int i = 0; i < count; ++i) {
        if (WaitForSingleObject(ping.get(), 10000) != WAIT_OBJECT_0)
            return 2;
        ReleaseSemaphore(pong.get(), 1, nullptr);
    }
    return 0;
}

// Seconds per round trip, or -1.
double ping_pong_seconds_each(int count)
{
    const std::string base = "hx_bench_" + std::to_string(GetCurrentProcessId());
    const handle_owner ping(CreateSemaphoreA(nullptr, 0, 1, (base + "_ping").c_str()));
    const handle_owner pong(CreateSemaphoreA(nullptr, 0, 1, (base + "_pong").c_str()));
    if (ping.get() == nullptr || pong.get() == nullptr || count < 2)
        return -1;
    const handle_owner child(
        start_child("--pong " + base + "_ping " + base + "_pong " + std::to_string(count), false));
    if (child.get() == nullptr)
        return -1;
    // One turn first, so the child is up before the clock starts.
    ReleaseSemaphore(ping.get(), 1, nullptr);
    if (WaitForSingleObject(pong.get(), 10000) != WAIT_OBJECT_0)
        return -1;
    const double start = now();
    for (int i = 1; i < count; ++i) {
        ReleaseSemaphore(ping.get(), 1, nullptr);
        if (WaitForSingleObject(pong.get(), 10000) != WAIT_OBJECT_0)
            return -1;
    }
    const double each = (now() - start) / (count - 1);
    WaitForSingleObject(child.get(), 10000);
    return each;
}

struct copy_read_timing {
    double copy_seconds = -1;  // per frame
    double read_seconds = -1;  // per frame
};

// The frame copied into a paging-file block of its size, as a plug-in does, then read once
// into the checksum, as the encoder does.
copy_read_timing copy_and_read(const frame_size& size, int frames)
{
    copy_read_timing timing;
    const size_t bytes = size.bytes();
    const handle_owner mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  static_cast<DWORD>(bytes), nullptr));
    if (mapping.get() == nullptr)
        return timing;
    uint8_t* block = static_cast<uint8_t*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, bytes));
    if (block == nullptr)
        return timing;
    std::vector<uint8_t> frame(bytes, 0x5A);
    std::memcpy(block, frame.data(), bytes);  // every page touched once, as after the first turn
    uint32_t checksum = 0;
    double copying = 0, reading = 0;
    for (int i = 0; i < frames; ++i) {
        frame[static_cast<size_t>(i) * 4096 % bytes] = static_cast<uint8_t>(i);
        const double a = now();
        std::memcpy(block, frame.data(), bytes);
        const double b = now();
        checksum = fold_sample_checksum(checksum, block, bytes);
        reading += now() - b;
        copying += b - a;
    }
    UnmapViewOfFile(block);
    // The checksum is used, so neither the copy nor the read can be left out.
    timing.copy_seconds = copying / frames + (checksum == 0x12345678u ? 1e-12 : 0);
    timing.read_seconds = reading / frames;
    return timing;
}

// ---- Pipe ---------------------------------------------------------------------------------------

// Child: reads `frames` frames of `bytes` from the inherited pipe handle, each read once more
// into the checksum as the encoder reads a frame.
int pipe_reader(HANDLE pipe, size_t bytes, int frames)
{
    const handle_owner owner(pipe);
    std::vector<uint8_t> buffer(bytes);
    uint32_t checksum = 0;
    for (int i = 0; i < frames; ++i) {
        size_t got = 0;
        while (got < bytes) {
            DWORD n = 0;
            if (!ReadFile(pipe, buffer.data() + got, static_cast<DWORD>(bytes - got), &n, nullptr) || n == 0)
                return 1;
            got += n;
        }
        checksum = fold_sample_checksum(checksum, buffer.data(), bytes);
    }
    return checksum == 0x12345678u ? 3 : 0;
}

bool write_all(HANDLE pipe, const uint8_t* data, size_t bytes)
{
    size_t sent = 0;
    while (sent < bytes) {
        DWORD n = 0;
        if (!WriteFile(pipe, data + sent, static_cast<DWORD>(bytes - sent), &n, nullptr) || n == 0)
            return false;
        sent += n;
    }
    return true;
}

// Seconds per frame, or -1. One frame goes first, so the reader is up before the clock starts.
double pipe_seconds_each(const frame_size& size, int frames)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 1 << 20))
        return -1;
    const handle_owner writer(write_end);
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    const handle_owner child(start_child("--pipe-reader " +
                                             std::to_string(reinterpret_cast<uintptr_t>(read_end)) + " " +
                                             std::to_string(size.bytes()) + " " + std::to_string(frames + 1),
                                         true));
    CloseHandle(read_end);
    if (child.get() == nullptr)
        return -1;
    std::vector<uint8_t> frame(size.bytes(), 0xA5);
    if (!write_all(write_end, frame.data(), frame.size()))
        return -1;
    const double start = now();
    for (int i = 0; i < frames; ++i) {
        frame[static_cast<size_t>(i) * 4096 % frame.size()] = static_cast<uint8_t>(i);
        if (!write_all(write_end, frame.data(), frame.size()))
            return -1;
    }
    DWORD code = 1;
    if (WaitForSingleObject(child.get(), 120000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(child.get(), &code) || code != 0)
        return -1;
    return (now() - start) / frames;
}

// ---- The roads ----------------------------------------------------------------------------------

struct road_result {
    double seconds_each = -1;  // per frame turn, as the encoder timed it
    bool checksum_right = false;
    double request_us = -1;  // Premiere, when asked: the setting request's round trip
};

// The encoder's log once it has exited, or "" after ten seconds.
std::string encoder_log_after_exit(const std::string& log)
{
    std::string text;
    for (int tries = 0; tries < 1000; ++tries) {
        text = read_whole_file(log);
        if (text.find("] exit ") != std::string::npos)
            return text;
        Sleep(10);
    }
    return "";
}

void encoder_environment(const std::string& log, const std::string& options)
{
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_OUT", nullptr);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", options.c_str());
}

double frame_seconds_from(const std::string& log_text, int frames)
{
    int counted = -1;
    double ms = -1;
    if (std::sscanf(line_after(log_text, "] frames ").c_str(), "%d in %lf ms", &counted, &ms) != 2 ||
        counted != frames || frames <= 0)
        return -1;
    return ms / 1e3 / frames;
}

// The encoder folds every frame it reads; the same fold over the picture the host served.
uint32_t expected_checksum(const std::vector<uint8_t>& picture, int frames)
{
    uint32_t checksum = 0;
    for (int i = 0; i < frames; ++i)
        checksum = fold_sample_checksum(checksum, picture.data(), picture.size());
    return checksum;
}

road_result premiere_road(premiere_module& module, const frame_size& size, int frames, int requests)
{
    road_result r;
    const std::string log = temp_path("hx_bench_premiere_encoder.log");
    encoder_environment(log, "--bench" + (requests > 0 ? " --time-setting " + std::to_string(requests) : ""));

    clip_settings clip;
    clip.width = size.width;
    clip.height = size.height;
    clip.frames = frames;
    clip.audio_present = false;
    clip.fixed_picture = true;
    premiere_host host(clip);
    dialog_answerer answerer(dialog_answerer::plan{});
    const int32_t result =
        module.call(prm_export_work_area, host.standard(), host.export_record(), host.work_area());
    answerer.answered();
    if (result != 0)
        return r;
    const std::string text = encoder_log_after_exit(log);
    r.seconds_each = frame_seconds_from(text, frames);
    if (requests > 0)
        std::sscanf(line_after(text, "] setting round trip ").c_str(), "%*d requests %lf us", &r.request_us);

    std::vector<uint8_t> picture(size.bytes());
    for (int32_t y = 0; y < size.height; ++y)
        for (int32_t x = 0; x < size.width; ++x) {
            const uint32_t p = premiere_host::pixel(0, x, y);
            std::memcpy(&picture[(static_cast<size_t>(y) * size.width + x) * 4], &p, 4);
        }
    unsigned got = 0;
    r.checksum_right =
        std::sscanf(line_after(text, "] bench ").c_str(), "%*d frames checksum 0x%x", &got) == 1 &&
        got == expected_checksum(picture, frames);
    return r;
}

road_result quicktime_road(quicktime_host& host, const frame_size& size, int frames)
{
    road_result r;
    const std::string log = temp_path("hx_bench_quicktime_encoder.log");
    encoder_environment(log, "--bench");

    // Only the video track: one frame a second, so the movie has exactly `frames` frames.
    qt_movie_settings s;
    s.width = size.width;
    s.height = size.height;
    s.fps = 1;
    s.video_time_scale = 1;
    s.seconds = frames;
    s.has_sound = s.has_text = s.has_grol = false;
    s.fixed_picture = true;
    if (!s.valid())
        return r;
    qt_movie movie(s);
    qt_export_plan plan;
    plan.set_progress = false;
    const qt_export_results results = run_export(host, movie, nullptr, plan);
    if (!results.succeeded())
        return r;
    const std::string text = encoder_log_after_exit(log);
    r.seconds_each = frame_seconds_from(text, frames);
    unsigned got = 0;
    r.checksum_right = std::sscanf(line_after(text, ", checksum 0x").c_str(), "%x", &got) == 1 &&
                       got == expected_checksum(movie.expected_frame(0), frames);
    return r;
}

// ---- Report -------------------------------------------------------------------------------------

void row(const char* what, int frames, double seconds_each, size_t bytes, double limit_each, const char* note)
{
    if (seconds_each <= 0) {
        std::printf("  %-42s %6d    (not measured)\n", what, frames);
        return;
    }
    std::printf("  %-42s %6d %10.3f %8.2f %8.2f   %s\n", what, frames, seconds_each * 1e3,
                bytes / seconds_each / 1e9, seconds_each / limit_each, note);
}

bool parse_sizes(const char* text, std::vector<frame_size>& sizes)
{
    sizes.clear();
    std::string rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string one = rest.substr(0, comma);
        int w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(one.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 1 || h < 1 || w > 8192 || h > 8192)
            return false;
        sizes.push_back({w, h});
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return !sizes.empty();
}

int run(int argc, char** argv)
{
    int frames = 60, requests = 10000;
    std::vector<frame_size> sizes = {{1280, 720}, {1920, 1080}, {3840, 2160}};
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--frames") == 0 && has_value)
            frames = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--requests") == 0 && has_value)
            requests = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--sizes") == 0 && has_value) {
            if (!parse_sizes(argv[++i], sizes))
                return 2;
        } else
            return 2;
    }
    if (frames < 1 || frames > 3600 || requests < 2)
        return 2;

    // The runtime stand-in moves unlocked handles on every call to catch stale pointers; the
    // real runtime does not, so the bench turns it off before the runtime loads.
    SetEnvironmentVariableA("HX_QT_MOVE_HANDLES", "0");
    quicktime_host qt_host;
    std::string error;
    if (!qt_host.load_component(beside("Quillex.qtx"), &error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    premiere_module module;
    if (!module.load(beside("tsp_prm_nle.prm"))) {
        std::fprintf(stderr, "bench: tsp_prm_nle.prm cannot be loaded\n");
        return 1;
    }
    const HWND window = create_host_window();

    const double ping_pong = ping_pong_seconds_each(requests);
    if (ping_pong <= 0) {
        std::fprintf(stderr, "bench: the semaphore ping-pong did not run\n");
        return 1;
    }
    std::printf("Frames through each road into the stand-in encoder (--bench), beside the limit\n");
    std::printf("(ms a frame; GB/s; time / limit)\n");
    bool good = true;
    double request_us = -1;
    for (size_t k = 0; k < sizes.size(); ++k) {
        const frame_size& size = sizes[k];
        const int count = size.bytes() > size_t(1920) * 1080 * 4 ? std::max(1, frames / 3) : frames;
        const road_result premiere = premiere_road(module, size, count, k == 0 ? requests : 0);
        const road_result quicktime = quicktime_road(qt_host, size, count);
        const copy_read_timing copy = copy_and_read(size, count);
        const double pipe = pipe_seconds_each(size, count);
        if (k == 0)
            request_us = premiere.request_us;
        const double limit = copy.copy_seconds + copy.read_seconds + ping_pong;

        std::printf("\n%d x %d x 4 bytes (%zu bytes a frame)\n", size.width, size.height, size.bytes());
        std::printf("  %-42s %6s %10s %8s %8s\n", "", "frames", "ms/frame", "GB/s", "/limit");
        row("Premiere: module + channel -> encoder", count, premiere.seconds_each, size.bytes(), limit,
            premiere.seconds_each <= 0 ? ""
            : premiere.checksum_right  ? "checksum right"
                                       : "CHECKSUM WRONG");
        row("QuickTime: component + channel -> encoder", count, quicktime.seconds_each, size.bytes(), limit,
            quicktime.seconds_each <= 0 ? ""
            : quicktime.checksum_right  ? "checksum right"
                                        : "CHECKSUM WRONG");
        char note[120];
        std::snprintf(note, sizeof note, "copy %.3f + read %.3f + ping-pong %.3f ms", copy.copy_seconds * 1e3,
                      copy.read_seconds * 1e3, ping_pong * 1e3);
        row("limit: copy + read + ping-pong", count, copy.copy_seconds > 0 ? limit : -1, size.bytes(), limit,
            note);
        row("anonymous pipe, two processes", count, pipe, size.bytes(), limit, "");
        good = good && premiere.seconds_each > 0 && premiere.checksum_right && quicktime.seconds_each > 0 &&
               quicktime.checksum_right && copy.copy_seconds > 0 && pipe > 0;
    }
    DestroyWindow(window);

    std::printf("\nSmall request round trip, %d of them\n", requests);
    std::printf("  %-42s %10.1f us\n", "Premiere: setting request through module", request_us);
    std::printf("  %-42s %10.1f us\n", "bare semaphore ping-pong, two processes", ping_pong * 1e6);
    if (request_us > 0)
        std::printf("  module / ping-pong: %.2f\n", request_us / (ping_pong * 1e6));
    good = good && request_us > 0;
    std::fflush(stdout);
    return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc == 5 && std::strcmp(argv[1], "--pipe-reader") == 0)
            return pipe_reader(reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10)),
                               std::strtoul(argv[3], nullptr, 10), std::atoi(argv[4]));
        if (argc == 5 && std::strcmp(argv[1], "--pong") == 0)
            return ponger(argv[2], argv[3], std::atoi(argv[4]));
        const int status = run(argc, argv);
        if (status == 2)
            std::fprintf(stderr, "usage: bench.exe [--frames N] [--sizes WxH[,WxH...]] [--requests N]\n");
        return status;
    } catch (...) {
        std::fprintf(stderr, "bench: out of memory\n");
        return 1;
    }
}
