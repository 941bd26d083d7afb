// Small building blocks for the unit tests of the registry, the lock probes,
// the console commands and the task control: simulated installations inside
// a test folder, a registry file naming them and a lock held by another
// process. (Running a piece of a test as another user: RunProgram.h.)
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "UPDSilient/checkdomino_silent.h"
#include "support/RunProgram.h"

namespace testsupport {

// One simulated Domino installation: a program folder with the simulator as
// `server`, a data folder of root's, and its notes.ini naming both.
struct SimInstallation {
    std::string bin;
    std::string data;
    std::string notesIni;
    ORVInsInfo info() const;  // the three paths as the registry walk hands them out
};

// Creates the installation below `base` ("<base>/bin", "<base>/data", notes.ini
// in the data folder); `extraNotesLines` are appended to notes.ini.
SimInstallation MakeSimInstallation(const std::string& base,
                                    const std::string& extraNotesLines = "");

// Writes <testbed>/etc/orvsys.ini with the product path and the installations.
void WriteRegistryFile(const std::string& testbed, const std::string& productPath,
                       const std::vector<SimInstallation>& installs);

// A write lock on a file held by a helper process until destruction.
class HeldLock {
  public:
    explicit HeldLock(const std::string& path);  // returns once the lock is held; throws if not
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

  private:
    void Release();
    pid_t m_pid = -1;
    int m_stdin = -1;
};

// The number of times `part` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& part);

}  // namespace testsupport
