// The debug log: one line per call, appended to the machine's fixed log file.
#pragma once

// Appends "[YYYY/mm/dd HH:MM:SS][module=<hex>]:<message>\n" to the log.
// The message is cut to 2046 characters; a missing log folder makes the call
// do nothing. Never reports a failure.
void LogDebugMessage(unsigned int module, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
