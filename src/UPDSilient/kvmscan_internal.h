// Internal piece of the notes.ini clean-up, shared with its fuzz target.
#pragma once

#include <string>

// "ServerTasks=" and the names of the server-task line `line` other than
// kvmscan (in any case), in their order, joined by ",", ending in LF.
std::string RebuildServerTaskLine(const std::string& line);
