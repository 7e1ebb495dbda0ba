// Every failure point composes one line, "%s (Err=%d, File=%s, Line=%d)", with a fixed line
// number that names the point. The line goes to the debugger's output (OutputDebugStringA),
// where a developer can read it; nothing is shown to the user.
#pragma once

#include <cstdint>

constexpr char quillex_source_path[] = "nleplugin\\quillex\\Quillex";

void quillex_diagnostic(const char* message, int32_t error, int line);
