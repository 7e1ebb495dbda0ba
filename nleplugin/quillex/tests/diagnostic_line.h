// The line the component writes to the debug output at a failure point.
#pragma once

#include <string>

inline std::string quillex_diagnostic_line(const char* message, int error, int line)
{
    return std::string(message) + " (Err=" + std::to_string(error) +
           ", File=nleplugin\\quillex\\Quillex, Line=" + std::to_string(line) + ")";
}
