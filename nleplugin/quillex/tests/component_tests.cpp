// Quillex.qtx as QuickTime meets it: registered from its resource fork by the runtime stand-in,
// opened by type and subtype, and called with parameter blocks built by a host's glue. Every
// unlocked handle moves on every runtime and component call, so a pointer kept into one shows.
#include "debug_output.h"
#include "diagnostic_line.h"
#include "quicktime_host.h"
#include "test_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using namespace qt_glue;

constexpr ComponentResult bad_selector = static_cast<ComponentResult>(0x80008002u);
constexpr QTAtomType tsra = static_cast<QTAtomType>(hx_fourcc("Tsra"));
constexpr QTAtomType vers = static_cast<QTAtomType>(hx_fourcc("vers"));

class Component : public testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(host_.load_component(bin_dir() + "Quillex.qtx", &error)) << error;
        standin_ = host_.standin();
        ci_ = host_.open();
        ASSERT_NE(ci_, nullptr);
    }
    void TearDown() override
    {
        standin_.fail_allocations(0, 0);
        if (ci_ != nullptr) {
            EXPECT_EQ(host_.close(ci_), noErr);
        }
    }

    // The settings as the component hands them out: the 'Tsra' and 'vers' atoms' data.
    bytes settings_out(bytes* version = nullptr)
    {
        QTAtomContainer container = nullptr;
        EXPECT_EQ(movie_export_get_settings_as_atom_container(ci_, &container), noErr);
        EXPECT_NE(container, nullptr);
        bytes atom = atom_data(container, tsra);
        if (version != nullptr)
            *version = atom_data(container, vers);
        QTDisposeAtomContainer(container);
        return atom;
    }

    static bytes atom_data(QTAtomContainer container, QTAtomType type)
    {
        if (QTCountChildrenOfType(container, kParentAtomIsContainer, type) != 1)
            return {};
        QTAtomID id = 0;
        const QTAtom atom = QTFindChildByIndex(container, kParentAtomIsContainer, type, 1, &id);
        bytes data(1024);
        long size = 0;
        if (QTCopyAtomDataToPtr(container, atom, 1, static_cast<long>(data.size()), data.data(), &size) !=
            noErr)
            return {};
        data.resize(static_cast<size_t>(size));
        return data;
    }

    // A container with the given atoms, in order.
    static QTAtomContainer container_with(const std::vector<std::pair<QTAtomType, bytes>>& atoms)
    {
        QTAtomContainer container = nullptr;
        EXPECT_EQ(QTNewAtomContainer(&container), noErr);
        for (const auto& atom : atoms)
            EXPECT_EQ(QTInsertChild(container, kParentAtomIsContainer, atom.first, 0, 0,
                                    static_cast<long>(atom.second.size()), atom.second.data(), nullptr),
                      noErr);
        return container;
    }

    ComponentResult settings_in(const std::vector<std::pair<QTAtomType, bytes>>& atoms)
    {
        const QTAtomContainer container = container_with(atoms);
        const ComponentResult result = movie_export_set_settings_from_atom_container(ci_, container);
        QTDisposeAtomContainer(container);
        return result;
    }

    static bytes pattern(size_t n, uint8_t seed)
    {
        bytes b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = static_cast<uint8_t>(seed + i * 7);
        return b;
    }

    quicktime_host host_;
    hx_qt_standin standin_;
    ComponentInstance ci_ = nullptr;
};

// ---- Dispatch, can do, version ---------------------------------------------------------------

const std::set<int> served = {-1, -2, -3, -4, 0x84, 0x89, 0x8A, 0x8C, 0x8D, 0x91};

TEST_F(Component, CanDoAnswersOneForExactlyTheTenServedSelectors)
{
    std::vector<int> wrong;
    for (int selector = -300; selector <= 0x300; ++selector) {
        const ComponentResult answer = component_can_do(ci_, static_cast<int16_t>(selector));
        if (answer != (served.count(selector) ? 1 : 0))
            wrong.push_back(selector);
    }
    for (int selector : {-32768, 32767, 0x180, 0x7FFF})
        if (component_can_do(ci_, static_cast<int16_t>(selector)) != 0)
            wrong.push_back(selector);
    EXPECT_TRUE(wrong.empty()) << "first wrong selector " << (wrong.empty() ? 0 : wrong.front());
}

TEST_F(Component, UnservedSelectorsOnBothSidesOfEveryRangeAreBadSelectors)
{
    for (int selector : {-5,   -6,   -7,   -8,   -100, 0x00,  0x7F,  0x80,  0x83,  0x85,  0x88,
                         0x8B, 0x8E, 0x90, 0x92, 0xFF, 0x100, 0x101, 0x102, 0x17F, 0x180, 0x7FFF})
        EXPECT_EQ(call_selector(ci_, static_cast<int16_t>(selector), {0, 0, 0, 0}), bad_selector)
            << "selector " << selector;
}

