#include "qt_atoms.h"

#include "hx_big_endian.h"
#include "qt_memory.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace hx_qt {
namespace atoms {
namespace {

#pragma pack(push, 1)
struct container_header {
    uint8_t zero[10];
    hx_be16 lock_count;
};

struct atom_header {
    hx_be32 size;
    hx_be32 type;
    hx_be32 id;
    hx_be16 reserved1;
    hx_be16 child_count;
    hx_be32 reserved2;
};
#pragma pack(pop)
static_assert(sizeof(container_header) == 12, "container header is 12 bytes");
static_assert(offsetof(container_header, lock_count) == 10, "");
static_assert(sizeof(atom_header) == 20, "atom header is 20 bytes");
static_assert(offsetof(atom_header, type) == 4, "");
static_assert(offsetof(atom_header, id) == 8, "");
static_assert(offsetof(atom_header, reserved1) == 12, "");
static_assert(offsetof(atom_header, child_count) == 14, "");
static_assert(offsetof(atom_header, reserved2) == 16, "");

constexpr uint32_t top_start = sizeof(container_header);
constexpr uint32_t header_size = sizeof(atom_header);

// The container's bytes for the length of one routine (nothing moves inside a routine).
struct container {
    Handle handle = nullptr;
    uint8_t* data = nullptr;
    uint32_t size = 0;

    OSErr open(QTAtomContainer c)
    {
        char* block = nullptr;
        if (c == nullptr || !memory::block_of(c, &block, &size) || size < top_start)
            return invalidAtomContainerErr;
        handle = c;
        data = reinterpret_cast<uint8_t*>(block);
        return noErr;
    }

