// A complete test machine in a temporary folder standing for "/": the
// registry, the product root with version folders, Domino servers run by the
// simulator, and a hot-fix package. Used by the end-to-end tests and the
// demonstration alike. (Built in tests/support/TestMachine.cpp.)
//
// Layout below root():
//   etc/orvsys.ini                      the registry naming every server
//   opt/varnel/ORV/                     the product root (and the debug log)
//     program/V3.0.0.<build>/           loader, liborvext.so, libalpha.so,
//                                       libbeta.so, libgamma.so, sub/data.txt
//     program/latest                    link to the version folder in use
//   domino<i>/bin/                      server (the simulator), liborvext.so
//                                       and the seven task executables
//   domino<i>/data/notes.ini            Directory, NotesProgram, ServerTasks
//   package/FileGroup1/                 the hot fix: orvpatch.ini, its files
//                                       and readme_orv3_solaris.txt
// Every file the machine writes holds a text that tells where it came from
// (ProductContent, PackageContent), so tests can see which copy is where.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/DominoSim.h"
#include "support/TempDir.h"

namespace testsupport {

// The seven task executables of a Domino program folder, in loader order.
extern const char* const kTaskNames[7];
// The libraries every version folder holds besides loader and liborvext.so.
extern const char* const kLibraryNames[3];
// Owners of the servers' data folders when the machine has several owners.
extern const uid_t kServerOwners[3];

struct MachineOptions {
    int servers = 1;                   // 1 to 3 Domino servers
    std::vector<int> builds = {1234};  // version folders below program/
    int latest = 1234;                 // the build program/latest names (0: no link)
    bool startServers = true;          // start each server process
    // Tasks started in every running server (orvupd is left out: the
    // rollback's stop never ends it).
    std::vector<std::string> tasks = {"orvemf", "orvsch", "orvreal", "orvmon", "orvdbs"};
    bool severalOwners = false;  // server i's data folder and notes.ini owned by kServerOwners[i]
    long secondMillis = 10;      // milliseconds of one patcher second
    // The folder standing for "/": empty for a fresh temporary one; otherwise
    // an absolute path that must not exist or be empty. Either is removed at
    // destruction unless `keep`.
    std::string folder;
    // Leave the folder and the simulator processes behind at destruction, for
    // a program that builds a machine for other processes to use.
    bool keep = false;
};

// How TestMachine::Run starts a program of the build against the machine.
struct RunOptions {
    std::vector<std::string> args;
    std::string workDir;  // empty: the package's parent folder
    bool asUser = false;  // run as uid/gid, supplementary groups dropped
    uid_t uid = 0;
    gid_t gid = 0;
    int timeoutSeconds = 120;    // real seconds, then the program is killed
    bool callerContext = false;  // see ProgramOptions::callerContext
    // A program at the top of the build folder, or an absolute path.
    std::string program = "orvpatch-testbed";
};

struct Server {
    std::string dataDir;     // <root>/domino<i>/data
    std::string programDir;  // <root>/domino<i>/bin
    std::string notesIni;    // <dataDir>/notes.ini
    uid_t owner = 0;
};

// A hot-fix package in <root>/package/FileGroup1.
struct Package {
    int build = 1240;
    std::vector<std::string> files = {"libalpha.so", "libbeta.so"};  // the Files value, in order
    std::vector<std::string> absent;  // names listed in Files but not put in the package
    std::string createNewFolder = "1";
    int depentBuild = 0;
    int updateLoader = 0;
    bool readme = true;
    bool settings = true;  // write orvpatch.ini
};

struct RunResult {
    int exitStatus = -1;  // -1 when the run did not exit normally
    bool timedOut = false;
    std::string out;               // standard output
    std::string err;               // standard error
    std::vector<std::string> log;  // message parts of the log lines the run added
    // Per server: the console commands the run sent, in order.
    std::vector<std::vector<JournalEntry>> journal;
    std::vector<std::string> commands(size_t server) const;  // command texts only
};

class TestMachine {
  public:
    explicit TestMachine(const MachineOptions& options = MachineOptions());
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    // Paths.
    const std::string& root() const { return m_dir.path(); }
    std::string productRoot() const;          // <root>/opt/varnel/ORV
    std::string programDir() const;           // <productRoot>/program
    std::string versionDir(int build) const;  // <programDir>/V3.0.0.<build>
    std::string hotfixDir(int build) const;   // <productRoot>/hotfix/B<build>
    std::string packageParent() const;        // <root>/package
    std::string packageDir() const;           // <packageParent>/FileGroup1
    std::string logPath() const;              // <productRoot>/orvspins.log
    std::string stagingDir(int build) const;  // <programDir>/.orvpatch-staging-B<build>.tmp
    const std::vector<Server>& servers() const { return m_servers; }

    // What the machine writes into its files.
    static std::string ProductContent(const std::string& name, int build);
    static std::string PackageContent(const std::string& name, int build);

    // Product layout.
    void AddVersionFolder(int build);
    void PointLatestAt(const std::string& target);  // makes program/latest a link to target

    // Servers and tasks (through the simulator).
    void StartServer(size_t server);
    void StartTask(size_t server, const std::string& task);
    bool TaskRunning(size_t server, const std::string& task) const;

    // The hot-fix package.
    void WritePackage(const Package& package);

    // Runs a program against the machine (ORVPATCH_TESTBED set to root())
    // and collects what it printed, logged and sent to the consoles.
    RunResult Run(const RunOptions& options);
    // The common case: orvpatch-testbed with `args` from the package's parent.
    RunResult Run(const std::vector<std::string>& args = {});

    // Inspection.
    std::vector<std::string> LogMessages() const;  // message parts of every log line
    std::string LatestTarget() const;              // where program/latest points ("" if no link)
    bool KvmscanRegistered(size_t server) const;   // whether its notes.ini names kvmscan

  private:
    void WriteRegistry();
    void MakeServer(size_t index);

    TempDir m_dir;  // declared first: removed after every process is stopped
    SimGuard m_guard;
    MachineOptions m_options;
    std::vector<Server> m_servers;
};

// Takes the run lock of the product root (its lock file made as a run
// makes it) for as long as the returned descriptor stays open; -1 when it
// cannot be taken.
int HoldRunLock(const TestMachine& machine);

// Machine options without running servers (nothing to stop or restart).
MachineOptions Quiet(int servers = 1);
// The default package, installed in place instead of into a new folder.
Package InPlacePackage();

// The names of the extension manager's backups (liborvext.so_<n>) in a
// program folder, sorted.
std::vector<std::string> ExtensionBackups(const std::string& programDir);

// The log lines one per line, indented: for failure messages.
std::string Listing(const std::vector<std::string>& log);

// Index of the first message equal to `text` at or after `from`; -1 if none.
int FindMessage(const std::vector<std::string>& log, const std::string& text, size_t from = 0);
// Whether every text of `texts` is in `log`, in this order (others may come between).
bool InOrder(const std::vector<std::string>& log, const std::vector<std::string>& texts);
// Number of messages equal to `text`.
int CountMessage(const std::vector<std::string>& log, const std::string& text);

}  // namespace testsupport
