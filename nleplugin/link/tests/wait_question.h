// What both plug-ins ask when the encoder has sent nothing for the tests' one-second limit.
#pragma once

#include "box_answerer.h"

#include <gtest/gtest.h>

#include <vector>

// Exactly one box, the plug-in's question with its caption and owner, answered with `answer`.
// Call through ASSERT_NO_FATAL_FAILURE: the caller reads seen[0] afterwards.
inline void expect_one_wait_question(const std::vector<seen_box>& seen, const char* caption, HWND owner,
                                     int answer)
{
    ASSERT_EQ(seen.size(), 1u);
    const seen_box& box = seen[0];
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text,
              "Tessora has not answered for 1 second.\nRetry to wait again, or Cancel to stop the export.");
    EXPECT_EQ(box.owner, owner);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDCANCEL, IDRETRY}));
    EXPECT_EQ(box.icon, "warning");
    EXPECT_EQ(box.answer, answer);
}
