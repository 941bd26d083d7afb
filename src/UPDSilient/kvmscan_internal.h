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

// Whether the clean-up would rewrite this notes.ini: it is read as the
// clean-up reads it (as the owner of the entry, no FIFO or device opened)
// and a server-task line changes. Writes nothing, logs nothing.
bool ScanTaskCleanUpDue(const char* notesIniPath);
