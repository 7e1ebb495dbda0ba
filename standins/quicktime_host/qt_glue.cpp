#include "quicktime_host.h"

#include <cstring>
#include <initializer_list>

namespace qt_glue {

namespace {

call_component_proc current = CallComponent;

ComponentResult call(ComponentInstance ci, int16_t what, std::initializer_list<int32_t> params)
{
    return call_selector(ci, what, std::vector<int32_t>(params));
}

}  // namespace

call_component_proc set_call_component(call_component_proc proc)
{
    const call_component_proc previous = current;
    current = proc != nullptr ? proc : CallComponent;
    return previous;
}

ComponentResult call_selector(ComponentInstance ci, int16_t what, const std::vector<int32_t>& params)
{
    // The block lives in 32-bit words: the header word (flags, paramSize, what), then the slots;
    // paramSize is one byte, so at most 63 of them.
    std::vector<int32_t> words(1 + (params.size() < 63 ? params.size() : 63));
    const uint8_t header[4] = {0, static_cast<uint8_t>(4 * (words.size() - 1)),
                               static_cast<uint8_t>(uint16_t(what) & 0xFF),
                               static_cast<uint8_t>(uint16_t(what) >> 8)};
    std::memcpy(words.data(), header, sizeof header);
    for (size_t i = 1; i < words.size(); ++i)
        words[i] = params[i - 1];
    return current(ci, reinterpret_cast<ComponentParameters*>(words.data()));
}

ComponentResult movie_export_set_progress_proc(ComponentInstance ci, MovieProgressProc proc, int32_t refcon)
{
    return call(ci, kMovieExportSetProgressProcSelect, {slot(reinterpret_cast<const void*>(proc)), refcon});
}

ComponentResult movie_export_from_procedures_to_data_ref(ComponentInstance ci, Handle dataRef,
                                                         OSType dataRefType)
{
    return call(ci, kMovieExportFromProceduresToDataRefSelect,
                {slot(dataRef), static_cast<int32_t>(dataRefType)});
}

ComponentResult movie_export_add_data_source(ComponentInstance ci, OSType trackType, int32_t scale,
                                             int32_t* trackID, MovieExportGetPropertyProc getPropertyProc,
                                             MovieExportGetDataProc getDataProc, void* refCon)
{
    return call(ci, kMovieExportAddDataSourceSelect,
                {static_cast<int32_t>(trackType), scale, slot(trackID),
                 slot(reinterpret_cast<const void*>(getPropertyProc)),
                 slot(reinterpret_cast<const void*>(getDataProc)), slot(refCon)});
}

ComponentResult movie_export_get_settings_as_atom_container(ComponentInstance ci, QTAtomContainer* settings)
{
    return call(ci, kMovieExportGetSettingsAsAtomContainerSelect, {slot(settings)});
}

ComponentResult movie_export_set_settings_from_atom_container(ComponentInstance ci, QTAtomContainer settings)
{
    return call(ci, kMovieExportSetSettingsFromAtomContainerSelect, {slot(settings)});
}

ComponentResult movie_export_set_get_movie_property_proc(ComponentInstance ci,
                                                         MovieExportGetPropertyProc proc, void* refcon)
{
    return call(ci, kMovieExportSetGetMoviePropertyProcSelect,
                {slot(reinterpret_cast<const void*>(proc)), slot(refcon)});
}

ComponentResult component_can_do(ComponentInstance ci, int16_t selector)
{
    return call(ci, kComponentCanDoSelect, {static_cast<int32_t>(selector)});
}

ComponentResult component_version(ComponentInstance ci)
{
    return call(ci, kComponentVersionSelect, {});
}

}  // namespace qt_glue
