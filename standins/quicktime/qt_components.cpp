#include "qt_components.h"

#include "qt_component_file.h"
#include "qt_memory.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hx_qt {
namespace components {
namespace {

constexpr OSErr invalid_component_id = -3000;
constexpr uint32_t first_component = 0x00C00001u;
constexpr uint32_t first_instance = 0x00E00001u;
// _CallComponentFunctionWithStorage hands a function at most this many parameter slots.
constexpr int max_slots = 16;

// A library loaded for open instances; freed with the last of them.
class loaded_module {
public:
    explicit loaded_module(HMODULE module) : module_(module) {}
    ~loaded_module() { FreeLibrary(module_); }
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

struct component_record {
    ComponentDescription description{};
    std::string name;
    std::string info;
    std::string path;                  // the component file; empty for a component registered in memory
    std::string entry_name;            // its 'dlle' entry
    ComponentRoutine entry = nullptr;  // a component registered in memory
};

struct instance_record {
    uint32_t component = 0;
    ComponentRoutine entry = nullptr;
    std::shared_ptr<loaded_module> module;
    Handle storage = nullptr;
};

// Guarded by the runtime lock.
std::vector<component_record>& registry()
{
    static std::vector<component_record> records;
    return records;
}

std::map<uint32_t, instance_record>& instances()
{
    static std::map<uint32_t, instance_record> records;
    return records;
}

uint32_t next_instance = first_instance;

uint32_t id_of(ComponentInstance instance)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(instance));
}

component_record* find_component(uint32_t id)
{
    std::vector<component_record>& records = registry();
    if (id < first_component || id - first_component >= records.size())
        return nullptr;
    return &records[id - first_component];
}

instance_record* find_instance(uint32_t id)
{
    const auto it = instances().find(id);
    return it == instances().end() ? nullptr : &it->second;
}

long component_value(size_t index)
{
    return static_cast<long>(first_component + index);
}

bool matches(const ComponentDescription& have, const ComponentDescription* looking)
{
    if (looking == nullptr)
        return true;
    return (looking->componentType == 0 || looking->componentType == have.componentType) &&
           (looking->componentSubType == 0 || looking->componentSubType == have.componentSubType) &&
           (looking->componentManufacturer == 0 ||
            looking->componentManufacturer == have.componentManufacturer) &&
           ((have.componentFlags ^ looking->componentFlags) & looking->componentFlagsMask) == 0;
}

// The Pascal string in a handle, "" for none.
std::string handle_string(Handle handle)
{
    char* data = nullptr;
    uint32_t size = 0;
    if (handle == nullptr || !memory::block_of(handle, &data, &size) || size == 0)
        return std::string();
    const uint32_t n = static_cast<uint8_t>(data[0]);
    return std::string(data + 1, n < size ? n : size - 1);
}

void put_handle_string(Handle handle, const std::string& text)
{
    const size_t n = text.size() > 255 ? 255 : text.size();
    if (memory::resize(handle, static_cast<uint32_t>(n + 1)) != noErr)
        return;
    char* data = nullptr;
    uint32_t size = 0;
    if (!memory::block_of(handle, &data, &size))
        return;
    data[0] = static_cast<char>(n);
    std::memcpy(data + 1, text.data(), n);
}

// A parameter block for the Open and Close requests.
struct one_parameter_block {
    ComponentParameters params;
    explicit one_parameter_block(int16_t what, uint32_t instance)
    {
        params.flags = 0;
        params.paramSize = 4;
        params.what = what;
        params.params[0] = static_cast<int32_t>(instance);
    }
};

bool read_whole_file(const char* path, std::vector<uint8_t>* bytes, std::string* reason)
{
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *reason = "cannot open it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    struct closer {
        HANDLE h;
        ~closer() { CloseHandle(h); }
    } owner{file};
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 0x20000000) {
        *reason = "cannot read its size, or it is larger than 512 MB";
        return false;
    }
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes->empty() &&
        (!ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) ||
         got != bytes->size())) {
        *reason = "cannot read it";
        return false;
    }
    return true;
}