TEST_F(Component, VersionAndTheMoviePropertyProcedure)
{
    EXPECT_EQ(component_version(ci_), 0x00010000);
    const bytes before = settings_out();
    EXPECT_EQ(movie_export_set_get_movie_property_proc(ci_, &qt_movie::get_property, this), noErr);
    EXPECT_EQ(settings_out(), before);
}

TEST(ComponentEntry, CloseWithoutStorageAndNoBlockAtAll)
{
    // Straight through the exported entry, as the runtime would call it.
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(bin_dir() + "Quillex.qtx", &error)) << error;
    const HMODULE library = LoadLibraryA((bin_dir() + "Quillex.qtx").c_str());
    ASSERT_NE(library, nullptr);
    const auto entry =
        reinterpret_cast<ComponentRoutine>(GetProcAddress(library, "QuillexComponentDispatch"));
    ASSERT_NE(entry, nullptr);
    ComponentParameters close{0, 4, kComponentCloseSelect, {0x1234}};
    EXPECT_EQ(entry(&close, nullptr), noErr);
    EXPECT_EQ(entry(nullptr, nullptr), bad_selector);
    ComponentParameters unknown{0, 0, 0x42, {0}};
    EXPECT_EQ(entry(&unknown, nullptr), bad_selector);
    FreeLibrary(library);
}

TEST(ComponentOpen, MemoryExhaustedGivesNoInstanceAndNoStorage)
{
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(bin_dir() + "Quillex.qtx", &error)) << error;
    const long live = host.standin().live_blocks();
    host.standin().fail_allocations(0, 1);
    EXPECT_EQ(host.open(), nullptr);
    host.standin().fail_allocations(0, 0);
    EXPECT_EQ(host.standin().live_blocks(), live);

    // Memory back: an instance opens, keeps one block, and gives it back on close.
    const ComponentInstance ci = host.open();
    ASSERT_NE(ci, nullptr);
    EXPECT_NE(GetComponentInstanceStorage(ci), nullptr);
    EXPECT_EQ(host.standin().live_blocks(), live + 1);
    EXPECT_EQ(host.close(ci), noErr);
    EXPECT_EQ(host.standin().live_blocks(), live);
}

TEST(ComponentOpen, OnceOpenedTheLibraryStaysLoaded)
{
    // The runtime lets go of the library with its last instance; the component keeps itself
    // loaded, so that hosts that open an instance per export do not load it again each time.
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(bin_dir() + "Quillex.qtx", &error)) << error;
    EXPECT_EQ(GetModuleHandleA("Quillex.qtx"), nullptr) << "registration alone loads nothing";
    const ComponentInstance ci = host.open();
    ASSERT_NE(ci, nullptr);
    const HMODULE loaded = GetModuleHandleA("Quillex.qtx");
    EXPECT_NE(loaded, nullptr);
    EXPECT_EQ(host.close(ci), noErr);
    EXPECT_EQ(GetModuleHandleA("Quillex.qtx"), loaded);
    const ComponentInstance again = host.open();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetModuleHandleA("Quillex.qtx"), loaded);
    EXPECT_EQ(host.close(again), noErr);
}

// ---- The storage handle's state --------------------------------------------------------------

TEST_F(Component, StorageStateIsRestoredExactlyLockedOrNot)
{
    const Handle storage = GetComponentInstanceStorage(ci_);
    ASSERT_NE(storage, nullptr);
    qt_progress progress;
    EXPECT_EQ(HGetState(storage) & 0x80, 0);
    EXPECT_EQ(movie_export_set_progress_proc(ci_, progress.proc(), progress.refcon()), noErr);
    EXPECT_EQ(HGetState(storage) & 0x80, 0) << "left locked";

    HLock(storage);
    const char* locked_at = *storage;
    EXPECT_EQ(movie_export_set_progress_proc(ci_, nullptr, 0), noErr);
    settings_out();
    EXPECT_EQ(settings_in({{tsra, pattern(264, 1)}}), noErr);
    EXPECT_NE(HGetState(storage) & 0x80, 0) << "the host's lock was taken away";
    EXPECT_EQ(*storage, locked_at);
    HUnlock(storage);
    EXPECT_EQ(HGetState(storage) & 0x80, 0);
}

// ---- Settings --------------------------------------------------------------------------------

