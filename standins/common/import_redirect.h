// Pointing a loaded module's import slots at recorders: how a stand-in sees what a program or
// plug-in asks of the system without changing it. Each recorder passes the call on to what the
// slot held before.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

struct watched_import {
    const char* name;
    void** real;  // receives what the slot held
    void* recorder;
};

// Points the import slot of each watched function in `module`'s imports from `library` at its
// recorder. A function the module does not import from `library` is left alone.
inline void redirect_imports(HMODULE module, const char* library, const watched_import* watched, size_t count)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (base == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), library) != 0 ||
            import->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* by_name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (size_t k = 0; k < count; ++k) {
                if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), watched[k].name) != 0)
                    continue;
                DWORD protection = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                    &protection))
                    continue;
                *watched[k].real = reinterpret_cast<void*>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(watched[k].recorder);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            }
        }
    }
}
