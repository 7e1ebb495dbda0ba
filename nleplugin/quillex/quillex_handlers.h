// The component's handlers. QuickTime's component-call routine calls each with the storage
// handle followed by the parameter block's 4-byte slots, so every parameter is declared one
// slot wide (a short arrives in the low 16 bits of its slot).
#pragma once

#include "hx_qt_types.h"

#include <new>

extern "C" {
ComponentResult __cdecl QuillexOpen(Handle storage, ComponentInstance self);
ComponentResult __cdecl QuillexClose(Handle storage, ComponentInstance self);
ComponentResult __cdecl QuillexCanDo(Handle storage, int32_t selector);
ComponentResult __cdecl QuillexVersion(Handle storage);
ComponentResult __cdecl QuillexSetProgressProc(Handle storage, MovieProgressProc proc, int32_t reference);
ComponentResult __cdecl QuillexGetSettingsAsAtomContainer(Handle storage, QTAtomContainer* settings);
ComponentResult __cdecl QuillexSetSettingsFromAtomContainer(Handle storage, QTAtomContainer settings);
ComponentResult __cdecl QuillexSetGetMoviePropertyProc(Handle storage, void* proc, int32_t reference);
ComponentResult __cdecl QuillexFromProceduresToDataRef(Handle storage, Handle data_ref, OSType data_ref_type);
ComponentResult __cdecl QuillexAddDataSource(Handle storage, OSType media_type, int32_t scale,
                                             int32_t* track_id, MovieExportGetPropertyProc property_proc,
                                             MovieExportGetDataProc data_proc, void* reference);
}

// Runs a handler's body; nothing thrown inside crosses into QuickTime. Running out of memory
// is QuickTime's memFullErr, and so is anything else the language runtime could throw.
template <class Body> ComponentResult quillex_guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return memFullErr;
    }
}
