#include "hx_shared_memory.h"

#include <cstring>

hx_shared_memory::~hx_shared_memory()
{
    close();
}

bool hx_shared_memory::create(const char* name, uint32_t size)
{
    if (size > UINT32_MAX - header_size)
        return false;
    if (!create_mapping(name, size + header_size))
        return false;
    if (!map_view()) {
        close_mapping();
        return false;
    }
    std::memcpy(view_, &size, sizeof size);
    capacity_ = size;
    return true;
}

bool hx_shared_memory::open(const char* name)
{
    if (!open_mapping(name))
        return false;
    const bool mapped = map_view();
    if (!mapped) {
        close_mapping();
        return false;
    }
    MEMORY_BASIC_INFORMATION region{};
    const SIZE_T reachable = VirtualQuery(view_, &region, sizeof region) != 0 ? region.RegionSize : 0;
    capacity_ = reachable > header_size ? static_cast<uint32_t>(reachable - header_size) : 0;
    return true;
}

void hx_shared_memory::close()
{
    if (view_ != nullptr) {
        unmap_view();
        close_mapping();
    }
}

uint8_t* hx_shared_memory::data()
{
    return view_ + header_size;
}

uint32_t hx_shared_memory::size()
{
    if (view_ == nullptr)
        return 0;
    uint32_t size;
    std::memcpy(&size, view_, sizeof size);
    return size;
}

bool hx_shared_memory::create_mapping(const char* name, uint32_t byte_count)
{
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, byte_count, name);
    if (mapping_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        close_mapping();
        return false;
    }
    return mapping_ != nullptr;
}

bool hx_shared_memory::open_mapping(const char* name)
{
    mapping_ = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
    return mapping_ != nullptr;
}

void hx_shared_memory::close_mapping()
{
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
}

bool hx_shared_memory::map_view()
{
    view_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    return view_ != nullptr;
}

void hx_shared_memory::unmap_view()
{
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
        view_ = nullptr;
    }
}
