#include "support/ServerSetup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "support/DominoSim.h"
#include "support/TempDir.h"

namespace testsupport {

ORVInsInfo SimInstallation::info() const {
    ORVInsInfo info;
    info.strDataPath = data;
    info.strDominoBinPath = bin;
    info.strNotesIniPath = notesIni;
    info.strRegistryBinPath = bin;
    return info;
}

SimInstallation MakeSimInstallation(const std::string& base, const std::string& extraNotesLines) {
    SimInstallation install;
    install.bin = base + "/bin";
    install.data = base + "/data";
    install.notesIni = install.data + "/notes.ini";
    MakeDirs(base);
    chmod(base.c_str(), 0755);
    InstallServerExecutable(install.bin);
    MakeDirs(install.data);
    // Root's alone: a test that gives notes.ini another owner gives it the
    // data folder too (a console command runs only as the owner of both).
    chmod(install.data.c_str(), 0755);
    WriteFile(install.notesIni, "[Notes]\nDirectory=" + install.data +
                                    "\nNotesProgram=" + install.bin + "\n" + extraNotesLines);
    chmod(install.notesIni.c_str(), 0644);
    return install;
}

void WriteRegistryFile(const std::string& testbed, const std::string& productPath,
                       const std::vector<SimInstallation>& installs) {
    std::string text = "[ORVConf]\nDomSvrIORVCount=" + std::to_string(installs.size()) +
                       "\nProductPath=" + productPath + "\nProductVersion=3.0.0\n";
    for (size_t n = 0; n < installs.size(); ++n) {
        std::string s = "DomSvr" + std::to_string(n);
        text += "[" + s + "]\n" + s + "DataPath=" + installs[n].data + "\n" + s +
                "NotesIniPath=" + installs[n].notesIni + "\n" + s +
                "DominoBinPath=" + installs[n].bin + "\n";
    }
    WriteFile(testbed + "/etc/orvsys.ini", text);
}

HeldLock::HeldLock(const std::string& path) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string program = std::string(ORVPATCH_BUILD_DIR) + "/lockholder";
    m_pid = fork();
    if (m_pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(program.c_str(), program.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_stdin = in[1];
    char answer[16] = {};
    ssize_t got = read(out[0], answer, sizeof answer - 1);
    close(out[0]);
    if (got <= 0 || std::string(answer, static_cast<size_t>(got)) != "locked\n") {
        Release();
        throw std::runtime_error("the lock helper could not lock " + path);
    }
}

HeldLock::~HeldLock() {
    Release();
}

void HeldLock::Release() {
    if (m_stdin >= 0) {
        close(m_stdin);  // the helper lets go and ends
        m_stdin = -1;
    }
    if (m_pid > 0) {
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (std::string::size_type pos = text.find(part); pos != std::string::npos;
         pos = text.find(part, pos + part.size())) {
        ++count;
    }
    return count;
}

}  // namespace testsupport
