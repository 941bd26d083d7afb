// The debug log: one line per call, appended to the machine's fixed log file.
#pragma once

// Appends "[YYYY/mm/dd HH:MM:SS][module=<hex>]:<message>\n" to the log.
// The message is cut to 2046 characters. A log that cannot be opened or
// written (a missing folder, a full disk, something not a regular file in its
// place) is told once per process by one line on standard error; the caller
// is never told and goes on.
void LogDebugMessage(unsigned int module, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
