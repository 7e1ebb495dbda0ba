// The glue's blocks, byte by byte, as a component would receive them.
#include "quicktime_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct captured_call {
    ComponentInstance instance;
    std::vector<uint8_t> bytes;  // header and slots, as laid out in memory
};

std::vector<captured_call> calls;
ComponentResult answer = 0;

ComponentResult __cdecl capture(ComponentInstance instance, ComponentParameters* params)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(params);
    calls.push_back({instance, std::vector<uint8_t>(p, p + 4 + params->paramSize)});
    return answer;
}

ComponentResult __cdecl other_capture(ComponentInstance, ComponentParameters*)
{
    return 77;
}

std::vector<uint8_t> le(int32_t v)
{
    const uint32_t u = static_cast<uint32_t>(v);
    return {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
}

std::vector<uint8_t> block(uint8_t size, int16_t what, const std::vector<int32_t>& slots)
{
    std::vector<uint8_t> b = {0, size, uint8_t(uint16_t(what)), uint8_t(uint16_t(what) >> 8)};
    for (int32_t s : slots) {
        const std::vector<uint8_t> bytes = le(s);
        b.insert(b.end(), bytes.begin(), bytes.end());
    }
    return b;
}

const ComponentInstance instance = reinterpret_cast<ComponentInstance>(0x00C0FFEE);

class glue : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        answer = 0;
    }
    qt_glue::scoped_call_component scope{capture};
};

OSErr __cdecl no_data(void*, MovieExportGetDataParams*)
{
    return eofErr;
}

OSErr __cdecl no_property(void*, int32_t, OSType, void*)
{
    return paramErr;
}

}  // namespace

TEST_F(glue, set_progress_proc_carries_procedure_then_refcon)
{
    qt_glue::movie_export_set_progress_proc(instance, qt_progress::procedure, 0x11223344);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].instance, instance);
    EXPECT_EQ(calls[0].bytes,
              block(8, 0x84, {qt_glue::slot(reinterpret_cast<void*>(qt_progress::procedure)), 0x11223344}));
    EXPECT_EQ(calls[0].bytes[2], 0x84);
    EXPECT_EQ(calls[0].bytes[4 + 4], 0x44);  // the refcon's low byte first
}

TEST_F(glue, from_procedures_to_data_ref_carries_handle_then_type)
{
    char* master = nullptr;
    const Handle data_ref = &master;
    qt_glue::movie_export_from_procedures_to_data_ref(instance, data_ref, hx_fourcc("hndl"));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes,
              block(8, 0x89, {qt_glue::slot(data_ref), static_cast<int32_t>(hx_fourcc("hndl"))}));
    // A four-character code is a plain little-endian integer in its slot.
    const std::vector<uint8_t> type(calls[0].bytes.begin() + 8, calls[0].bytes.end());
    EXPECT_EQ(type, (std::vector<uint8_t>{'l', 'd', 'n', 'h'}));
}

TEST_F(glue, add_data_source_carries_six_slots_in_the_routines_order)
{
    int32_t id = -1;
    int reference = 0;
    qt_glue::movie_export_add_data_source(instance, hx_fourcc("vide"), 600, &id, no_property, no_data,
                                          &reference);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes,
              block(24, 0x8A,
                    {static_cast<int32_t>(hx_fourcc("vide")), 600, qt_glue::slot(&id),
                     qt_glue::slot(reinterpret_cast<void*>(no_property)),
                     qt_glue::slot(reinterpret_cast<void*>(no_data)), qt_glue::slot(&reference)}));
    EXPECT_EQ(calls[0].bytes.size(), 28u);
}

TEST_F(glue, settings_routines_carry_one_slot)
{
    QTAtomContainer container = reinterpret_cast<QTAtomContainer>(0x12345678);
    qt_glue::movie_export_get_settings_as_atom_container(instance, &container);
    qt_glue::movie_export_set_settings_from_atom_container(instance, container);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].bytes, block(4, 0x8C, {qt_glue::slot(&container)}));
    EXPECT_EQ(calls[1].bytes, block(4, 0x8D, {0x12345678}));
}

