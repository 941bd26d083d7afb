// The check's seam to the machine and its log collector; see check_machine.h.
#include "check_machine.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "UpdateORV/debug.h"
#include "machine/Machine.h"

namespace checkmachine {

namespace {

std::string& RootText() {
    static std::string root = "/";
    return root;
}

std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
}

int g_refusedChildren = 0;

}  // namespace

void SetRoot(const std::string& root) {
    std::string text = root.empty() ? std::string("/") : root;
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    RootText() = text;
}

const std::string& Root() {
    return RootText();
}

std::vector<std::string> TakeLogLines() {
    std::vector<std::string> taken;
    taken.swap(Lines());
    return taken;
}

int RefusedChildren() {
    return g_refusedChildren;
}

}  // namespace checkmachine

namespace machine {

bool StartupCheck() {
    return true;
}

std::string HostPath(const std::string& fixedPath) {
    const std::string& root = checkmachine::Root();
    return root == "/" ? fixedPath : root + fixedPath;
}

long SecondMillis() {
    return 0;
}

void SleepSeconds(int /*seconds*/) {}

// Stands in for the shared child runner: the check never starts a process,
// so no console command can reach a server whatever a caller asks.
ChildResult RunChild(const ChildSpec& /*request*/) {
    ++checkmachine::g_refusedChildren;
    ChildResult result;
    result.error = EPERM;
    return result;
}

}  // namespace machine

// Stands in for the debug log: the line the patcher would write is kept in
// memory, cut as the log cuts it. No file is opened.
void LogDebugMessage(unsigned int /*module*/, const char* format, ...) {
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, 2047, format, args);
    va_end(args);
    message[2047] = '\0';
    checkmachine::Lines().push_back(message);
}
