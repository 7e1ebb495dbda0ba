// How fast frames cross each export road into the encoder, beside the machine's limit for the
// same work, measured in rounds so that one busy moment does not decide a row.
//
// For each size, and each road (the Premiere module, the QuickTime component), the host
// stand-in exports a clip whose frames cost it nothing (one picture drawn before the export and
// handed out for every frame) through the real plug-in and channel to the stand-in encoder in
// --bench mode, which only asks and reads each answer once; the encoder times its first frame
// turn apart (the block's pages are touched for the first time there) and then the steady
// turns. Beside it:
//   limit: in this process, a copy of the frame into a block laid out as the channel's (size
//          header, then the payload) and a read of that block (the encoder's read), plus one
//          bare semaphore ping-pong round trip between two processes (a turn's handshake);
//   pipe:  the same frames through an anonymous pipe to a second process, which reads them.
// Every row is measured once a round, the rows of a size in turn (Premiere, limit, QuickTime,
// pipe), for --rounds rounds; each row shows the median and the lowest and highest round, and
// a road's share of the limit is the limit's median over the road's.
// Then the round trip of a small request (the Premiere setting) beside the bare ping-pong,
// once a round as well. Every process of the run keeps to one processor unless --cpu any.
//
//   bench.exe [--frames N] [--sizes WxH[,WxH...]] [--requests N] [--rounds N] [--cpu N|any]
//
// The plug-ins and the encoder use fixed channel names: run one bench at a time.
// Exit status: 0 every row measured in every round and every checksum right, 1 otherwise,
// 2 bad arguments.
#include "command_line.h"
#include "premiere_host.h"
#include "quicktime_host.h"
#include "sample_checksum.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: bench.exe [--frames N] [--sizes WxH[,WxH...]] [--requests N] [--rounds N] [--cpu N|any]\n"
    "  --frames N    frame turns an export up to 1920 x 1080, N / 3 above; the first turn of\n"
    "                each export is reported apart (2 to 3600, default 60)\n"
    "  --sizes LIST  frame sizes, 4 bytes a pixel (default 1280x720,1920x1080,3840x2160)\n"
    "  --requests N  small-request round trips a round (2 to 1000000, default 2000)\n"
    "  --rounds N    times each row is measured; rows show the median and the spread\n"
    "                (1 to 100, default 5)\n"
    "  --cpu N|any   the processor every process of the run keeps to (default the last one),\n"
    "                or any: wherever the system puts them\n";

// Bare ping-pong round trips that go with each measurement of the limit.
constexpr int limit_ping_pongs = 500;

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
    void reset(HANDLE h)
    {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
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

// ---- Rounds -------------------------------------------------------------------------------------

// One row's measurements, one a round; a round that measured nothing adds nothing.
class samples {
public:
    void add(double value)
    {
        if (value > 0)
            values_.push_back(value);
        else
            ++missing_;
    }
    bool complete() const { return missing_ == 0 && !values_.empty(); }
    bool empty() const { return values_.empty(); }
    size_t count() const { return values_.size(); }
    double median() const
    {
        if (values_.empty())
            return -1;
        std::vector<double> v = values_;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double lowest() const { return values_.empty() ? -1 : *std::min_element(values_.begin(), values_.end()); }
    double highest() const
    {
        return values_.empty() ? -1 : *std::max_element(values_.begin(), values_.end());
    }

private:
    std::vector<double> values_;
    int missing_ = 0;
};

// ---- Machine limit -------------------------------------------------------------------------------

// Child: answers pings on the first named semaphore with pongs on the second until the event
// is set (or nothing comes for ten minutes).
int ponger(const std::string& ping_name, const std::string& pong_name, const std::string& quit_name)
{
    const handle_owner ping(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, ping_name.c_str()));
    const handle_owner pong(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, pong_name.c_str()));
    const handle_owner quit(OpenEventA(SYNCHRONIZE, FALSE, quit_name.c_str()));
    if (ping.get() == nullptr || pong.get() == nullptr || quit.get() == nullptr)
        return 1;
    const HANDLE waits[2] = {ping.get(), quit.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, 600000) == WAIT_OBJECT_0)
        ReleaseSemaphore(pong.get(), 1, nullptr);
    return 0;
}

