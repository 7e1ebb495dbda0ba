// Watching how the loading program asks COM for the object. A creation request never reaches
// the object itself: COM does not tell a class factory which computer the caller named, nor
// whether it came through a ProgID. So, once the stand-in is loaded into a program and logging
// is on, it points the program's own import slots for CLSIDFromProgID, CoCreateInstance and
// CoCreateInstanceEx (from ole32.dll) at recorders that log the request and pass it on
// unchanged. The requests that loaded the stand-in in the first place are not seen; the object's
// own "created" line records those.
#include "import_redirect.h"
#include "standin_io.h"
#include "standin_module.h"

namespace {

using clsid_from_progid_fn = HRESULT(WINAPI*)(LPCOLESTR progid, LPCLSID clsid);
using co_create_instance_fn = HRESULT(WINAPI*)(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                               LPVOID* out);
using co_create_instance_ex_fn = HRESULT(WINAPI*)(REFCLSID clsid, IUnknown* outer, DWORD context,
                                                  COSERVERINFO* server, DWORD count, MULTI_QI* results);

clsid_from_progid_fn real_clsid_from_progid = nullptr;
co_create_instance_fn real_co_create_instance = nullptr;
co_create_instance_ex_fn real_co_create_instance_ex = nullptr;
LONG installed = 0;

HRESULT WINAPI record_clsid_from_progid(LPCOLESTR progid, LPCLSID clsid)
{
    try {
        standin::log_line("ole32 CLSIDFromProgID(" + standin::quoted(progid) + ")");
    } catch (...) {
    }
    return real_clsid_from_progid(progid, clsid);
}

HRESULT WINAPI record_co_create_instance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                         LPVOID* out)
{
    try {
        standin::log_line("ole32 CoCreateInstance(" + standin::guid_text(clsid) + ", context " +
                          standin::hex(context) + ", " + standin::interface_name(iid) + ")");
    } catch (...) {
    }
    return real_co_create_instance(clsid, outer, context, iid, out);
}

HRESULT WINAPI record_co_create_instance_ex(REFCLSID clsid, IUnknown* outer, DWORD context,
                                            COSERVERINFO* server, DWORD count, MULTI_QI* results)
{
    try {
        std::string line = "ole32 CoCreateInstanceEx(" + standin::guid_text(clsid) + ", context " +
                           standin::hex(context) + ", server " +
                           (server != nullptr ? standin::quoted(server->pwszName) : std::string("none"));
        for (DWORD k = 0; results != nullptr && k < count; ++k)
            line += ", " + (results[k].pIID != nullptr ? standin::interface_name(*results[k].pIID) : "null");
        standin::log_line(line + ")");
    } catch (...) {
    }
    return real_co_create_instance_ex(clsid, outer, context, server, count, results);
}

}  // namespace

namespace standin {

void install_call_observer()
{
    if (!logging() || InterlockedCompareExchange(&installed, 1, 0) != 0)
        return;
    const watched_import watched[] = {
        {"CLSIDFromProgID", reinterpret_cast<void**>(&real_clsid_from_progid),
         reinterpret_cast<void*>(record_clsid_from_progid)},
        {"CoCreateInstance", reinterpret_cast<void**>(&real_co_create_instance),
         reinterpret_cast<void*>(record_co_create_instance)},
        {"CoCreateInstanceEx", reinterpret_cast<void**>(&real_co_create_instance_ex),
         reinterpret_cast<void*>(record_co_create_instance_ex)},
    };
    redirect_imports(GetModuleHandleA(nullptr), "ole32.dll", watched, sizeof watched / sizeof watched[0]);
}

bool call_observer_installed()
{
    return InterlockedCompareExchange(&installed, 0, 0) != 0;
}

}  // namespace standin