TEST_F(Component, FreshSettingsGoOutBigEndianWithAVersionAtom)
{
    bytes version;
    const bytes settings = settings_out(&version);
    ASSERT_EQ(settings.size(), 264u);
    const bytes words = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(words.begin(), words.end(), settings.begin()));
    for (size_t i = 8; i < 264; ++i)
        ASSERT_EQ(settings[i], 0) << i;
    EXPECT_EQ(version, (bytes{0, 0, 0, 1}));
}

TEST_F(Component, SettingsRoundTripTheSameBytes)
{
    const bytes p = pattern(264, 3);
    EXPECT_EQ(settings_in({{tsra, p}}), noErr);
    EXPECT_EQ(settings_out(), p);
    // Out and straight back in: still the same.
    QTAtomContainer container = nullptr;
    ASSERT_EQ(movie_export_get_settings_as_atom_container(ci_, &container), noErr);
    EXPECT_EQ(movie_export_set_settings_from_atom_container(ci_, container), noErr);
    QTDisposeAtomContainer(container);
    EXPECT_EQ(settings_out(), p);
}

TEST_F(Component, VersionAtomsAreIgnoredAndTheFirstSettingsAtomCounts)
{
    const bytes p = pattern(264, 9), q = pattern(264, 77);
    EXPECT_EQ(settings_in({{vers, {0, 0, 0, 99}}, {hx_fourcc("abcd"), {1, 2}}, {tsra, p}, {tsra, q}}), noErr);
    EXPECT_EQ(settings_out(), p);
}

TEST_F(Component, NoSettingsAtomLeavesTheSettingsAlone)
{
    const bytes p = pattern(264, 5);
    ASSERT_EQ(settings_in({{tsra, p}}), noErr);
    EXPECT_EQ(settings_in({{vers, {0, 0, 0, 1}}}), paramErr);
    EXPECT_EQ(settings_in({}), paramErr);
    EXPECT_EQ(settings_out(), p);
}

TEST_F(Component, AShortSettingsAtomReplacesTheStartAndIsRefused)
{
    const bytes p = pattern(264, 5);
    ASSERT_EQ(settings_in({{tsra, p}}), noErr);
    const bytes start = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
    EXPECT_EQ(settings_in({{tsra, start}}), paramErr);
    bytes expected = p;
    std::copy(start.begin(), start.end(), expected.begin());
    // The two words went in big-endian and come out big-endian: the same bytes.
    EXPECT_EQ(settings_out(), expected);
}

TEST_F(Component, ALongSettingsAtomNeverWritesPastTheSettings)
{
    int32_t video_id = -1, second = 77, sound_id = -1;
    qt_movie movie({});
    const std::vector<qt_data_source> sources = movie.sources();
    ASSERT_EQ(movie_export_add_data_source(ci_, sources[0].media_type, 600, &video_id,
                                           sources[0].property_proc, sources[0].data_proc,
                                           sources[0].ref_con),
              noErr);
    const bytes long_atom = pattern(4096, 0xEE);
    const ComponentResult result = settings_in({{tsra, long_atom}});
    const bytes after = settings_out();
    if (result == noErr) {
        EXPECT_TRUE(std::equal(after.begin(), after.end(), long_atom.begin()));
    }
    // The track lists behind the settings are whole.
    EXPECT_EQ(movie_export_add_data_source(ci_, sources[0].media_type, 600, &second, sources[0].property_proc,
                                           sources[0].data_proc, sources[0].ref_con),
              noErr);
    EXPECT_EQ(second, 77);
    EXPECT_EQ(movie_export_add_data_source(ci_, sources[1].media_type, 22050, &sound_id,
                                           sources[1].property_proc, sources[1].data_proc,
                                           sources[1].ref_con),
              noErr);
    EXPECT_EQ(video_id, 0);
    EXPECT_EQ(sound_id, 1);
}

TEST_F(Component, ARefusedCopyLeavesTheSettingsAsTheyWere)
{
    const bytes p = pattern(264, 21);
    ASSERT_EQ(settings_in({{tsra, p}}), noErr);
    // A 'Tsra' atom with a child cannot be copied as data.
    QTAtomContainer container = nullptr;
    ASSERT_EQ(QTNewAtomContainer(&container), noErr);
    QTAtom parent = 0;
    ASSERT_EQ(QTInsertChild(container, kParentAtomIsContainer, tsra, 0, 0, 0, nullptr, &parent), noErr);
    const bytes child = pattern(264, 99);
    ASSERT_EQ(QTInsertChild(container, parent, tsra, 0, 0, 264, child.data(), nullptr), noErr);
    const ComponentResult result = movie_export_set_settings_from_atom_container(ci_, container);
    QTDisposeAtomContainer(container);
    EXPECT_NE(result, noErr);
    EXPECT_EQ(settings_out(), p);
}