// A second process that answers semaphore pings for the whole run, started once: a Wine
// process start costs far more than any measurement here.
class ping_pong_peer {
public:
    bool start()
    {
        const std::string base = "hx_bench_" + std::to_string(GetCurrentProcessId());
        ping_.reset(CreateSemaphoreA(nullptr, 0, 1, (base + "_ping").c_str()));
        pong_.reset(CreateSemaphoreA(nullptr, 0, 1, (base + "_pong").c_str()));
        quit_.reset(CreateEventA(nullptr, TRUE, FALSE, (base + "_quit").c_str()));
        if (ping_.get() == nullptr || pong_.get() == nullptr || quit_.get() == nullptr)
            return false;
        child_.reset(start_child("--pong " + base + "_ping " + base + "_pong " + base + "_quit", false));
        // One turn, so the child is up before any clock starts.
        return child_.get() != nullptr && turns(1);
    }
    ~ping_pong_peer()
    {
        if (child_.get() == nullptr)
            return;
        SetEvent(quit_.get());
        WaitForSingleObject(child_.get(), 10000);
    }
    ping_pong_peer() = default;
    ping_pong_peer(const ping_pong_peer&) = delete;
    ping_pong_peer& operator=(const ping_pong_peer&) = delete;

    // Seconds per round trip over `count` of them, or -1.
    double seconds_each(int count)
    {
        const double start = now();
        if (count < 1 || !turns(count))
            return -1;
        return (now() - start) / count;
    }

private:
    bool turns(int count)
    {
        for (int i = 0; i < count; ++i) {
            ReleaseSemaphore(ping_.get(), 1, nullptr);
            if (WaitForSingleObject(pong_.get(), 10000) != WAIT_OBJECT_0)
                return false;
        }
        return true;
    }

    handle_owner ping_, pong_, quit_, child_;
};

struct limit_timing {
    double copy_seconds = -1;  // per frame
    double read_seconds = -1;  // per frame
    double ping_pong_seconds = -1;
    double total() const
    {
        return copy_seconds > 0 && read_seconds > 0 && ping_pong_seconds > 0
                   ? copy_seconds + read_seconds + ping_pong_seconds
                   : -1;
    }
};

// The frame copied into a paging-file block laid out as the channel's (a 4-byte size header,
// then the payload), as a plug-in does, then read once into the checksum, as the encoder
// does; and the bare handshake of a turn.
limit_timing limit_of(const frame_size& size, int frames, ping_pong_peer& peer)
{
    limit_timing timing;
    const size_t bytes = size.bytes();
    const handle_owner mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  static_cast<DWORD>(bytes + 4), nullptr));
    if (mapping.get() == nullptr)
        return timing;
    uint8_t* view = static_cast<uint8_t*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, bytes + 4));
    if (view == nullptr)
        return timing;
    uint8_t* const block = view + 4;
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
    UnmapViewOfFile(view);
    // The checksum is used, so neither the copy nor the read can be left out.
    timing.copy_seconds = copying / frames + (checksum == 0x12345678u ? 1e-12 : 0);
    timing.read_seconds = reading / frames;
    timing.ping_pong_seconds = peer.seconds_each(limit_ping_pongs);
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
    double seconds_each = -1;   // per steady frame turn, as the encoder timed it
    double first_seconds = -1;  // the first frame turn of the export
    bool checksum_right = false;
    double request_us = -1;  // Premiere, when asked: the setting request's round trip
    bool measured() const { return seconds_each > 0 && first_seconds > 0; }
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

// The encoder writes its last log line before its process has gone; the rest of its ending
// (and, under emulation, a good deal of work) must not fall into the next measurement.
void wait_for_encoders_to_end()
{
    const handle_owner snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "encoder.exe") != 0)
            continue;
        const handle_owner process(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process.get() != nullptr)
            WaitForSingleObject(process.get(), 10000);
    }
}

