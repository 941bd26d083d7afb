// Internal piece of the notes.ini clean-up, shared with its fuzz target.
#pragma once

#include <string>

// "ServerTasks=" and the names of the server-task line `line` other than
// kvmscan (in any case), in their order, joined by ",", ending in LF.
std::string RebuildServerTaskLine(const std::string& line);

// `content` (a whole notes.ini) with every server-task line rebuilt;
// `changed` tells whether that changes any line, which is when the clean-up
// rewrites the file.
std::string WithoutScanTask(const std::string& content, bool& changed);

// What the clean-up would do with this notes.ini, read as the clean-up
// reads it (as the owner of the entry, no FIFO or device opened): whether a
// server-task line changes, and why kvmscan would stay registered (the
// Error: line the clean-up logs; "" when it would not): a regular file that
// cannot be read whole, or a rewrite that cannot be made. Writes nothing,
// logs nothing; the clean-up itself asks the same before it writes.
struct ScanTaskOutlook {
    bool due = false;
    std::string problem;
};
ScanTaskOutlook DecideScanTaskCleanUp(const char* notesIniPath);
bool ScanTaskCleanUpDue(const char* notesIniPath);
