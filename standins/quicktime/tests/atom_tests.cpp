// Atom containers through the forwarding entries, checked byte by byte against the format:
// a 12-byte header (10 zero bytes, big-endian lock count), then atoms with 20-byte headers.
#include "hx_big_endian.h"
#include "qt_test_support.h"

#include <cstring>

namespace {

using Atoms = QuickTimeStandIn;

const QTAtomType tsra = static_cast<QTAtomType>(hx_fourcc("Tsra"));
const QTAtomType vers = static_cast<QTAtomType>(hx_fourcc("vers"));
const QTAtomType prnt = static_cast<QTAtomType>(hx_fourcc("prnt"));
const QTAtomType kid = static_cast<QTAtomType>(hx_fourcc("kid "));

// The fields of the atom header at `at` in `bytes`.
struct header {
    uint32_t size, type, id;
    uint16_t reserved1, children;
    uint32_t reserved2;
};
header header_at(const std::vector<uint8_t>& bytes, size_t at)
{
    const uint8_t* p = bytes.data() + at;
    return {hx_get_be32(p),      hx_get_be32(p + 4),  hx_get_be32(p + 8),
            hx_get_be16(p + 12), hx_get_be16(p + 14), hx_get_be32(p + 16)};
}

TEST_F(Atoms, ANewContainerIsTwelveZeroBytes)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(handle_bytes(c), std::vector<uint8_t>(12, 0));
    EXPECT_EQ(QTDisposeAtomContainer(c), noErr);
}

