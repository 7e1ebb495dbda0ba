#include "quicktime_host.h"

#include <cstdio>
#include <cstring>

namespace {

const char* message_name(int16_t message)
{
    switch (message) {
    case movieProgressOpen:
        return "open";
    case movieProgressUpdatePercent:
        return "update";
    case movieProgressClose:
        return "close";
    default:
        return "unknown message";
    }
}

}  // namespace

// ---- Progress ---------------------------------------------------------------------------------

OSErr __cdecl qt_progress::procedure(Movie movie, int16_t message, int16_t operation, Fixed percent,
                                     int32_t refCon)
{
    qt_progress* self = reinterpret_cast<qt_progress*>(static_cast<uintptr_t>(static_cast<uint32_t>(refCon)));
    if (self == nullptr)
        return noErr;
    try {
        return self->take({movie, message, operation, percent, refCon});
    } catch (...) {
        return memFullErr;
    }
}

OSErr qt_progress::take(const qt_progress_call& call)
{
    if (dispatch_messages) {
        // What a host's progress procedure does besides drawing: its windows paint and answer.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                break;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    const bool update = call.message == movieProgressUpdatePercent;
    OSErr result = answer;
    if (result == noErr && update && cancel_at >= 0 && call.percent >= cancel_at)
        result = userCanceledErr;
    if (on_call) {
        const OSErr asked = on_call(call);
        if (result == noErr)
            result = asked;
    }
    {
        const std::lock_guard<std::mutex> hold(lock_);
        calls.push_back(call);
        if (result != noErr && cancel_asked_at_ == 0)
            cancel_asked_at_ = GetTickCount();
    }
    if (print) {
        const int whole = static_cast<int>(static_cast<int64_t>(call.percent) * 100 / 65536);
        const char* cancel = result != noErr ? ", asking to cancel" : "";
        if (!update)
            std::printf("progress: %s (operation %d)%s\n", message_name(call.message), call.operation,
                        cancel);
        else if (whole != printed_percent_ || result != noErr)
            std::printf("progress: %d%%%s\n", whole, cancel);
        if (update)
            printed_percent_ = whole;
        std::fflush(stdout);
    }
    return result;
}

std::vector<qt_progress_call> qt_progress::snapshot() const
{
    const std::lock_guard<std::mutex> hold(lock_);
    return calls;
}

DWORD qt_progress::cancel_asked_at() const
{
    const std::lock_guard<std::mutex> hold(lock_);
    return cancel_asked_at_;
}

void qt_progress::print_summary() const
{
    const std::vector<qt_progress_call> seen = snapshot();
    long updates = 0, lower = 0;
    Fixed first = 0, last = 0;
    for (const qt_progress_call& call : seen) {
        if (call.message != movieProgressUpdatePercent)
            continue;
        if (updates == 0)
            first = call.percent;
        else if (call.percent < last)
            ++lower;
        last = call.percent;
        ++updates;
    }
    if (updates == 0)
        std::printf("progress: no updates\n");
    else if (lower == 0)
        std::printf("progress: %ld updates from %.1f%% to %.1f%%, never lower than the one before\n", updates,
                    100.0 * first / 65536.0, 100.0 * last / 65536.0);
    else
        std::printf("progress: %ld updates from %.1f%% to %.1f%%, %ld lower than the one before\n", updates,
                    100.0 * first / 65536.0, 100.0 * last / 65536.0, lower);
    std::fflush(stdout);
}

std::string qt_progress_fault(const std::vector<qt_progress_call>& calls, bool finished, int32_t refcon)
{
    if (calls.size() < 2)
        return std::to_string(calls.size()) + " progress calls";
    if (calls.front().message != movieProgressOpen || calls.front().percent != 0)
        return "the first call is not open at 0";
    if (calls.back().message != movieProgressClose || calls.back().percent != 0)
        return "the last call is not close at 0";
    Fixed last = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const qt_progress_call& c = calls[i];
        const std::string call = "call " + std::to_string(i) + " ";
        if (c.operation != progressOpExportMovie || c.movie != nullptr || c.refcon != refcon)
            return call + "has another operation, movie or refcon";
        if (i == 0 || i + 1 == calls.size())
            continue;
        if (c.message != movieProgressUpdatePercent)
            return call + "between open and close is message " + std::to_string(c.message);
        if (c.percent < last)
            return call + "fell from " + std::to_string(last) + " to " + std::to_string(c.percent);
        if (c.percent > qt_progress_whole || (c.percent == qt_progress_whole && i + 2 != calls.size()))
            return call + "reports " + std::to_string(c.percent) + " before the last update";
        last = c.percent;
    }
    const bool whole = calls.size() > 2 && calls[calls.size() - 2].percent == qt_progress_whole;
    if (whole != finished)
        return finished ? "a finished export never reported the whole"
                        : "an export that did not finish reported the whole";
    return "";
}

