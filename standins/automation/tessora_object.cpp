// The Tessora automation object as the stand-in implements it: the custom interface ITessora
// (IUnknown, then the twelve methods in slots 3 to 14) and ISupportErrorInfo, laid out as plain
// tables of function pointers so that each slot's place is stated and checked here, apart from
// any client's declaration of the interface.
#include "standin_io.h"
#include "standin_module.h"

#include <cstddef>
#include <new>
#include <string>

namespace {

// {50D994EE-8834-11D3-8BBE-0000E85F332D}
constexpr CLSID clsid_tessora = {
    0x50D994EE, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};
// {50D994ED-8834-11D3-8BBE-0000E85F332D}
constexpr IID iid_tessora = {0x50D994ED, 0x8834, 0x11D3, {0x8B, 0xBE, 0x00, 0x00, 0xE8, 0x5F, 0x33, 0x2D}};

struct tessora_object;
using self_t = tessora_object*;

struct tessora_table {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(self_t self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(self_t self);
    ULONG(STDMETHODCALLTYPE* Release)(self_t self);
    HRESULT(STDMETHODCALLTYPE* SetDestination)(self_t self, BSTR destination);
    HRESULT(STDMETHODCALLTYPE* SetSettingAlts)(self_t self, BSTR alternatives);
    HRESULT(STDMETHODCALLTYPE* SelectAllItems)(self_t self);
    HRESULT(STDMETHODCALLTYPE* StartEncoding)(self_t self, BSTR destination, LONG count);
    HRESULT(STDMETHODCALLTYPE* SuspendEncoding)(self_t self);
    HRESULT(STDMETHODCALLTYPE* SetSetting)(self_t self, BSTR setting);
    HRESULT(STDMETHODCALLTYPE* SetXMLSetting)(self_t self, BSTR xml);
    HRESULT(STDMETHODCALLTYPE* SetItemDestination)(self_t self, BSTR destination);
    HRESULT(STDMETHODCALLTYPE* AddItem)(self_t self, BSTR item);
    HRESULT(STDMETHODCALLTYPE* ClearItems)(self_t self);
    HRESULT(STDMETHODCALLTYPE* IsReady)(self_t self, LONG* ready);
    HRESULT(STDMETHODCALLTYPE* ExitEncoder)(self_t self);
};

#define HX_SLOT(method, n) static_assert(offsetof(tessora_table, method) == (n) * sizeof(void*), #method)
HX_SLOT(QueryInterface, 0);
HX_SLOT(AddRef, 1);
HX_SLOT(Release, 2);
HX_SLOT(SetDestination, 3);
HX_SLOT(SetSettingAlts, 4);
HX_SLOT(SelectAllItems, 5);
HX_SLOT(StartEncoding, 6);
HX_SLOT(SuspendEncoding, 7);
HX_SLOT(SetSetting, 8);
HX_SLOT(SetXMLSetting, 9);
HX_SLOT(SetItemDestination, 10);
HX_SLOT(AddItem, 11);
HX_SLOT(ClearItems, 12);
HX_SLOT(IsReady, 13);
HX_SLOT(ExitEncoder, 14);
#undef HX_SLOT
static_assert(sizeof(tessora_table) == 15 * sizeof(void*), "ITessora has no slot after 14");

struct error_support_table {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* self, REFIID iid, void** out);
    ULONG(STDMETHODCALLTYPE* AddRef)(void* self);
    ULONG(STDMETHODCALLTYPE* Release)(void* self);
    HRESULT(STDMETHODCALLTYPE* InterfaceSupportsErrorInfo)(void* self, REFIID iid);
};

// The ITessora pointer is the object's address; the ISupportErrorInfo pointer is the address of
// `errors`.
struct tessora_object {
    const tessora_table* tessora;
    const error_support_table* errors;
    LONG references;
    int number;
    int calls_in_progress;
};
static_assert(offsetof(tessora_object, tessora) == 0, "ITessora is the object's first interface");

LONG objects_created = 0;

tessora_object* from_errors(void* self)
{
    return reinterpret_cast<tessora_object*>(static_cast<char*>(self) - offsetof(tessora_object, errors));
}

// No exception leaves a method of the object.
template <class Body> HRESULT guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

std::string prefix(self_t self)
{
    return "#" + std::to_string(self->number) + " ";
}

std::string argument(BSTR text)
{
    return standin::quoted(text, text != nullptr ? SysStringLen(text) : 0);
}

void attach_error_info(REFGUID guid, const std::wstring& description)
{
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return;
    create->SetGUID(guid);
    create->SetSource(const_cast<LPOLESTR>(L"TessoraLib.Tessora"));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

ULONG STDMETHODCALLTYPE add_ref(self_t self);
ULONG STDMETHODCALLTYPE release(self_t self);

// Dispatches the calling thread's messages for `milliseconds`, holding the object meanwhile.
void pump_messages(self_t self, const char* method, DWORD milliseconds)
{
    add_ref(self);
    ++self->calls_in_progress;
    const DWORD start = GetTickCount();
    bool quit = false;
    for (DWORD elapsed = 0; elapsed < milliseconds && !quit; elapsed = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
        MSG message;
        while (!quit && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                quit = true;
            } else {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
    }
    --self->calls_in_progress;
    standin::log_line(prefix(self) + method + " returns");
    release(self);
}

// Logs the call and answers it as the control file says: S_OK, or the planned failure with
// its error information, after pumping messages if it says so.
HRESULT answer(self_t self, const char* method, const std::string& arguments)
{
    SetErrorInfo(0, nullptr);
    const standin::control_plan plan = standin::read_control();
    const standin::planned_failure failure = plan.failure_of(method);
    const std::string line = prefix(self) + method + "(" + arguments + ")";
    standin::log_line(failure.fails ? line + " -> " + standin::hex(static_cast<unsigned long>(failure.code))
                                    : line);
    if (const DWORD milliseconds = plan.pump_of(method))
        pump_messages(self, method, milliseconds);
    if (!failure.fails)
        return S_OK;
    SetErrorInfo(0, nullptr);
    if (failure.with_info)
        attach_error_info(iid_tessora, failure.description);
    return failure.code;
}

HRESULT STDMETHODCALLTYPE query_interface(self_t self, REFIID iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    return guarded([&] {
        const std::string name = standin::interface_name(iid);
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = self;
        } else if (IsEqualIID(iid, iid_tessora)) {
            if (standin::read_control().refuse_tessora) {
                standin::log_line(prefix(self) + "QueryInterface(ITessora) -> refused");
                return E_NOINTERFACE;
            }
            *out = self;
        } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
            *out = &self->errors;
        }
        standin::log_line(prefix(self) + "QueryInterface(" + name + ")" + (*out == nullptr ? " -> no" : ""));
        if (*out == nullptr)
            return E_NOINTERFACE;
        InterlockedIncrement(&self->references);
        return S_OK;
    });
}

ULONG STDMETHODCALLTYPE add_ref(self_t self)
{
    return static_cast<ULONG>(InterlockedIncrement(&self->references));
}

ULONG STDMETHODCALLTYPE release(self_t self)
{
    const LONG left = InterlockedDecrement(&self->references);
    if (left > 0 && self->calls_in_progress > 0)
        guarded([&] {
            standin::log_line(prefix(self) + "released during a call");
            return S_OK;
        });
    if (left == 0) {
        guarded([&] {
            standin::log_line(prefix(self) + "destroyed");
            return S_OK;
        });
        delete self;
        standin::module_unlock();
    }
    return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE set_destination(self_t self, BSTR destination)
{
    return guarded([&] { return answer(self, "SetDestination", argument(destination)); });
}

HRESULT STDMETHODCALLTYPE set_setting_alts(self_t self, BSTR alternatives)
{
    return guarded([&] { return answer(self, "SetSettingAlts", argument(alternatives)); });
}

HRESULT STDMETHODCALLTYPE select_all_items(self_t self)
{
    return guarded([&] { return answer(self, "SelectAllItems", ""); });
}

HRESULT STDMETHODCALLTYPE start_encoding(self_t self, BSTR destination, LONG count)
{
    return guarded(
        [&] { return answer(self, "StartEncoding", argument(destination) + ", " + std::to_string(count)); });
}

HRESULT STDMETHODCALLTYPE suspend_encoding(self_t self)
{
    return guarded([&] { return answer(self, "SuspendEncoding", ""); });
}

HRESULT STDMETHODCALLTYPE set_setting(self_t self, BSTR setting)
{
    return guarded([&] { return answer(self, "SetSetting", argument(setting)); });
}

HRESULT STDMETHODCALLTYPE set_xml_setting(self_t self, BSTR xml)
{
    return guarded([&] { return answer(self, "SetXMLSetting", argument(xml)); });
}

HRESULT STDMETHODCALLTYPE set_item_destination(self_t self, BSTR destination)
{
    return guarded([&] { return answer(self, "SetItemDestination", argument(destination)); });
}

HRESULT STDMETHODCALLTYPE add_item(self_t self, BSTR item)
{
    return guarded([&] { return answer(self, "AddItem", argument(item)); });
}

HRESULT STDMETHODCALLTYPE clear_items(self_t self)
{
    return guarded([&] { return answer(self, "ClearItems", ""); });
}

// Logs the integer as it arrives, then answers as the control file says.
HRESULT STDMETHODCALLTYPE is_ready(self_t self, LONG* ready)
{
    return guarded([&] {
        if (ready == nullptr) {
            standin::log_line(prefix(self) + "IsReady(null) -> " +
                              standin::hex(static_cast<unsigned long>(E_POINTER)));
            return E_POINTER;
        }
        const std::string arriving = "in " + std::to_string(*ready);
        const HRESULT result = answer(self, "IsReady", arriving);
        if (FAILED(result))
            return result;
        const standin::control_plan plan = standin::read_control();
        if (plan.write_ready)
            *ready = plan.ready;
        standin::log_line(prefix(self) + "IsReady -> " +
                          (plan.write_ready ? std::to_string(plan.ready) : "kept"));
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE exit_encoder(self_t self)
{
    return guarded([&] { return answer(self, "ExitEncoder", ""); });
}

HRESULT STDMETHODCALLTYPE errors_query_interface(void* self, REFIID iid, void** out)
{
    return query_interface(from_errors(self), iid, out);
}

ULONG STDMETHODCALLTYPE errors_add_ref(void* self)
{
    return add_ref(from_errors(self));
}

ULONG STDMETHODCALLTYPE errors_release(void* self)
{
    return release(from_errors(self));
}

HRESULT STDMETHODCALLTYPE interface_supports_error_info(void*, REFIID iid)
{
    if (standin::read_control().deny_error_info)
        return S_FALSE;
    return IsEqualIID(iid, iid_tessora) ? S_OK : S_FALSE;
}

const tessora_table tessora_methods = {
    query_interface,       // 0
    add_ref,               // 1
    release,               // 2
    set_destination,       // 3
    set_setting_alts,      // 4
    select_all_items,      // 5
    start_encoding,        // 6
    suspend_encoding,      // 7
    set_setting,           // 8
    set_xml_setting,       // 9
    set_item_destination,  // 10
    add_item,              // 11
    clear_items,           // 12
    is_ready,              // 13
    exit_encoder,          // 14
};

const error_support_table error_support_methods = {
    errors_query_interface,
    errors_add_ref,
    errors_release,
    interface_supports_error_info,
};

// The class object: one static instance, counted only through the module lock.
class tessora_factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        standin::module_lock();
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        standin::module_unlock();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return guarded([&] { return create(iid, out); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            standin::module_lock();
        else
            standin::module_unlock();
        return S_OK;
    }

private:
    static HRESULT create(REFIID iid, void** out)
    {
        SetErrorInfo(0, nullptr);
        const standin::planned_failure failure = standin::read_control().failure_of("create");
        if (failure.fails) {
            standin::log_line("create as " + standin::interface_name(iid) + " -> " +
                              standin::hex(static_cast<unsigned long>(failure.code)));
            if (failure.with_info)
                attach_error_info(clsid_tessora, failure.description);
            return failure.code;
        }
        auto* object =
            new (std::nothrow) tessora_object{&tessora_methods, &error_support_methods, 1,
                                              static_cast<int>(InterlockedIncrement(&objects_created)), 0};
        if (object == nullptr)
            return E_OUTOFMEMORY;
        standin::module_lock();
        standin::log_line(prefix(object) + "created as " + standin::interface_name(iid));
        const HRESULT result = query_interface(object, iid, out);
        release(object);
        return result;
    }
};

tessora_factory factory;
HMODULE this_module = nullptr;
LONG module_locks = 0;

}  // namespace

namespace standin {

HMODULE module_handle()
{
    return this_module;
}

void module_lock()
{
    InterlockedIncrement(&module_locks);
}

void module_unlock()
{
    InterlockedDecrement(&module_locks);
}

bool module_in_use()
{
    return InterlockedCompareExchange(&module_locks, 0, 0) != 0 || call_observer_installed();
}

}  // namespace standin

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        this_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, clsid_tessora))
        return CLASS_E_CLASSNOTAVAILABLE;
    try {
        standin::install_call_observer();
    } catch (...) {
        // Observing is a convenience for tests; the object works without it.
    }
    return factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow()
{
    return standin::module_in_use() ? S_FALSE : S_OK;
}
