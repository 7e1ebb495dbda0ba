#include "named_objects.h"

namespace {

const char* kind_word(named_kind kind)
{
    return kind == named_kind::mapping ? "mapping" : "semaphore";
}

}  // namespace

bool named_object_exists(const named_object& object)
{
    const HANDLE h = object.kind == named_kind::mapping
                         ? OpenFileMappingA(FILE_MAP_READ, FALSE, object.name.c_str())
                         : OpenSemaphoreA(SYNCHRONIZE, FALSE, object.name.c_str());
    if (h != nullptr)
        CloseHandle(h);
    return h != nullptr;
}

std::string named_objects_left(const std::vector<named_object>& objects)
{
    std::string left;
    for (const named_object& object : objects)
        if (named_object_exists(object))
            left += object.name + " ";
    return left;
}

// args: kind name ready release: creates the object, signals `ready`, and holds the name until
// `release` is signalled or 30 seconds pass. 40: the name was taken; 41: not released in time.
HX_CHILD_ROLE(hold_name)
{
    if (args.size() != 4)
        return 42;
    const std::string& name = args[1];
    const HANDLE held = args[0] == "mapping" ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                                                  PAGE_READWRITE, 0, 4096, name.c_str())
                                             : CreateSemaphoreA(nullptr, 0, 1, name.c_str());
    if (held == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (held != nullptr)
            CloseHandle(held);
        return 40;
    }
    const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, args[2].c_str());
    const HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, args[3].c_str());
    DWORD waited = WAIT_FAILED;
    if (ready != nullptr && release != nullptr) {
        SetEvent(ready);
        waited = WaitForSingleObject(release, 30000);
    }
    for (HANDLE h : {ready, release, held})
        if (h != nullptr)
            CloseHandle(h);
    return waited == WAIT_OBJECT_0 ? 0 : 41;
}

bool name_holder::hold(const named_object& object, DWORD timeout_ms)
{
    const std::string ready_name = unique_name("ready"), release_name = unique_name("release");
    ready_.h_ = CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str());
    release_.h_ = CreateEventA(nullptr, TRUE, FALSE, release_name.c_str());
    if (ready_.h_ == nullptr || release_.h_ == nullptr)
        return false;
    if (!child_.start_role("hold_name", std::string(kind_word(object.kind)) + " " + object.name + " " +
                                            ready_name + " " + release_name))
        return false;
    // The child's exit also ends the wait: it could not take the name.
    const HANDLE waits[] = {ready_.get(), child_.handle()};
    return WaitForMultipleObjects(2, waits, FALSE, timeout_ms) == WAIT_OBJECT_0;
}

DWORD name_holder::release(DWORD timeout_ms)
{
    if (release_.h_ != nullptr)
        SetEvent(release_.h_);
    return child_.wait_exit(timeout_ms);
}