TEST_F(glue, set_get_movie_property_proc_carries_procedure_then_refcon)
{
    int reference = 0;
    qt_glue::movie_export_set_get_movie_property_proc(instance, no_property, &reference);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(
        calls[0].bytes,
        block(8, 0x91, {qt_glue::slot(reinterpret_cast<void*>(no_property)), qt_glue::slot(&reference)}));
}

TEST_F(glue, can_do_puts_the_short_selector_in_a_whole_slot)
{
    qt_glue::component_can_do(instance, 0x8A);
    qt_glue::component_can_do(instance, -1);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].bytes, (std::vector<uint8_t>{0x00, 0x04, 0xFD, 0xFF, 0x8A, 0x00, 0x00, 0x00}));
    // A negative short is sign-extended; a component reads its low 16 bits.
    EXPECT_EQ(calls[1].bytes, (std::vector<uint8_t>{0x00, 0x04, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(glue, version_has_no_parameters)
{
    qt_glue::component_version(instance);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes, (std::vector<uint8_t>{0x00, 0x00, 0xFC, 0xFF}));
}

TEST_F(glue, results_come_back_as_32_bits)
{
    answer = badComponentSelector;
    EXPECT_EQ(qt_glue::call_selector(instance, 0x100, {}), badComponentSelector);
    answer = 0x00010000;
    EXPECT_EQ(qt_glue::component_version(instance), 0x00010000);
    answer = -50;
    EXPECT_EQ(qt_glue::component_can_do(instance, 0x84), -50);
}

TEST_F(glue, call_selector_sends_any_slots)
{
    qt_glue::call_selector(instance, 0x85, {1, -2, 0x7FFFFFFF});
    qt_glue::call_selector(instance, -8, {});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].bytes, block(12, 0x85, {1, -2, 0x7FFFFFFF}));
    EXPECT_EQ(calls[1].bytes, (std::vector<uint8_t>{0x00, 0x00, 0xF8, 0xFF}));
}

TEST_F(glue, a_component_reads_the_block_through_its_record)
{
    int32_t id = -1;
    qt_glue::movie_export_add_data_source(instance, hx_fourcc("soun"), 44100, &id, no_property, no_data,
                                          nullptr);
    ASSERT_EQ(calls.size(), 1u);
    ComponentParameters* p = reinterpret_cast<ComponentParameters*>(calls[0].bytes.data());
    EXPECT_EQ(p->flags, 0);
    EXPECT_EQ(p->paramSize, 24);
    EXPECT_EQ(p->what, kMovieExportAddDataSourceSelect);
    int32_t slots[6];
    std::memcpy(slots, calls[0].bytes.data() + 4, sizeof slots);
    EXPECT_EQ(static_cast<OSType>(slots[0]), hx_fourcc("soun"));
    EXPECT_EQ(slots[1], 44100);
    EXPECT_EQ(reinterpret_cast<int32_t*>(static_cast<uintptr_t>(slots[2])), &id);
    const MovieExportGetDataProc data =
        reinterpret_cast<MovieExportGetDataProc>(static_cast<uintptr_t>(slots[4]));
    EXPECT_EQ(data(nullptr, nullptr), eofErr);  // the slot holds a callable procedure
    EXPECT_EQ(slots[5], 0);
}

TEST_F(glue, a_nested_replacement_ends_with_its_scope)
{
    {
        qt_glue::scoped_call_component inner(other_capture);
        EXPECT_EQ(qt_glue::component_version(instance), 77);
        EXPECT_TRUE(calls.empty());
    }
    answer = 5;
    EXPECT_EQ(qt_glue::component_version(instance), 5);
    EXPECT_EQ(calls.size(), 1u);
}
