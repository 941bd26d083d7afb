#include "support/LogCapture.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

const char kLogFile[] = "/opt/varnel/ORV/orvspins.log";

}  // namespace

LogCapture::LogCapture() {
    const char* previous = std::getenv("ORVPATCH_TESTBED");
    if (previous != nullptr) {
        m_hadPrevious = true;
        m_previous = previous;
    }
    MakeDirs(m_dir.sub("opt/varnel/ORV"));
    setenv("ORVPATCH_TESTBED", m_dir.path().c_str(), 1);
}

LogCapture::~LogCapture() {
    if (m_hadPrevious) {
        setenv("ORVPATCH_TESTBED", m_previous.c_str(), 1);
    } else {
        unsetenv("ORVPATCH_TESTBED");
    }
}

std::vector<std::string> LogCapture::Messages() const {
    std::vector<std::string> messages;
    std::istringstream lines(ReadFile(m_dir.path() + kLogFile));
    std::string line;
    while (std::getline(lines, line)) {
        // "[YYYY/mm/dd HH:MM:SS][module=1]:" then the message.
        std::string::size_type colon = line.find("]:");
        messages.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    return messages;
}

std::vector<std::string> LogCapture::MessagesWith(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& message : Messages()) {
        if (message.find(part) != std::string::npos) {
            found.push_back(message);
        }
    }
    return found;
}

void LogCapture::Clear() {
    ::unlink((m_dir.path() + kLogFile).c_str());
}

}  // namespace testsupport