// ---- The host ---------------------------------------------------------------------------------

bool quicktime_host::load_component(const std::string& qtx_path, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    if (GetFileAttributesA(qtx_path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fail("no component file " + qtx_path);
    hx_qt_bind();
    if (!hx_qt_is_bound())
        return fail(
            "QuickTime (QuickTime.qts) cannot be loaded: it is not in the system folder (the rig puts "
            "the stand-in there)");
    if (!standin_.find())
        return fail("the loaded QuickTime.qts cannot register component files (not the stand-in runtime)");
    if (standin_.register_file(qtx_path.c_str()) <= 0) {
        const char* why = standin_.last_message();
        return fail("QuickTime refused " + qtx_path +
                    (why != nullptr && *why ? std::string(": ") + why : ""));
    }
    // QuickTime may also have registered an installed copy at start-up: take this file's.
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(qtx_path.c_str(), MAX_PATH, full, nullptr);
    const std::string wanted = n != 0 && n < MAX_PATH ? std::string(full, n) : qtx_path;
    ComponentDescription looking{hx_fourcc("spit"), hx_fourcc("Duff"), 0, 0, 0};
    component_ = nullptr;
    for (Component c = FindNextComponent(nullptr, &looking); c != nullptr;
         c = FindNextComponent(c, &looking)) {
        component_ = c;
        if (lstrcmpiA(component_file().c_str(), wanted.c_str()) == 0)
            break;
        component_ = nullptr;
    }
    if (component_ == nullptr)
        return fail("no 'spit'/'Duff' component registered from " + qtx_path);
    return true;
}

bool quicktime_host::find_installed_component(std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    hx_qt_bind();
    if (!hx_qt_is_bound())
        return fail("QuickTime (QuickTime.qts) cannot be loaded");
    if (!standin_.find())
        return fail("the loaded QuickTime.qts is not the stand-in runtime");
    ComponentDescription looking{hx_fourcc("spit"), hx_fourcc("Duff"), 0, 0, 0};
    component_ = FindNextComponent(nullptr, &looking);
    if (component_ == nullptr)
        return fail("QuickTime found no 'spit'/'Duff' component in its components folders");
    return true;
}

std::string quicktime_host::component_file() const
{
    char path[MAX_PATH];
    if (component_ == nullptr || standin_.component_file == nullptr ||
        standin_.component_file(component_, path, sizeof path) <= 0)
        return std::string();
    return path;
}

ComponentInstance quicktime_host::open()
{
    return component_ != nullptr ? OpenComponent(component_) : nullptr;
}

OSErr quicktime_host::close(ComponentInstance ci)
{
    return CloseComponent(ci);
}

// ---- One export -------------------------------------------------------------------------------

bool qt_export_results::succeeded() const
{
    if (instance == nullptr || set_progress != 0 || !ran || exported != 0 || closed != 0)
        return false;
    for (const qt_source_result& s : sources)
        if (s.result != 0)
            return false;
    return true;
}

qt_export_results run_export(quicktime_host& host, qt_movie& movie, qt_progress* progress,
                             const qt_export_plan& plan)
{
    qt_export_results results;
    results.instance = host.open();
    if (results.instance == nullptr)
        return results;
    const ComponentInstance ci = results.instance;

    if (plan.set_progress && progress != nullptr)
        results.set_progress =
            qt_glue::movie_export_set_progress_proc(ci, progress->proc(), progress->refcon());

    if (plan.add_sources) {
        for (const qt_data_source& s : movie.sources()) {
            int32_t id = -1;
            const ComponentResult r = qt_glue::movie_export_add_data_source(
                ci, s.media_type, s.time_scale, &id, s.property_proc, s.data_proc, s.ref_con);
            results.sources.push_back({s.track, r, id});
        }
    }

    // The destination as a handle data reference; the component must leave it as it is.
    const qt_handle_allocator& allocator = movie.allocator();
    const std::string& text = plan.data_ref_text;
    Handle data_ref = allocator.new_clear(static_cast<long>(text.size() + 1));
    if (data_ref != nullptr && *data_ref != nullptr)
        std::memcpy(*data_ref, text.c_str(), text.size() + 1);
    results.exported = qt_glue::movie_export_from_procedures_to_data_ref(ci, data_ref, plan.data_ref_type);
    results.ran = true;
    if (data_ref != nullptr) {
        results.data_ref_untouched =
            *data_ref != nullptr && std::memcmp(*data_ref, text.c_str(), text.size() + 1) == 0;
        allocator.dispose(data_ref);
    }

    if (plan.close)
        results.closed = host.close(ci);
    return results;
}