TEST_F(Atoms, InsertedAtomsAreLaidOutAsTheFormatSays)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    uint8_t settings[264];
    for (int i = 0; i < 264; ++i)
        settings[i] = static_cast<uint8_t>(i);
    QTAtom first = -1;
    QTAtom second = -1;
    ASSERT_EQ(QTInsertChild(c, kParentAtomIsContainer, tsra, 0, 0, sizeof settings, settings, &first), noErr);
    const uint8_t one[4] = {0, 0, 0, 1};
    ASSERT_EQ(QTInsertChild(c, kParentAtomIsContainer, vers, 0, 0, 4, one, &second), noErr);
    EXPECT_EQ(first, 12);
    EXPECT_EQ(second, 12 + 20 + 264);

    const std::vector<uint8_t> bytes = handle_bytes(c);
    ASSERT_EQ(bytes.size(), 12u + 284u + 24u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12), std::vector<uint8_t>(12, 0));
    const header a = header_at(bytes, 12);
    EXPECT_EQ(a.size, 284u);
    EXPECT_EQ(a.type, hx_fourcc("Tsra"));
    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(a.reserved1, 0);
    EXPECT_EQ(a.children, 0);
    EXPECT_EQ(a.reserved2, 0u);
    EXPECT_EQ(std::memcmp(bytes.data() + 32, settings, sizeof settings), 0);
    const header b = header_at(bytes, 296);
    EXPECT_EQ(b.size, 24u);
    EXPECT_EQ(b.type, hx_fourcc("vers"));
    EXPECT_EQ(b.id, 1u);
    EXPECT_EQ(hx_get_be32(bytes.data() + 316), 1u);
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, ChildrenNestAndParentsGrowAndCount)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    QTAtom parent = 0;
    QTAtom child = 0;
    QTAtom after = 0;
    ASSERT_EQ(QTInsertChild(c, 0, prnt, 7, 0, 0, nullptr, &parent), noErr);
    ASSERT_EQ(QTInsertChild(c, 0, vers, 9, 0, 2, "\x01\x02", &after), noErr);
    ASSERT_EQ(QTInsertChild(c, parent, kid, 3, 0, 3, "abc", &child), noErr);
    EXPECT_EQ(parent, 12);
    EXPECT_EQ(child, 32);
    const std::vector<uint8_t> bytes = handle_bytes(c);
    ASSERT_EQ(bytes.size(), 12u + 43u + 22u);
    const header p = header_at(bytes, 12);
    EXPECT_EQ(p.size, 43u);
    EXPECT_EQ(p.id, 7u);
    EXPECT_EQ(p.children, 1);
    const header k = header_at(bytes, 32);
    EXPECT_EQ(k.size, 23u);
    EXPECT_EQ(k.type, hx_fourcc("kid "));
    EXPECT_EQ(std::memcmp(bytes.data() + 52, "abc", 3), 0);
    EXPECT_EQ(header_at(bytes, 55).type, hx_fourcc("vers"));

    // The walk: top level, then the parent's one child.
    QTAtom next = -1;
    ASSERT_EQ(QTNextChildAnyType(c, 0, 0, &next), noErr);
    EXPECT_EQ(next, 12);
    ASSERT_EQ(QTNextChildAnyType(c, 0, next, &next), noErr);
    EXPECT_EQ(next, 55);
    ASSERT_EQ(QTNextChildAnyType(c, 0, next, &next), noErr);
    EXPECT_EQ(next, 0);
    ASSERT_EQ(QTNextChildAnyType(c, parent, 0, &next), noErr);
    EXPECT_EQ(next, child);
    ASSERT_EQ(QTNextChildAnyType(c, parent, child, &next), noErr);
    EXPECT_EQ(next, 0);
    EXPECT_EQ(QTNextChildAnyType(c, 0, child, &next), invalidAtomErr) << "not a child of the top level";

    QTAtomType type = 0;
    QTAtomID id = 0;
    ASSERT_EQ(QTGetAtomTypeAndID(c, child, &type, &id), noErr);
    EXPECT_EQ(type, kid);
    EXPECT_EQ(id, 3);

    char data[8] = {};
    long actual = 0;
    EXPECT_EQ(QTCopyAtomDataToPtr(c, parent, 1, sizeof data, data, &actual), cannotBeLeafAtomErr);
    EXPECT_EQ(QTInsertChild(c, child, kid, 1, 0, 0, nullptr, nullptr), invalidAtomErr) << "a leaf with data";
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, CopyDataExactOrLessOk)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    QTAtom atom = 0;
    ASSERT_EQ(QTInsertChild(c, 0, vers, 1, 0, 4, "\x00\x00\x00\x05", &atom), noErr);
    char data[8];
    std::memset(data, '#', sizeof data);
    long actual = -1;
    EXPECT_EQ(QTCopyAtomDataToPtr(c, atom, 0, 8, data, &actual), paramErr);
    EXPECT_EQ(data[0], '#');
    EXPECT_EQ(QTCopyAtomDataToPtr(c, atom, 1, 3, data, &actual), paramErr) << "more data than room";
    EXPECT_EQ(QTCopyAtomDataToPtr(c, atom, 1, 8, data, &actual), noErr);
    EXPECT_EQ(actual, 4);
    EXPECT_EQ(std::memcmp(data, "\x00\x00\x00\x05####", 8), 0);
    actual = -1;
    EXPECT_EQ(QTCopyAtomDataToPtr(c, atom, 0, 4, data, &actual), noErr);
    EXPECT_EQ(actual, 4);
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, IndexAndIdsPlaceAndNameSiblings)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    QTAtom a = 0;
    QTAtom b = 0;
    QTAtom v = 0;
    ASSERT_EQ(QTInsertChild(c, 0, kid, 0, 0, 1, "a", &a), noErr);
    ASSERT_EQ(QTInsertChild(c, 0, vers, 0, 0, 1, "v", &v), noErr);
    ASSERT_EQ(QTInsertChild(c, 0, kid, 0, 1, 1, "b", &b), noErr);  // first of all
    EXPECT_EQ(b, 12);
    EXPECT_EQ(QTCountChildrenOfType(c, 0, kid), 2);
    EXPECT_EQ(QTCountChildrenOfType(c, 0, vers), 1);
    QTAtomID id = 0;
    EXPECT_EQ(QTFindChildByIndex(c, 0, kid, 1, &id), 12);
    EXPECT_EQ(id, 2) << "ID 0 asks for an ID no sibling of the type has";
    EXPECT_EQ(QTFindChildByIndex(c, 0, kid, 2, &id), 33);
    EXPECT_EQ(id, 1);
    EXPECT_EQ(QTFindChildByIndex(c, 0, kid, 3, &id), 0);
    EXPECT_EQ(QTInsertChild(c, 0, kid, 1, 0, 0, nullptr, nullptr), -2105) << "type and ID taken";
    // Third of its type: just after the last one, before the 'vers' atom.
    QTAtom third = 0;
    ASSERT_EQ(QTInsertChild(c, 0, kid, 5, 3, 1, "c", &third), noErr);
    EXPECT_EQ(third, 54);
    EXPECT_EQ(QTFindChildByIndex(c, 0, kid, 3, &id), 54);
    EXPECT_EQ(QTInsertChild(c, 0, kid, 6, 9, 1, "d", nullptr), -2104);
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, BogusOffsetsAndContainersAreRefused)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    QTAtom atom = 0;
    ASSERT_EQ(QTInsertChild(c, 0, vers, 1, 0, 4, "1234", &atom), noErr);
    QTAtomType type = 0;
    QTAtomID id = 0;
    for (QTAtom bogus : {13, 31, 36, 5, -5, 0x7FFFFFFF, static_cast<QTAtom>(0x80000000)}) {
        EXPECT_EQ(QTGetAtomTypeAndID(c, bogus, &type, &id), invalidAtomErr) << bogus;
        char data[4];
        EXPECT_EQ(QTCopyAtomDataToPtr(c, bogus, 1, 4, data, nullptr), invalidAtomErr) << bogus;
        EXPECT_EQ(QTInsertChild(c, bogus, vers, 2, 0, 0, nullptr, nullptr), invalidAtomErr) << bogus;
    }
    EXPECT_EQ(QTGetAtomTypeAndID(nullptr, atom, &type, &id), invalidAtomContainerErr);
    EXPECT_EQ(QTInsertChild(nullptr, 0, vers, 1, 0, 0, nullptr, nullptr), invalidAtomContainerErr);
    QTAtom next = 0;
    EXPECT_EQ(QTNextChildAnyType(nullptr, 0, 0, &next), invalidAtomContainerErr);
    EXPECT_EQ(QTDisposeAtomContainer(nullptr), invalidAtomContainerErr);

    // An atom whose size runs past the end: read, never followed.
    HLock(c);
    hx_put_be32(reinterpret_cast<uint8_t*>(*c) + 12, 0x10000);
    HUnlock(c);
    EXPECT_EQ(QTGetAtomTypeAndID(c, atom, &type, &id), invalidAtomContainerErr);
    EXPECT_EQ(QTCountChildrenOfType(c, 0, vers), 0);
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, ContainersMoveUnlessLockedAndCountTheirLocks)
{
    QTAtomContainer c = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    char* before = *c;
    QTAtom atom = 0;
    ASSERT_EQ(QTInsertChild(c, 0, vers, 1, 0, 4, "1234", &atom), noErr);
    EXPECT_NE(*c, before);
    ASSERT_EQ(QTLockContainer(c), noErr);
    ASSERT_EQ(QTLockContainer(c), noErr);
    char* locked = *c;
    EXPECT_EQ(hx_get_be16(reinterpret_cast<uint8_t*>(*c) + 10), 2);
    QTAtomType type = 0;
    EXPECT_EQ(QTGetAtomTypeAndID(c, atom, &type, nullptr), noErr);
    EXPECT_EQ(*c, locked);
    ASSERT_EQ(QTUnlockContainer(c), noErr);
    EXPECT_EQ(*c, locked);
    ASSERT_EQ(QTUnlockContainer(c), noErr);
    EXPECT_EQ(hx_get_be16(reinterpret_cast<uint8_t*>(*c) + 10), 0);
    EXPECT_EQ(QTGetAtomTypeAndID(c, atom, &type, nullptr), noErr);
    EXPECT_NE(*c, locked);
    QTDisposeAtomContainer(c);
}

TEST_F(Atoms, FailedGrowthLeavesTheContainerAsItWas)
{
    const long live = standin.live_blocks();
    QTAtomContainer c = nullptr;
    standin.fail_allocations(0, 1);
    EXPECT_EQ(QTNewAtomContainer(&c), memFullErr);
    EXPECT_EQ(c, nullptr);
    ASSERT_EQ(QTNewAtomContainer(&c), noErr);
    ASSERT_EQ(QTInsertChild(c, 0, vers, 1, 0, 4, "1234", nullptr), noErr);
    const std::vector<uint8_t> before = handle_bytes(c);
    standin.fail_allocations(0, 1);
    QTAtom atom = -1;
    EXPECT_EQ(QTInsertChild(c, 0, vers, 2, 0, 4, "5678", &atom), memFullErr);
    EXPECT_EQ(atom, 0);
    EXPECT_EQ(handle_bytes(c), before);
    QTDisposeAtomContainer(c);
    EXPECT_EQ(standin.live_blocks(), live);
}

}  // namespace
