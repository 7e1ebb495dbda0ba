// The QuickTime movie export component: its one exported entry, the selector table, and the
// handlers for the instance's life and settings. The export itself is in quillex_export.cpp,
// track data in quillex_track_data.cpp.
#include <windows.h>

#include "hx_big_endian.h"
#include "hx_qt_handle.h"
#include "hx_quicktime.h"
#include "quillex_diagnostic.h"
#include "quillex_globals.h"
#include "quillex_handlers.h"

#include <cstring>
#include <new>

namespace {

typedef ComponentResult(__cdecl* handler)();
typedef ComponentResult(__cdecl* call_with_storage)(Handle storage, ComponentParameters* params,
                                                    handler function);

template <class Function> handler as_handler(Function f)
{
    return reinterpret_cast<handler>(f);
}

// A slot QuickTime may ask for but the component does not serve.
const handler error_marker = reinterpret_cast<handler>(static_cast<intptr_t>(-1));

// Standard selectors -7 to -1, at index selector + 7.
const handler standard_selectors[7] = {
    error_marker,                // -7 unregister
    error_marker,                // -6 target
    error_marker,                // -5 register
    as_handler(QuillexVersion),  // -4
    as_handler(QuillexCanDo),    // -3
    as_handler(QuillexClose),    // -2
    as_handler(QuillexOpen),     // -1
};

// Selectors 0x80 to 0x91.
const handler movie_export_selectors[18] = {
    error_marker,                                     // 0x80
    error_marker,                                     // 0x81
    error_marker,                                     // 0x82
    error_marker,                                     // 0x83
    as_handler(QuillexSetProgressProc),               // 0x84
    error_marker,                                     // 0x85
    error_marker,                                     // 0x86
    error_marker,                                     // 0x87
    error_marker,                                     // 0x88
    as_handler(QuillexFromProceduresToDataRef),       // 0x89
    as_handler(QuillexAddDataSource),                 // 0x8A
    error_marker,                                     // 0x8B
    as_handler(QuillexGetSettingsAsAtomContainer),    // 0x8C
    as_handler(QuillexSetSettingsFromAtomContainer),  // 0x8D
    error_marker,                                     // 0x8E
    error_marker,                                     // 0x8F
    error_marker,                                     // 0x90
    as_handler(QuillexSetGetMoviePropertyProc),       // 0x91
};

// Selectors 0x100 and 0x101.
const handler later_selectors[2] = {error_marker, error_marker};

struct selector_range {
    const handler* entries;
    uint32_t count;
};

// 128 selectors a range: 0x000-0x07F, 0x080-0x0FF, 0x100-0x17F.
const selector_range ranges[3] = {
    {nullptr, 0},
    {movie_export_selectors, 18},
    {later_selectors, 2},
};

// The handler of a selector, or null when the component does not serve it.
handler lookup(int16_t selector)
{
    handler found = nullptr;
    if (selector < 0) {
        if (selector >= -7)
            found = standard_selectors[selector + 7];
    } else {
        const uint32_t range = static_cast<uint32_t>(selector) >> 7;
        const uint32_t index = static_cast<uint32_t>(selector) & 0x7F;
        if (range < 3 && index < ranges[range].count)
            found = ranges[range].entries[index];
    }
    return found == error_marker ? nullptr : found;
}

constexpr OSType tsra = hx_fourcc("Tsra");
constexpr OSType vers = hx_fourcc("vers");
constexpr ComponentResult quillex_version = 0x00010000;

// The settings with their two words big-endian, as they travel in the atom.
void settings_to_atom(const ExportSettings& settings, uint8_t (&atom)[sizeof(ExportSettings)])
{
    std::memcpy(atom, &settings, sizeof settings);
    hx_put_be32(atom, settings.word0);
    hx_put_be32(atom + 4, settings.word1);
}

}  // namespace

QuillexGlobals::QuillexGlobals(ComponentInstance instance) : self(instance), settings()
{
    settings.word0 = 0x00010000;
}

std::vector<TrackRecord>* QuillexGlobals::list_for(OSType media_type)
{
    switch (media_type) {
    case quillex_vide:
        return &video_tracks;
    case quillex_soun:
        return &sound_tracks;
    case quillex_maml:
        return &maml_tracks;
    case quillex_grol:
        return &grol_tracks;
    default:
        return nullptr;
    }
}

TrackRecord* QuillexGlobals::track(int32_t track_id)
{
    if (track_id < 0 || static_cast<uint32_t>(track_id) >= track_index.size())
        return nullptr;
    return track_index[static_cast<uint32_t>(track_id)];
}

uint32_t QuillexGlobals::track_count() const
{
    return static_cast<uint32_t>(video_tracks.size() + sound_tracks.size() + maml_tracks.size() +
                                 grol_tracks.size());
}

