// How fast frames and requests cross from the Premiere module to the encoder, beside what the
// machine can do at best: frames of 1920 x 1080 x 4 bytes through the real module and channel
// to the stand-in encoder, a plain memcpy of the same bytes, and the same frames through an
// anonymous pipe between two processes; the round trip of a small request beside a bare
// semaphore ping-pong between two processes.
//
//   premiere_bench.exe [--frames N] [--requests N]
#include "premiere_host.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int32_t width = 1920, height = 1080;
constexpr size_t frame_bytes = static_cast<size_t>(width) * height * 4;

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

double memcpy_seconds(int frames)
{
    std::vector<uint8_t> from(frame_bytes, 0x5A), to(frame_bytes);
    std::memcpy(to.data(), from.data(), frame_bytes);  // both buffers touched once
    const double start = now();
    for (int i = 0; i < frames; ++i) {
        from[static_cast<size_t>(i) * 4096 % frame_bytes] = static_cast<uint8_t>(i);
        std::memcpy(to.data(), from.data(), frame_bytes);
    }
    const double elapsed = now() - start;
    return to[0] == 0xFF ? elapsed + 1 : elapsed;  // keeps the copies
}

// Child: reads `frames` frames from the inherited pipe handle.
int pipe_reader(HANDLE pipe, int frames)
{
    std::vector<uint8_t> buffer(frame_bytes);
    for (int i = 0; i < frames; ++i) {
        size_t got = 0;
        while (got < frame_bytes) {
            DWORD n = 0;
            if (!ReadFile(pipe, buffer.data() + got, static_cast<DWORD>(frame_bytes - got), &n, nullptr) ||
                n == 0)
                return 1;
            got += n;
        }
    }
    return 0;
}

double pipe_seconds(int frames)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 1 << 20))
        return -1;
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    const HANDLE child =
        start_child("--pipe-reader " + std::to_string(reinterpret_cast<uintptr_t>(read_end)) + " " +
                        std::to_string(frames),
                    true);
    CloseHandle(read_end);
    if (child == nullptr)
        return -1;
    std::vector<uint8_t> frame(frame_bytes, 0xA5);
    const double start = now();
    for (int i = 0; i < frames; ++i) {
        size_t sent = 0;
        while (sent < frame_bytes) {
            DWORD n = 0;
            if (!WriteFile(write_end, frame.data() + sent, static_cast<DWORD>(frame_bytes - sent), &n,
                           nullptr))
                break;
            sent += n;
        }
    }
    CloseHandle(write_end);
    WaitForSingleObject(child, 60000);
    const double elapsed = now() - start;
    CloseHandle(child);
    return elapsed;
}

// Child: answers `count` pings on the two named semaphores.
int ponger(const std::string& ping_name, const std::string& pong_name, int count)
{
    const HANDLE ping = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ping_name.c_str());
    const HANDLE pong = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, pong_name.c_str());
    if (ping == nullptr || pong == nullptr)
        return 1;
    for (int i = 0; i < count; ++i) {
        if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0)
            return 2;
        ReleaseSemaphore(pong, 1, nullptr);
    }
    return 0;
}

double ping_pong_seconds_each(int count)
{
    const std::string base = "hx_bench_" + std::to_string(GetCurrentProcessId());
    const HANDLE ping = CreateSemaphoreA(nullptr, 0, 1, (base + "_ping").c_str());
    const HANDLE pong = CreateSemaphoreA(nullptr, 0, 1, (base + "_pong").c_str());
    const HANDLE child =
        start_child("--pong " + base + "_ping " + base + "_pong " + std::to_string(count), false);
    if (child == nullptr)
        return -1;
    // One turn first, so the child is up before the clock starts.
    ReleaseSemaphore(ping, 1, nullptr);
    WaitForSingleObject(pong, 10000);
    const double start = now();
    for (int i = 1; i < count; ++i) {
        ReleaseSemaphore(ping, 1, nullptr);
        WaitForSingleObject(pong, 10000);
    }
    const double each = (now() - start) / (count - 1);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
    CloseHandle(ping);
    CloseHandle(pong);
    return each;
}

struct module_timing {
    double frames_ms = -1;
    double request_us = -1;
};

module_timing through_module(int frames, int requests)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string log = std::string(temp) + "hx_bench_encoder.log";
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_OUT", nullptr);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", ("--time-setting " + std::to_string(requests)).c_str());

    clip_settings clip;
    clip.width = width;
    clip.height = height;
    clip.frames = frames;
    clip.audio_present = false;
    clip.fixed_picture = true;
    premiere_host host(clip);
    premiere_module module;
    module_timing timing;
    if (!module.load(beside("tsp_prm_nle.prm")))
        return timing;
    dialog_answerer answerer(dialog_answerer::plan{});
    const int32_t result =
        module.call(prm_export_work_area, host.standard(), host.export_record(), host.work_area());
    answerer.answered();
    if (result != 0)
        return timing;

    std::string text;
    for (int tries = 0; tries < 500 && text.find("] exit ") == std::string::npos; ++tries) {
        Sleep(10);
        text = read_whole_file(log);
    }
    std::sscanf(line_after(text, "] frames ").c_str(), "%*d in %lf ms", &timing.frames_ms);
    std::sscanf(line_after(text, "] setting round trip ").c_str(), "%*d requests %lf us", &timing.request_us);
    return timing;
}

void row(const char* what, int frames, double seconds)
{
    const double fps = frames / seconds;
    std::printf("  %-34s %9.1f frames/s %8.2f GB/s\n", what, fps, fps * frame_bytes / 1e9);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--pipe-reader") == 0)
        return pipe_reader(reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10)), std::atoi(argv[3]));
    if (argc == 5 && std::strcmp(argv[1], "--pong") == 0)
        return ponger(argv[2], argv[3], std::atoi(argv[4]));

    int frames = 120, requests = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frames") == 0)
            frames = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--requests") == 0)
            requests = std::atoi(argv[i + 1]);
    }

    const HWND window = create_host_window();
    const module_timing module = through_module(frames, requests);
    DestroyWindow(window);
    if (module.frames_ms < 0 || module.request_us < 0) {
        std::fprintf(stderr, "premiere_bench: the export through the module did not complete\n");
        return 1;
    }
    const double module_seconds = module.frames_ms / 1e3;
    const double copy_seconds = memcpy_seconds(frames);
    const double pipe = pipe_seconds(frames);
    const double ping_pong = ping_pong_seconds_each(requests);

    std::printf("frames of %d x %d x 4 bytes (%zu bytes), %d of them\n", width, height, frame_bytes, frames);
    row("module + channel -> encoder", frames, module_seconds);
    row("memcpy", frames, copy_seconds);
    row("anonymous pipe, two processes", frames, pipe);
    std::printf("  module / memcpy: %.2f   module / pipe: %.2f   (throughput ratios)\n",
                copy_seconds / module_seconds, pipe / module_seconds);
    std::printf("small request round trip, %d of them\n", requests);
    std::printf("  %-34s %9.1f us\n", "setting request through the module", module.request_us);
    std::printf("  %-34s %9.1f us\n", "bare semaphore ping-pong", ping_pong * 1e6);
    std::printf("  module / ping-pong: %.2f   (time ratio)\n", module.request_us / (ping_pong * 1e6));
    return 0;
}
