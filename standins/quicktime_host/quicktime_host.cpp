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
        self->calls.push_back({movie, message, operation, percent, refCon});
    } catch (...) {
        return memFullErr;
    }
    if (self->print) {
        std::printf("progress: %s (operation %d, %.1f%%)%s\n", message_name(message), operation,
                    100.0 * percent / 65536.0, self->answer != noErr ? ", asking to cancel" : "");
        std::fflush(stdout);
    }
    return self->answer;
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