void encoder_environment(const std::string& log, const std::string& options)
{
    DeleteFileA(log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_LOG", log.c_str());
    SetEnvironmentVariableA("HX_ENCODER_OUT", nullptr);
    SetEnvironmentVariableA("HX_ENCODER_OPTIONS", options.c_str());
}

// The encoder's "frame turns: first F ms, then N in T ms" line.
void frame_turns_from(const std::string& log_text, int frames, road_result& r)
{
    double first_ms = -1, steady_ms = -1;
    int steady = -1;
    if (std::sscanf(line_after(log_text, "] frame turns: ").c_str(), "first %lf ms, then %d in %lf ms",
                    &first_ms, &steady, &steady_ms) != 3 ||
        steady != frames - 1 || steady < 1 || first_ms <= 0 || steady_ms <= 0)
        return;
    r.first_seconds = first_ms / 1e3;
    r.seconds_each = steady_ms / 1e3 / steady;
}

// The encoder folds every frame it reads; the same fold over the picture the host served.
uint32_t expected_checksum(const std::vector<uint8_t>& picture, int frames)
{
    uint32_t checksum = 0;
    for (int i = 0; i < frames; ++i)
        checksum = fold_sample_checksum(checksum, picture.data(), picture.size());
    return checksum;
}

std::vector<uint8_t> premiere_picture(const frame_size& size)
{
    std::vector<uint8_t> picture(size.bytes());
    for (int32_t y = 0; y < size.height; ++y)
        for (int32_t x = 0; x < size.width; ++x) {
            const uint32_t p = premiere_host::pixel(0, x, y);
            std::memcpy(&picture[(static_cast<size_t>(y) * size.width + x) * 4], &p, 4);
        }
    return picture;
}

road_result premiere_road(premiere_module& module, const frame_size& size, int frames, int requests,
                          uint32_t expected)
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
    wait_for_encoders_to_end();
    frame_turns_from(text, frames, r);
    if (requests > 0)
        std::sscanf(line_after(text, "] setting round trip ").c_str(), "%*d requests %lf us", &r.request_us);
    unsigned got = 0;
    r.checksum_right =
        std::sscanf(line_after(text, "] bench ").c_str(), "%*d frames checksum 0x%x", &got) == 1 &&
        got == expected;
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
    wait_for_encoders_to_end();
    frame_turns_from(text, frames, r);
    unsigned got = 0;
    r.checksum_right = std::sscanf(line_after(text, ", checksum 0x").c_str(), "%x", &got) == 1 &&
                       got == expected_checksum(movie.expected_frame(0), frames);
    return r;
}

// ---- Report -------------------------------------------------------------------------------------

constexpr const char* premiere_row = "Premiere: module + channel -> encoder";
constexpr const char* quicktime_row = "QuickTime: component + channel -> encoder";
constexpr const char* limit_row = "limit: copy + read + ping-pong";
constexpr const char* pipe_row = "anonymous pipe, two processes";

void table_head()
{
    std::printf("  %-42s %6s %10s %8s %8s %7s %10s\n", "", "turns", "median ms", "lowest", "highest", "GB/s",
                "limit/row");
}

// A row of medians and spread in milliseconds; `limit` > 0 adds the limit's median over the
// row's, the share of the limit the row reaches.
void row(const char* what, int turns, const samples& s, size_t bytes, double limit, int rounds,
         const std::string& note)
{
    char line[400];
    if (s.empty()) {
        std::printf("  %-42s %6d    (not measured)\n", what, turns);
        return;
    }
    const double m = s.median();
    int n = std::snprintf(line, sizeof line, "  %-42s %6d %10.3f %8.3f %8.3f", what, turns, m * 1e3,
                          s.lowest() * 1e3, s.highest() * 1e3);
    if (bytes > 0 && limit > 0)
        n += std::snprintf(line + n, sizeof line - n, " %7.2f %10.2f", bytes / m / 1e9, limit / m);
    std::string tail = note;
    if (static_cast<int>(s.count()) < rounds)
        tail += (tail.empty() ? "" : "; ") + std::to_string(s.count()) + " of " + std::to_string(rounds) +
                " rounds measured";
    if (!tail.empty())
        std::snprintf(line + n, sizeof line - n, "   %s", tail.c_str());
    std::printf("%s\n", line);
}

const char* checksum_note(int measured, int right)
{
    return measured == 0 ? "" : right == measured ? "checksum right" : "CHECKSUM WRONG";
}

// ---- Arguments ----------------------------------------------------------------------------------

constexpr int any_cpu = -1;

// The processors this process may run on.
DWORD_PTR usable_cpus()
{
    DWORD_PTR process = 0, system = 0;
    return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) ? process : 0;
}

int last_usable_cpu()
{
    const DWORD_PTR mask = usable_cpus();
    int last = any_cpu;
    for (int cpu = 0; cpu < static_cast<int>(sizeof mask * 8); ++cpu)
        if (mask & (DWORD_PTR(1) << cpu))
            last = cpu;
    return last;
}

struct options {
    int frames = 60;
    int requests = 2000;
    int rounds = 5;
    int cpu = last_usable_cpu();
    std::vector<frame_size> sizes = {{1280, 720}, {1920, 1080}, {3840, 2160}};
};

