#include "encoder_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {
FILE* g_log = nullptr;
}

void open_log(const std::string& path)
{
    close_log();
    g_log = std::fopen(path.c_str(), "a");
}

void close_log()
{
    if (g_log != nullptr)
        std::fclose(g_log);
    g_log = nullptr;
}

void log_line(const char* format, ...)
{
    if (g_log == nullptr)
        return;
    std::fprintf(g_log, "[%lu] ", GetCurrentProcessId());
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}
