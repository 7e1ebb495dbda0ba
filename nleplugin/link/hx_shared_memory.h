// Named, paging-file backed shared-memory block with a size header.
//
//   offset  size  field
//   0       4     payload size N (unsigned, little-endian), written by the creator
//   4       N     payload
//
// The mapping is N + 4 bytes long; a process that opens the block learns N from the header.
#pragma once

#include <windows.h>

#include <cstdint>

class hx_shared_memory {
public:
    static constexpr uint32_t header_size = 4;

    hx_shared_memory() = default;
    hx_shared_memory(const hx_shared_memory&) = delete;
    hx_shared_memory& operator=(const hx_shared_memory&) = delete;

    // Slot order is part of the contract shared by both plug-ins.
    virtual ~hx_shared_memory();
    // A mapping of size + 4 bytes; an existing name is refused.
    virtual bool create(const char* name, uint32_t size);
    virtual bool open(const char* name);
    virtual void close();
    // The payload, just after the header. Valid only while mapped.
    virtual uint8_t* data();
    // The payload size from the header, 0 while nothing is mapped.
    virtual uint32_t size();
    virtual bool create_mapping(const char* name, uint32_t byte_count);
    virtual bool open_mapping(const char* name);
    virtual void close_mapping();
    virtual bool map_view();
    virtual void unmap_view();

    bool is_open() const { return view_ != nullptr; }
    // The payload this process can reach: the size it created the block with, or for a block
    // it opened, what its view holds past the header. Unlike size(), which reads the header
    // that any process holding the block may rewrite, this is safe to bound accesses with.
    uint32_t capacity() const { return view_ != nullptr ? capacity_ : 0; }
    // Whether `count` bytes from payload offset `offset` lie within capacity(), false while
    // nothing is mapped: the bound for every write into the block.
    bool holds(uint32_t offset, uint32_t count) const
    {
        return view_ != nullptr && offset <= capacity_ && count <= capacity_ - offset;
    }

private:
    HANDLE mapping_ = nullptr;
    uint8_t* view_ = nullptr;
    uint32_t capacity_ = 0;
};