bool parse_cpu(const char* text, int& out, std::string& why)
{
    if (std::strcmp(text, "any") == 0) {
        out = any_cpu;
        return true;
    }
    const std::string quoted = std::string("'") + text + "'";
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE) {
        why = "--cpu: " + quoted + " is neither a processor number nor 'any'";
        return false;
    }
    if (v >= static_cast<long>(sizeof(DWORD_PTR) * 8) || (usable_cpus() & (DWORD_PTR(1) << v)) == 0) {
        why = "--cpu: " + quoted + " is not a processor this program may use (the last is " +
              std::to_string(last_usable_cpu()) + ")";
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool parse_sizes(const char* text, std::vector<frame_size>& sizes, std::string& why)
{
    sizes.clear();
    const std::string all = text;
    size_t at = 0;
    for (;;) {
        const size_t comma = all.find(',', at);
        const std::string one = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        int w = 0, h = 0, used = 0;
        if (std::sscanf(one.c_str(), "%dx%d%n", &w, &h, &used) != 2 || used != static_cast<int>(one.size()) ||
            one.find_first_not_of("0123456789x") != std::string::npos) {
            why = "--sizes: '" + one + "' is not WIDTHxHEIGHT (for example 1280x720)";
            return false;
        }
        if (w < 1 || h < 1 || w > 8192 || h > 8192) {
            why = "--sizes: '" + one + "' is out of range (1 to 8192 pixels each way)";
            return false;
        }
        sizes.push_back({w, h});
        if (comma == std::string::npos)
            return true;
        at = comma + 1;
    }
}

// False with `why` set when the arguments are not the bench's.
bool parse_arguments(int argc, char** argv, options& o, std::string* why)
{
    command_line args(argc, argv);
    std::string value;
    while (args.next()) {
        if (args.is("--frames"))
            args.number(&o.frames, 2, 3600);
        else if (args.is("--requests"))
            args.number(&o.requests, 2, 1000000);
        else if (args.is("--rounds"))
            args.number(&o.rounds, 1, 100);
        else if (args.is("--cpu")) {
            if (args.text(&value) && !parse_cpu(value.c_str(), o.cpu, *why))
                args.fail(*why);
        } else if (args.is("--sizes")) {
            if (args.text(&value) && !parse_sizes(value.c_str(), o.sizes, *why))
                args.fail(*why);
        } else
            args.unknown();
    }
    *why = args.error();
    return args.ok();
}

// ---- The run ------------------------------------------------------------------------------------

int run(const options& o)
{
    // A frame turn never keeps two processors busy: the plug-in and the encoder take turns. On
    // one processor for the whole run they find the block in the caches where the other left
    // it, as the limit's copy and read do, and no other program's placement moves them about
    // between rounds. Every process started from here (the encoder, the ping-pong and pipe
    // peers) inherits the processor.
    if (o.cpu != any_cpu && !SetProcessAffinityMask(GetCurrentProcess(), DWORD_PTR(1) << o.cpu)) {
        std::fprintf(stderr, "bench: cannot keep to processor %d\n", o.cpu);
        return 1;
    }
    // The runtime stand-in moves unlocked handles on every call to catch stale pointers; the
    // real runtime does not, so the bench turns it off before the runtime loads, and once more
    // once it is loaded, whatever the environment said.
    SetEnvironmentVariableA("HX_QT_MOVE_HANDLES", "0");
    quicktime_host qt_host;
    std::string error;
    if (!qt_host.load_component(beside("Quillex.qtx"), &error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    qt_host.standin().set_move_handles(0);
    premiere_module module;
    if (!module.load(beside("tsp_prm_nle.prm"))) {
        std::fprintf(stderr, "bench: tsp_prm_nle.prm cannot be loaded\n");
        return 1;
    }
    const HWND window = create_host_window();
    ping_pong_peer peer;
    if (!peer.start()) {
        std::fprintf(stderr, "bench: the semaphore ping-pong did not run\n");
        return 1;
    }

    std::printf("Frames through each road into the stand-in encoder (--bench), beside the limit:\n");
    std::printf("%d round%s, each row measured once a round; ms a steady frame turn (median, lowest,\n",
                o.rounds, o.rounds == 1 ? "" : "s");
    std::printf("highest round), GB/s of the median, limit/row = the limit's median over the row's\n");
    if (o.cpu != any_cpu)
        std::printf("Every process of the run on processor %d (--cpu any: wherever the system puts them)\n",
                    o.cpu);
    else
        std::printf("Every process of the run wherever the system puts it (--cpu any)\n");
    bool good = true;
    samples requests_us, ping_pong_us;
    for (size_t k = 0; k < o.sizes.size(); ++k) {
        const frame_size& size = o.sizes[k];
        const int count = size.bytes() > size_t(1920) * 1080 * 4 ? std::max(2, o.frames / 3) : o.frames;
        const uint32_t premiere_expected = expected_checksum(premiere_picture(size), count);
        samples premiere, premiere_first, quicktime, quicktime_first, limit, copy, read, ping_pong, pipe;
        int premiere_right = 0, quicktime_right = 0;
        for (int round = 0; round < o.rounds; ++round) {
            const bool time_requests = k == 0;
            const road_result p =
                premiere_road(module, size, count, time_requests ? o.requests : 0, premiere_expected);
            const limit_timing l = limit_of(size, count, peer);
            const road_result q = quicktime_road(qt_host, size, count);
            const double piped = pipe_seconds_each(size, count);
            if (time_requests) {
                requests_us.add(p.request_us);
                const double bare = peer.seconds_each(o.requests);
                ping_pong_us.add(bare > 0 ? bare * 1e6 : -1);
            }
            premiere.add(p.measured() ? p.seconds_each : -1);
            premiere_first.add(p.measured() ? p.first_seconds : -1);
            premiere_right += p.measured() && p.checksum_right;
            quicktime.add(q.measured() ? q.seconds_each : -1);
            quicktime_first.add(q.measured() ? q.first_seconds : -1);
            quicktime_right += q.measured() && q.checksum_right;
            limit.add(l.total());
            copy.add(l.copy_seconds);
            read.add(l.read_seconds);
            ping_pong.add(l.ping_pong_seconds);
            pipe.add(piped);
        }
        const double limit_median = limit.median();

        std::printf("\n%d x %d x 4 bytes (%zu bytes a frame), %d frame turns an export\n", size.width,
                    size.height, size.bytes(), count);
        table_head();
        const int steady = count - 1;
        row(premiere_row, steady, premiere, size.bytes(), limit_median, o.rounds,
            checksum_note(static_cast<int>(premiere.count()), premiere_right));
        row("  its first frame turn", 1, premiere_first, 0, -1, o.rounds, "");
        row(quicktime_row, steady, quicktime, size.bytes(), limit_median, o.rounds,
            checksum_note(static_cast<int>(quicktime.count()), quicktime_right));
        row("  its first frame turn", 1, quicktime_first, 0, -1, o.rounds, "");
        char note[160] = "";
        if (!copy.empty() && !read.empty() && !ping_pong.empty())
            std::snprintf(note, sizeof note, "medians: copy %.3f + read %.3f + ping-pong %.3f ms",
                          copy.median() * 1e3, read.median() * 1e3, ping_pong.median() * 1e3);
        row(limit_row, count, limit, size.bytes(), limit_median, o.rounds, note);
        row(pipe_row, count, pipe, size.bytes(), limit_median, o.rounds, "");
        std::fflush(stdout);
        good = good && premiere.complete() && premiere_first.complete() && quicktime.complete() &&
               quicktime_first.complete() && premiere_right == o.rounds && quicktime_right == o.rounds &&
               limit.complete() && pipe.complete();
    }
    DestroyWindow(window);

    std::printf("\nSmall request round trip, %d a round (median, lowest, highest round)\n", o.requests);
    const auto small_row = [](const char* what, const samples& s) {
        if (s.empty())
            std::printf("  %-42s    (not measured)\n", what);
        else
            std::printf("  %-42s %10.1f %8.1f %8.1f us\n", what, s.median(), s.lowest(), s.highest());
    };
    small_row("Premiere: setting request through module", requests_us);
    small_row("bare semaphore ping-pong, two processes", ping_pong_us);
    if (!requests_us.empty() && !ping_pong_us.empty())
        std::printf("  module / ping-pong: %.2f (of the medians)\n",
                    requests_us.median() / ping_pong_us.median());
    good = good && requests_us.complete() && ping_pong_us.complete();
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
            return ponger(argv[2], argv[3], argv[4]);
        options o;
        const int status = read_options(argc, argv, "bench", usage, [&](std::string* why) {
            return parse_arguments(argc, argv, o, why);
        });
        return status >= 0 ? status : run(o);
    } catch (...) {
        std::fprintf(stderr, "bench: out of memory\n");
        return 1;
    }
}
