// xCompileEntry: the one entry point the host calls.
#include "export_dialog.h"
#include "hx_premiere_export.h"
#include "prm_export.h"
#include "prm_host.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr uint32_t code(const char (&c)[5])
{
    return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) |
           (uint32_t(uint8_t(c[2])) << 8) | uint32_t(uint8_t(c[3]));
}

int32_t describe_module(void* record, void*)
{
    auto* info = static_cast<prm_module_info*>(record);
    info->module_id = code("TSP4");
    info->edition = code("T5EZ");
    info->value_00c = 0;
    info->value_010 = 1;
    info->value_014 = 1;
    std::memset(info->zero_018, 0, sizeof info->zero_018);
    std::memcpy(info->name, "Save For Web", 13);
    info->value_128 = 3;
    info->value_12c = 0;
    info->value_130 = 1;
    std::memset(info->zero_134, 0, sizeof info->zero_134);
    return 0;
}

int32_t describe_video_format(void* record, void* index)
{
    if (reinterpret_cast<intptr_t>(index) != 0)
        return 1;
    auto* format = static_cast<prm_video_format*>(record);
    format->file_type = code("RAW ");
    std::memcpy(format->name, "Tessora Output", 15);
    format->value_108 = 0;
    format->value_109 = 32;
    format->value_10d = 0;
    format->value_111 = 1;
    format->value_115 = 1;
    format->value_119 = 1;
    format->value_11d = 32767;
    format->value_121 = 32767;
    std::memset(format->zero_125, 0, sizeof format->zero_125);
    format->value_12b = 0;
    format->value_12f = 0;
    format->value_133 = -1;
    format->value_137 = -1;
    return 0;
}

int32_t describe_audio_format(void* record, void* index)
{
    if (reinterpret_cast<intptr_t>(index) != 0)
        return 1;
    auto* format = static_cast<prm_audio_format*>(record);
    format->file_type = code("RAW ");
    format->value_008 = 0;
    format->name[0] = 0;
    format->value_109 = 0;
    return 0;
}

int32_t reset_setting_choice(void* record, void*)
{
    auto* holder = static_cast<prm_setting_choice_holder*>(record);
    if (holder->block == nullptr)
        holder->block = static_cast<int32_t*>(hx_module.standard->callbacks->memory->allocate(8));
    // Without memory from the host there is nothing to reset.
    if (holder->block != nullptr) {
        holder->block[0] = 0;
        holder->block[1] = 0;
    }
    return 0;
}

int32_t export_all(void* record, void*)
{
    return do_export(static_cast<prm_export_record*>(record), nullptr);
}

int32_t export_work_area(void* record, void* work_area)
{
    return do_export(static_cast<prm_export_record*>(record), static_cast<prm_work_area*>(work_area));
}

struct handler {
    int32_t selector;
    int32_t (*run)(void* argument1, void* argument2);
};

const handler handlers[] = {
    {prm_describe_module, describe_module},
    {prm_describe_video_format, describe_video_format},
    {prm_describe_audio_format, describe_audio_format},
    {prm_reset_setting_choice, reset_setting_choice},
    {prm_export_all, export_all},
    {prm_export_work_area, export_work_area},
};

}  // namespace

extern "C" __declspec(dllexport) int32_t
    __cdecl xCompileEntry(int32_t selector, prm_standard_parameters* standard, void* argument1,
                          void* argument2)
{
    hx_module.standard = standard;
    try {
        for (const handler& h : handlers)
            if (h.selector == selector)
                return h.run(argument1, argument2);
    } catch (...) {
        // Nothing may unwind into the host; an export that failed this way is abandoned.
        return selector == prm_export_all || selector == prm_export_work_area ? prm_export_abandoned : 0;
    }
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID)
{
    hx_module_instance = instance;
    return TRUE;
}
