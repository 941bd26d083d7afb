// The check's side of the machine seam, and its stand-in for the debug log.
//
// The check reads the machine and changes nothing: the fixed paths lie under
// the folder given with --root ("/" by default), the patcher's waits take no
// time, no child process is ever started (so no console command reaches a
// server), and the lines the patcher's functions log are collected in memory
// instead of being written to the log.
#pragma once

#include <string>
#include <vector>

namespace checkmachine {

// Sets the folder that stands for "/" (an absolute path; "/" is the machine
// itself). Called once, before anything reads a fixed path.
void SetRoot(const std::string& root);
const std::string& Root();

// The log lines collected since the last call, in order (message part only).
std::vector<std::string> TakeLogLines();

// How many child processes something asked to start (each one refused).
int RefusedChildren();

}  // namespace checkmachine
