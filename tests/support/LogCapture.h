// A debug log for unit tests: points ORVPATCH_TESTBED at a fresh test folder
// holding opt/varnel/ORV, so that LogDebugMessage writes there, and reads the
// messages back without their "[time][module=..]:" headers.
#pragma once

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace testsupport {

class LogCapture {
  public:
    LogCapture();   // sets ORVPATCH_TESTBED to root()
    ~LogCapture();  // puts the earlier ORVPATCH_TESTBED back
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The folder standing for "/" (it may hold other test files too).
    const std::string& root() const { return m_dir.path(); }
    // The messages logged since construction or the last Clear(), in order.
    std::vector<std::string> Messages() const;
    // The messages that contain `part`.
    std::vector<std::string> MessagesWith(const std::string& part) const;
    void Clear();

  private:
    TempDir m_dir;
    bool m_hadPrevious = false;
    std::string m_previous;
};

}  // namespace testsupport