    atom_header header(uint32_t offset) const
    {
        atom_header h;
        std::memcpy(&h, data + offset, sizeof h);
        return h;
    }
    void put_header(uint32_t offset, const atom_header& h) { std::memcpy(data + offset, &h, sizeof h); }
};

// An atom found by walking from the top; for the top level (offset 0) the region is the
// container's atoms.
struct located {
    uint32_t offset = 0;
    uint32_t begin = top_start;  // first child
    uint32_t end = 0;            // end of the atom
    uint16_t children = 0;
    std::vector<uint32_t> ancestors;  // outermost first, the atom itself excluded
};

// Reads the atom at `p` inside [p, end): false if its size does not fit.
bool atom_at(const container& c, uint32_t p, uint32_t end, atom_header* h)
{
    if (end - p < header_size)
        return false;
    *h = c.header(p);
    const uint32_t size = h->size.get();
    return size >= header_size && size <= end - p;
}

OSErr locate(const container& c, QTAtom atom, located* out)
{
    out->ancestors.clear();
    if (atom == 0) {
        out->offset = 0;
        out->begin = top_start;
        out->end = c.size;
        out->children = 0;
        return noErr;
    }
    if (atom < static_cast<QTAtom>(top_start) || static_cast<uint32_t>(atom) >= c.size)
        return invalidAtomErr;
    const uint32_t target = static_cast<uint32_t>(atom);
    uint32_t begin = top_start;
    uint32_t end = c.size;
    for (;;) {
        uint32_t p = begin;
        bool descended = false;
        while (p < end) {
            atom_header h;
            if (!atom_at(c, p, end, &h))
                return invalidAtomContainerErr;
            const uint32_t size = h.size.get();
            if (p == target) {
                out->offset = p;
                out->begin = p + header_size;
                out->end = p + size;
                out->children = h.child_count.get();
                return noErr;
            }
            if (target > p && target - p < size) {
                if (h.child_count.get() == 0)
                    return invalidAtomErr;
                out->ancestors.push_back(p);
                begin = p + header_size;
                end = p + size;
                descended = true;
                break;
            }
            p += size;
        }
        if (!descended)
            return invalidAtomErr;
    }
}

// A parent whose children can be walked: the top level, or an atom that is not a leaf with
// data.
bool has_child_region(const located& parent)
{
    return parent.offset == 0 || parent.children > 0 || parent.end == parent.begin;
}

// The children of `parent`, in container order; false on a corrupt region.
template <typename Visit> bool each_child(const container& c, const located& parent, Visit visit)
{
    if (parent.offset != 0 && parent.children == 0)
        return true;
    uint32_t p = parent.begin;
    while (p < parent.end) {
        atom_header h;
        if (!atom_at(c, p, parent.end, &h))
            return false;
        if (!visit(p, h))
            return true;
        p += h.size.get();
    }
    return true;
}

OSErr open_parent(const container& c, QTAtom parent, located* out)
{
    return locate(c, parent, out);
}

}  // namespace

long QTNewAtomContainer(const uint32_t* args)
{
    QTAtomContainer* out = arg_ptr<QTAtomContainer*>(args, 0);
    if (out == nullptr)
        return paramErr;
    OSErr err = noErr;
    const Handle handle = memory::new_handle(top_start, true, &err);
    *out = handle;
    return err;
}

long QTDisposeAtomContainer(const uint32_t* args)
{
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    return memory::dispose(c.handle);
}

long QTLockContainer(const uint32_t* args)
{
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    container_header h;
    std::memcpy(&h, c.data, sizeof h);
    const uint16_t count = h.lock_count.get();
    if (count == 0xFFFF)
        return paramErr;
    h.lock_count.set(static_cast<uint16_t>(count + 1));
    std::memcpy(c.data, &h, sizeof h);
    return memory::lock(c.handle, true);
}

long QTUnlockContainer(const uint32_t* args)
{
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    container_header h;
    std::memcpy(&h, c.data, sizeof h);
    const uint16_t count = h.lock_count.get();
    if (count == 0) {
        report("QTUnlockContainer: the container is not locked");
        return paramErr;
    }
    h.lock_count.set(static_cast<uint16_t>(count - 1));
    std::memcpy(c.data, &h, sizeof h);
    return count == 1 ? memory::lock(c.handle, false) : noErr;
}

long QTInsertChild(const uint32_t* args)
{
    const QTAtom parent_atom = arg_long(args, 1);
    const uint32_t type = arg_u32(args, 2);
    uint32_t id = arg_u32(args, 3);
    const int16_t index = arg_short(args, 4);
    const long data_size = arg_long(args, 5);
    const void* data = arg_ptr<const void*>(args, 6);
    QTAtom* new_atom = arg_ptr<QTAtom*>(args, 7);
    if (new_atom != nullptr)
        *new_atom = 0;

    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    if (data_size < 0 || index < 0)
        return paramErr;
    located parent;
    if (const OSErr err = open_parent(c, parent_atom, &parent))
        return err;
    // An atom holds either data or children, never both.
    if (!has_child_region(parent))
        return invalidAtomErr;
    if (parent.children == 0xFFFF)
        return paramErr;

    // Siblings of the same type: their count, IDs and places decide the new atom's place.
    std::vector<uint32_t> same_type;
    bool id_taken = false;
    std::vector<uint32_t> ids;
    if (!each_child(c, parent, [&](uint32_t p, const atom_header& h) {
            if (h.type.get() == type) {
                same_type.push_back(p);
                ids.push_back(h.id.get());
                id_taken = id_taken || h.id.get() == id;
            }
            return true;
        }))
        return invalidAtomContainerErr;
    if (id == 0) {
        // The smallest positive ID no sibling of this type has.
        id = 1;
        for (bool clash = true; clash;) {
            clash = false;
            for (uint32_t used : ids)
                if (used == id) {
                    ++id;
                    clash = true;
                }
        }
    } else if (id_taken) {
        return duplicate_atom_type_and_id_err;
    }

    // Index 0 appends; 1 puts the atom first among all children; k > 1 places it k-th among
    // the siblings of its type (before the k-th, or just after the last).
    uint32_t place = parent.end;
    const size_t n = same_type.size();
    if (index == 1)
        place = parent.begin;
    else if (index > 1 && static_cast<size_t>(index) <= n)
        place = same_type[index - 1];
    else if (index > 1 && static_cast<size_t>(index) == n + 1)
        place = same_type[n - 1] + c.header(same_type[n - 1]).size.get();
    else if (index > 1)
        return atom_index_invalid_err;

    const uint32_t added = header_size + static_cast<uint32_t>(data_size);
    if (static_cast<uint32_t>(data_size) > 0x7FFFFFFFu - header_size || c.size > 0x7FFFFFFFu - added)
        return memFullErr;

    // The data may lie inside this very container: take it before the block changes.
    std::vector<uint8_t> bytes(static_cast<size_t>(data_size), 0);
    if (data != nullptr && data_size > 0)
        std::memcpy(bytes.data(), data, bytes.size());

    const uint32_t old_size = c.size;
    if (const OSErr err = memory::resize(c.handle, old_size + added))
        return err;
    container grown;
    if (const OSErr err = grown.open(c.handle))
        return err;
    std::memmove(grown.data + place + added, grown.data + place, old_size - place);

    atom_header h{};
    h.size.set(added);
    h.type.set(type);
    h.id.set(id);
    grown.put_header(place, h);
    if (!bytes.empty())
        std::memcpy(grown.data + place + header_size, bytes.data(), bytes.size());

    // Every ancestor grows; the parent counts one more child. Ancestors lie before `place`.
    for (uint32_t a : parent.ancestors) {
        atom_header ah = grown.header(a);
        ah.size.set(ah.size.get() + added);
        grown.put_header(a, ah);
    }
    if (parent.offset != 0) {
        atom_header ph = grown.header(parent.offset);
        ph.size.set(ph.size.get() + added);
        ph.child_count.set(static_cast<uint16_t>(ph.child_count.get() + 1));
        grown.put_header(parent.offset, ph);
    }
    if (new_atom != nullptr)
        *new_atom = static_cast<QTAtom>(place);
    return noErr;
}

long QTNextChildAnyType(const uint32_t* args)
{
    const QTAtom parent_atom = arg_long(args, 1);
    const QTAtom current = arg_long(args, 2);
    QTAtom* next = arg_ptr<QTAtom*>(args, 3);
    if (next == nullptr)
        return paramErr;
    *next = 0;
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    located parent;
    if (const OSErr err = open_parent(c, parent_atom, &parent))
        return err;
    if (parent.offset != 0 && parent.children == 0)
        return noErr;
    uint32_t candidate = parent.begin;
    if (current != 0) {
        located at;
        if (const OSErr err = locate(c, current, &at))
            return err;
        const uint32_t direct_parent = at.ancestors.empty() ? 0 : at.ancestors.back();
        if (direct_parent != parent.offset)
            return invalidAtomErr;
        candidate = at.end;
    }
    if (candidate < parent.end) {
        atom_header h;
        if (!atom_at(c, candidate, parent.end, &h))
            return invalidAtomContainerErr;
        *next = static_cast<QTAtom>(candidate);
    }
    return noErr;
}

long QTGetAtomTypeAndID(const uint32_t* args)
{
    const QTAtom atom = arg_long(args, 1);
    QTAtomType* type = arg_ptr<QTAtomType*>(args, 2);
    QTAtomID* id = arg_ptr<QTAtomID*>(args, 3);
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    if (atom == 0)
        return invalidAtomErr;
    located at;
    if (const OSErr err = locate(c, atom, &at))
        return err;
    const atom_header h = c.header(at.offset);
    if (type != nullptr)
        *type = static_cast<QTAtomType>(h.type.get());
    if (id != nullptr)
        *id = static_cast<QTAtomID>(h.id.get());
    return noErr;
}

long QTCopyAtomDataToPtr(const uint32_t* args)
{
    const QTAtom atom = arg_long(args, 1);
    const bool size_or_less_ok = arg_byte(args, 2) != 0;
    const long size = arg_long(args, 3);
    void* data = arg_ptr<void*>(args, 4);
    long* actual = arg_ptr<long*>(args, 5);
    container c;
    if (const OSErr err = c.open(arg_ptr<QTAtomContainer>(args, 0)))
        return err;
    if (atom == 0)
        return cannotBeLeafAtomErr;
    located at;
    if (const OSErr err = locate(c, atom, &at))
        return err;
    if (at.children > 0)
        return cannotBeLeafAtomErr;
    const uint32_t length = at.end - at.begin;
    if (size < 0)
        return paramErr;
    const uint32_t room = static_cast<uint32_t>(size);
    if (size_or_less_ok ? length > room : length != room)
        return paramErr;
    if (length > 0 && data == nullptr)
        return paramErr;
    if (length > 0)
        std::memcpy(data, c.data + at.begin, length);
    if (actual != nullptr)
        *actual = static_cast<long>(length);
    return noErr;
}

long QTCountChildrenOfType(const uint32_t* args)
{
    const QTAtom parent_atom = arg_long(args, 1);
    const uint32_t type = arg_u32(args, 2);
    container c;
    located parent;
    if (c.open(arg_ptr<QTAtomContainer>(args, 0)) != noErr || open_parent(c, parent_atom, &parent) != noErr)
        return 0;
    long count = 0;
    each_child(c, parent, [&](uint32_t, const atom_header& h) {
        count += type == 0 || h.type.get() == type ? 1 : 0;
        return true;
    });
    return count > 0x7FFF ? 0x7FFF : count;
}

long QTFindChildByIndex(const uint32_t* args)
{
    const QTAtom parent_atom = arg_long(args, 1);
    const uint32_t type = arg_u32(args, 2);
    const int16_t index = arg_short(args, 3);
    QTAtomID* id = arg_ptr<QTAtomID*>(args, 4);
    container c;
    located parent;
    if (c.open(arg_ptr<QTAtomContainer>(args, 0)) != noErr || open_parent(c, parent_atom, &parent) != noErr ||
        index < 1)
        return 0;
    QTAtom found = 0;
    int seen = 0;
    each_child(c, parent, [&](uint32_t p, const atom_header& h) {
        if (type != 0 && h.type.get() != type)
            return true;
        if (++seen < index)
            return true;
        found = static_cast<QTAtom>(p);
        if (id != nullptr)
            *id = static_cast<QTAtomID>(h.id.get());
        return false;
    });
    return found;
}

}  // namespace atoms
}  // namespace hx_qt
