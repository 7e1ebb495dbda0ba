// What the runtime stand-in's tests share: every call goes through the plug-ins' own
// forwarding entries (hx_quicktime.h) into the system folder's QuickTime.qts.
#pragma once

#include "hx_qt_standin.h"
#include "hx_quicktime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

class QuickTimeStandIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        long version = 0;
        ASSERT_EQ(Gestalt(hx_fourcc("qtim"), &version), noErr);
        ASSERT_TRUE(standin.find()) << "the loaded QuickTime.qts is not the stand-in";
        standin.set_move_handles(1);
        standin.fail_allocations(0, 0);
    }

    hx_qt_standin standin;
};

// A handle's bytes, copied while nothing can move it.
inline std::vector<uint8_t> handle_bytes(Handle h)
{
    const long n = GetHandleSize(h);
    return std::vector<uint8_t>(reinterpret_cast<uint8_t*>(*h), reinterpret_cast<uint8_t*>(*h) + n);
}