extern "C" {

ComponentResult __cdecl QuillexComponentDispatch(ComponentParameters* params, Handle storage)
{
    if (params == nullptr)
        return badComponentSelector;
    const handler function = lookup(params->what);
    if (function == nullptr)
        return badComponentSelector;
    const auto call = reinterpret_cast<call_with_storage>(hx_qt_call_component_with_storage);
    return call(storage, params, function);
}

ComponentResult __cdecl QuillexOpen(Handle, ComponentInstance self)
{
    // QuickTime may unload a component whose last instance closed and load it again for the
    // next; each load of a library with a static runtime leaves a little behind in the host.
    // Once opened, the component stays loaded until the host ends.
    static const bool pinned = [] {
        HMODULE self_module = nullptr;
        return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCSTR>(&QuillexComponentDispatch), &self_module) != 0;
    }();
    (void)pinned;
    return quillex_guarded([&]() -> ComponentResult {
        const Handle block = NewHandle(sizeof(QuillexGlobals));
        if (block == nullptr) {
            quillex_diagnostic("QuillexOpen: Failed to allocate globals", memFullErr, 121);
            return memFullErr;
        }
        {
            const hx_qt_locked_handle locked(block);
            new (locked.block()) QuillexGlobals(self);
        }
        SetComponentInstanceStorage(self, block);
        return noErr;
    });
}

ComponentResult __cdecl QuillexClose(Handle storage, ComponentInstance)
{
    if (storage == nullptr)
        return noErr;
    {
        const hx_qt_locked_handle locked(storage);
        quillex_globals(locked.block())->~QuillexGlobals();
    }
    DisposeHandle(storage);
    return noErr;
}

ComponentResult __cdecl QuillexCanDo(Handle, int32_t selector)
{
    return lookup(static_cast<int16_t>(selector)) != nullptr ? 1 : 0;
}

ComponentResult __cdecl QuillexVersion(Handle)
{
    return quillex_version;
}

ComponentResult __cdecl QuillexSetProgressProc(Handle storage, MovieProgressProc proc, int32_t reference)
{
    if (storage == nullptr)
        return paramErr;
    const hx_qt_locked_handle locked(storage);
    QuillexGlobals* const g = quillex_globals(locked.block());
    g->progress_proc = proc;
    g->progress_reference = reference;
    return noErr;
}

ComponentResult __cdecl QuillexGetSettingsAsAtomContainer(Handle storage, QTAtomContainer* settings)
{
    if (storage == nullptr || settings == nullptr)
        return paramErr;
    const OSErr created = QTNewAtomContainer(settings);
    if (created != noErr) {
        quillex_diagnostic("QTNewAtomContainer failed", created, 389);
        return created;
    }
    const hx_qt_locked_handle locked(storage);
    uint8_t atom[sizeof(ExportSettings)];
    settings_to_atom(quillex_globals(locked.block())->settings, atom);
    uint8_t version[4];
    hx_put_be32(version, 1);
    // A container the host cannot read back shows there; the answer stays success.
    QTInsertChild(*settings, kParentAtomIsContainer, static_cast<QTAtomType>(tsra), 0, 0, sizeof atom, atom,
                  nullptr);
    QTInsertChild(*settings, kParentAtomIsContainer, static_cast<QTAtomType>(vers), 0, 0, sizeof version,
                  version, nullptr);
    return noErr;
}

ComponentResult __cdecl QuillexSetSettingsFromAtomContainer(Handle storage, QTAtomContainer settings)
{
    if (storage == nullptr)
        return paramErr;
    const hx_qt_locked_handle locked(storage);
    ExportSettings& held = quillex_globals(locked.block())->settings;

    OSErr result = paramErr;  // no 'Tsra' atom
    QTAtom atom = 0;
    bool visited = false;
    for (;;) {
        QTAtom next = 0;
        const OSErr walked = QTNextChildAnyType(settings, kParentAtomIsContainer, atom, &next);
        if (walked != noErr) {
            result = visited ? walked : paramErr;
            break;
        }
        if (next == 0)
            break;
        atom = next;
        visited = true;
        QTAtomType type = 0;
        QTAtomID id = 0;
        if (QTGetAtomTypeAndID(settings, atom, &type, &id) != noErr || static_cast<OSType>(type) != tsra)
            continue;
        // Copied into a buffer of exactly the settings' size: an atom that is longer cannot
        // write past them, and a refused copy leaves them as they were.
        uint8_t copied[sizeof(ExportSettings)];
        long actual = 0;
        result = QTCopyAtomDataToPtr(settings, atom, 1, sizeof copied, copied, &actual);
        if (result != noErr)
            break;
        const size_t n = actual < 0                                    ? 0
                         : static_cast<size_t>(actual) > sizeof copied ? sizeof copied
                                                                       : static_cast<size_t>(actual);
        std::memcpy(&held, copied, n);
        held.word0 = hx_swap32(held.word0);
        held.word1 = hx_swap32(held.word1);
        if (actual != static_cast<long>(sizeof copied))
            result = paramErr;
        break;
    }
    return static_cast<OSErr>(result);
}

ComponentResult __cdecl QuillexSetGetMoviePropertyProc(Handle, void*, int32_t)
{
    return noErr;
}

}  // extern "C"