TEST_F(Component, ANewContainerThatCannotBeMadeIsReported)
{
    standin_.fail_allocations(0, 1);
    QTAtomContainer container = nullptr;
    EXPECT_EQ(movie_export_get_settings_as_atom_container(ci_, &container), memFullErr);
    standin_.fail_allocations(0, 0);
    EXPECT_EQ(movie_export_get_settings_as_atom_container(ci_, nullptr), paramErr);
}

// ---- Data sources ----------------------------------------------------------------------------

TEST_F(Component, AcceptedSourcesTakeIdsInOrderAndRefusedOnesTakeNone)
{
    qt_movie movie({});
    const std::vector<qt_data_source> s = movie.sources();
    ASSERT_EQ(s.size(), 4u);
    int32_t id = 55;
    EXPECT_EQ(
        movie_export_add_data_source(ci_, s[0].media_type, 600, &id, nullptr, s[0].data_proc, s[0].ref_con),
        paramErr);
    EXPECT_EQ(movie_export_add_data_source(ci_, s[0].media_type, 600, &id, s[0].property_proc, nullptr,
                                           s[0].ref_con),
              paramErr);
    EXPECT_EQ(movie_export_add_data_source(ci_, hx_fourcc("text"), 600, &id, s[0].property_proc,
                                           s[0].data_proc, s[0].ref_con),
              paramErr);
    EXPECT_EQ(id, 55);
    std::vector<int32_t> ids;
    for (const qt_data_source& source : s) {
        int32_t got = -1;
        EXPECT_EQ(movie_export_add_data_source(ci_, source.media_type, source.time_scale, &got,
                                               source.property_proc, source.data_proc, source.ref_con),
                  noErr);
        ids.push_back(got);
        int32_t again = 66;
        EXPECT_EQ(movie_export_add_data_source(ci_, source.media_type, source.time_scale, &again,
                                               source.property_proc, source.data_proc, source.ref_con),
                  noErr);
        EXPECT_EQ(again, 66) << "a second source of a present type wrote the ID";
    }
    EXPECT_EQ(ids, (std::vector<int32_t>{0, 1, 2, 3}));
}

// ---- The diagnostic lines, as a debug viewer shows them ----------------------------------------

TEST(ComponentDiagnostics, EachFailureWritesItsLine)
{
    debug_output_capture capture;
    ASSERT_TRUE(capture.listening());
    quicktime_host host;
    std::string error;
    ASSERT_TRUE(host.load_component(bin_dir() + "Quillex.qtx", &error)) << error;

    host.standin().fail_allocations(0, 1);
    EXPECT_EQ(host.open(), nullptr);
    host.standin().fail_allocations(0, 0);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("QuillexOpen: Failed to allocate globals", -108, 121)));

    const ComponentInstance ci = host.open();
    ASSERT_NE(ci, nullptr);
    host.standin().fail_allocations(0, 1);
    QTAtomContainer container = nullptr;
    EXPECT_EQ(movie_export_get_settings_as_atom_container(ci, &container), memFullErr);
    host.standin().fail_allocations(0, 0);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("QTNewAtomContainer failed", -108, 389)));

    qt_movie movie({});
    const qt_data_source s = movie.sources()[0];
    int32_t id = 0;
    EXPECT_EQ(movie_export_add_data_source(ci, s.media_type, 600, &id, nullptr, s.data_proc, s.ref_con),
              paramErr);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("getPropertyProc or getDataProc undefined", -50, 328)));
    EXPECT_EQ(movie_export_add_data_source(ci, hx_fourcc("text"), 600, &id, s.property_proc, s.data_proc,
                                           s.ref_con),
              paramErr);
    EXPECT_TRUE(capture.saw(quillex_diagnostic_line("Error in QuillexAddDataSource", -50, 380)));
    EXPECT_EQ(host.close(ci), noErr);
    // Nothing that succeeded wrote a line.
    EXPECT_EQ(capture.lines().size(), 4u);
}

// ---- Under stress: every unlocked block moves on every call ----------------------------------

TEST_F(Component, HundredsOfCallsWhileEveryBlockMoves)
{
    const long live = standin_.live_blocks();
    for (int round = 0; round < 200; ++round) {
        const bytes p = pattern(264, static_cast<uint8_t>(round));
        ASSERT_EQ(settings_in({{vers, {0, 0, 0, 2}}, {tsra, p}}), noErr) << round;
        ASSERT_EQ(settings_out(), p) << round;
        ASSERT_EQ(component_can_do(ci_, 0x89), 1);
        ASSERT_EQ(movie_export_set_progress_proc(ci_, nullptr, round), noErr);
    }
    EXPECT_EQ(standin_.live_blocks(), live);
}

}  // namespace
