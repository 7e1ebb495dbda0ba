// The stand-in's log: one line per event, flushed at once so tests can read it any time.
#pragma once

#include <string>

void open_log(const std::string& path);
void close_log();
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