ComponentInstance open(uint32_t component)
{
    std::string path;
    std::string entry_name;
    ComponentRoutine entry = nullptr;
    {
        runtime_lock lock;
        const component_record* record = find_component(component);
        if (record == nullptr) {
            reportf("OpenComponent: 0x%08lx is not a registered component",
                    static_cast<unsigned long>(component));
            return nullptr;
        }
        path = record->path;
        entry_name = record->entry_name;
        entry = record->entry;
    }
    std::shared_ptr<loaded_module> module;
    if (entry == nullptr) {
        const HMODULE loaded = LoadLibraryA(path.c_str());
        if (loaded == nullptr) {
            reportf("OpenComponent: cannot load %s (error %lu)", path.c_str(), GetLastError());
            return nullptr;
        }
        module = std::make_shared<loaded_module>(loaded);
        entry = reinterpret_cast<ComponentRoutine>(GetProcAddress(loaded, entry_name.c_str()));
        if (entry == nullptr) {
            reportf("OpenComponent: %s has no entry point \"%s\"", path.c_str(), entry_name.c_str());
            return nullptr;
        }
    }
    uint32_t id = 0;
    {
        runtime_lock lock;
        id = next_instance++;
        instance_record& record = instances()[id];
        record.component = component;
        record.entry = entry;
        record.module = module;
    }
    one_parameter_block block(kComponentOpenSelect, id);
    const ComponentResult result = entry(&block.params, nullptr);
    if (result != 0) {
        runtime_lock lock;
        instances().erase(id);
        return nullptr;
    }
    return reinterpret_cast<ComponentInstance>(static_cast<uintptr_t>(id));
}

}  // namespace

long register_file(const char* path)
{
    if (path == nullptr) {
        report("cannot register a component file: no path");
        return 0;
    }
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) {
        reportf("cannot register %s: the path is too long", path);
        return 0;
    }
    std::vector<uint8_t> bytes;
    std::string reason;
    component_registration parsed;
    if (!read_whole_file(full, &bytes, &reason) ||
        !parse_component_file(bytes.data(), bytes.size(), &parsed, &reason)) {
        reportf("cannot register %s: %s", full, reason.c_str());
        return 0;
    }
    runtime_lock lock;
    for (const component_record& record : registry())
        if (lstrcmpiA(record.path.c_str(), full) == 0)
            return 1;
    component_record record;
    record.description = parsed.description;
    record.name = parsed.name;
    record.info = parsed.info;
    record.path = full;
    record.entry_name = parsed.entry_name;
    registry().push_back(record);
    return 1;
}

std::string file_of(uint32_t component)
{
    runtime_lock lock;
    const component_record* record = find_component(component);
    return record != nullptr ? record->path : std::string();
}

ComponentResult call(ComponentInstance instance, ComponentParameters* params)
{
    ComponentRoutine entry = nullptr;
    Handle storage = nullptr;
    std::shared_ptr<loaded_module> module;  // keeps the code loaded for the call
    {
        runtime_lock lock;
        const instance_record* record = find_instance(id_of(instance));
        if (record == nullptr) {
            reportf("CallComponent: %p is not an open instance", static_cast<void*>(instance));
            return badComponentSelector;
        }
        entry = record->entry;
        storage = record->storage;
        module = record->module;
    }
    if (params == nullptr)
        return paramErr;
    return entry(params, storage);
}

ComponentResult call_with_storage(Handle storage, ComponentParameters* params, void* function)
{
    typedef ComponentResult(__cdecl * handler)(Handle, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                               int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                               int32_t, int32_t, int32_t);
    if (function == nullptr)
        return badComponentSelector;
    // cdecl lets the caller pass more slots than the function reads: it gets its own in order,
    // the rest are zero.
    int32_t s[max_slots] = {};
    if (params != nullptr) {
        int count = params->paramSize / 4;
        if (count > max_slots) {
            reportf("_CallComponentFunctionWithStorage: %d parameters, only %d passed", count, max_slots);
            count = max_slots;
        }
        std::memcpy(s, params->params, static_cast<size_t>(count) * 4);
    }
    const handler h = reinterpret_cast<handler>(function);
    return h(storage, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12], s[13],
             s[14], s[15]);
}

// ---- Routines ---------------------------------------------------------------------------

long CallComponent(const uint32_t* args)
{
    return call(arg_ptr<ComponentInstance>(args, 0), arg_ptr<ComponentParameters*>(args, 1));
}

long RegisterComponent(const uint32_t* args)
{
    const ComponentDescription* description = arg_ptr<const ComponentDescription*>(args, 0);
    const ComponentRoutine entry = arg_ptr<ComponentRoutine>(args, 1);
    runtime_lock lock;
    if (description == nullptr || entry == nullptr)
        return 0;
    component_record record;
    record.description = *description;
    record.entry = entry;
    record.name = handle_string(arg_ptr<Handle>(args, 3));
    record.info = handle_string(arg_ptr<Handle>(args, 4));
    registry().push_back(record);
    return component_value(registry().size() - 1);
}

