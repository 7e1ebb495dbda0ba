#include "quillex_diagnostic.h"

#include <windows.h>

#include <cstdio>

void quillex_diagnostic(const char* message, int32_t error, int line)
{
    char text[256];
    std::snprintf(text, sizeof text, "%s (Err=%d, File=%s, Line=%d)", message, static_cast<int>(error),
                  quillex_source_path, line);
    OutputDebugStringA(text);
}
