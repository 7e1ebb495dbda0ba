// A small component for the runtime stand-in's tests, reached only through the Component
// Manager. Its state lives in a handle registered as the instance's storage at open.
//
//   -1 open      fails with -108 when HX_TEST_COMPONENT_FAIL_OPEN is "1" or memory is short
//   -2 close     disposes of the storage
//   -3 can do    1 for -1 to -4, 0x100 and 0x101
//   -4 version   0x00020003
//   0x100        (long value): stores value, returns the one stored before; dispatched
//                through _CallComponentFunctionWithStorage
//   0x101        returns the instance that open stored in the storage
#include "hx_quicktime.h"

#include <cstring>

namespace {

struct state {
    ComponentInstance self;
    long value;
};

typedef ComponentResult(__cdecl* with_storage_proc)(Handle, ComponentParameters*, void*);

ComponentResult __cdecl remember(Handle storage, long value)
{
    state* s = reinterpret_cast<state*>(*storage);
    const long before = s->value;
    s->value = value;
    return before;
}

bool fail_open()
{
    char text[4];
    return GetEnvironmentVariableA("HX_TEST_COMPONENT_FAIL_OPEN", text, sizeof text) == 1 && text[0] == '1';
}

}  // namespace

extern "C" ComponentResult __cdecl TestComponentDispatch(ComponentParameters* params, Handle storage)
{
    switch (params->what) {
    case kComponentOpenSelect: {
        if (fail_open())
            return memFullErr;
        const Handle h = NewHandleClear(sizeof(state));
        if (h == nullptr)
            return MemError();
        const ComponentInstance self =
            reinterpret_cast<ComponentInstance>(static_cast<uintptr_t>(params->params[0]));
        reinterpret_cast<state*>(*h)->self = self;
        SetComponentInstanceStorage(self, h);
        return noErr;
    }
    case kComponentCloseSelect:
        if (storage != nullptr)
            DisposeHandle(storage);
        return noErr;
    case kComponentCanDoSelect: {
        const int16_t selector = static_cast<int16_t>(params->params[0] & 0xFFFF);
        return (selector >= -4 && selector <= -1) || selector == 0x100 || selector == 0x101;
    }
    case kComponentVersionSelect:
        return 0x00020003;
    case 0x100:
        return reinterpret_cast<with_storage_proc>(&hx_qt_call_component_with_storage)(
            storage, params, reinterpret_cast<void*>(&remember));
    case 0x101:
        return static_cast<ComponentResult>(
            reinterpret_cast<uintptr_t>(reinterpret_cast<const state*>(*storage)->self));
    default:
        return badComponentSelector;
    }
}