long CountComponents(const uint32_t* args)
{
    const ComponentDescription* looking = arg_ptr<const ComponentDescription*>(args, 0);
    runtime_lock lock;
    long count = 0;
    for (const component_record& record : registry())
        count += matches(record.description, looking) ? 1 : 0;
    return count;
}

long FindNextComponent(const uint32_t* args)
{
    const uint32_t previous = arg_u32(args, 0);
    const ComponentDescription* looking = arg_ptr<const ComponentDescription*>(args, 1);
    runtime_lock lock;
    size_t start = 0;
    if (previous != 0) {
        if (find_component(previous) == nullptr)
            return 0;
        start = previous - first_component + 1;
    }
    for (size_t i = start; i < registry().size(); ++i)
        if (matches(registry()[i].description, looking))
            return component_value(i);
    return 0;
}

long GetComponentInfo(const uint32_t* args)
{
    uint32_t id = arg_u32(args, 0);
    ComponentDescription* description = arg_ptr<ComponentDescription*>(args, 1);
    runtime_lock lock;
    // An instance stands for its component, as QuickTime allows.
    if (const instance_record* instance = find_instance(id))
        id = instance->component;
    const component_record* record = find_component(id);
    if (record == nullptr)
        return invalid_component_id;
    if (description != nullptr) {
        *description = record->description;
        description->componentFlagsMask = 0;
    }
    if (const Handle name = arg_ptr<Handle>(args, 2))
        put_handle_string(name, record->name);
    if (const Handle info = arg_ptr<Handle>(args, 3))
        put_handle_string(info, record->info);
    return noErr;
}

long OpenComponent(const uint32_t* args)
{
    return static_cast<long>(reinterpret_cast<uintptr_t>(open(arg_u32(args, 0))));
}

long OpenDefaultComponent(const uint32_t* args)
{
    ComponentDescription looking{};
    looking.componentType = arg_u32(args, 0);
    looking.componentSubType = arg_u32(args, 1);
    uint32_t found = 0;
    {
        runtime_lock lock;
        for (size_t i = 0; i < registry().size() && found == 0; ++i)
            if (matches(registry()[i].description, &looking))
                found = static_cast<uint32_t>(component_value(i));
    }
    if (found == 0)
        return 0;
    return static_cast<long>(reinterpret_cast<uintptr_t>(open(found)));
}

long CloseComponent(const uint32_t* args)
{
    const uint32_t id = arg_u32(args, 0);
    ComponentRoutine entry = nullptr;
    Handle storage = nullptr;
    std::shared_ptr<loaded_module> module;
    {
        runtime_lock lock;
        const instance_record* record = find_instance(id);
        if (record == nullptr) {
            reportf("CloseComponent: 0x%08lx is not an open instance", static_cast<unsigned long>(id));
            return bad_component_instance;
        }
        entry = record->entry;
        storage = record->storage;
        module = record->module;
    }
    // The instance stays valid while it closes: its close may still ask for its storage.
    one_parameter_block block(kComponentCloseSelect, id);
    const ComponentResult result = entry(&block.params, storage);
    {
        runtime_lock lock;
        instances().erase(id);
    }
    return result;
}

long GetComponentInstanceStorage(const uint32_t* args)
{
    runtime_lock lock;
    const instance_record* record = find_instance(arg_u32(args, 0));
    return record == nullptr ? 0 : static_cast<long>(reinterpret_cast<uintptr_t>(record->storage));
}

long SetComponentInstanceStorage(const uint32_t* args)
{
    runtime_lock lock;
    if (instance_record* record = find_instance(arg_u32(args, 0)))
        record->storage = arg_ptr<Handle>(args, 1);
    else
        reportf("SetComponentInstanceStorage: 0x%08lx is not an open instance",
                static_cast<unsigned long>(arg_u32(args, 0)));
    return 0;
}

// The stand-in has no Macintosh resource files: components come from component files
// (HXQTRegisterComponentFile) or from memory (RegisterComponent).
long RegisterComponentResource(const uint32_t*)
{
    report("RegisterComponentResource: resource handles are not served; register the component file");
    return 0;
}

long RegisterComponentResourceFile(const uint32_t*)
{
    report("RegisterComponentResourceFile: resource files are not served; register the component file");
    return res_file_not_found_err;
}

}  // namespace components
}  // namespace hx_qt
