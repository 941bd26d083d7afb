#include "support/TestMachine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>

#include "support/RunProgram.h"

namespace testsupport {

const char* const kTaskNames[7] = {"orvreal", "orvemf",  "orvmon", "orvsch",
                                   "orvupd",  "orvsupp", "orvdbs"};
const char* const kLibraryNames[3] = {"libalpha.so", "libbeta.so", "libgamma.so"};
const uid_t kServerOwners[3] = {65534, 65533, 65532};

namespace {

void Check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error("test machine: " + what);
    }
}

void WriteExecutable(const std::string& path, const std::string& content) {
    WriteFile(path, content);
    Check(chmod(path.c_str(), 0755) == 0, "chmod " + path);
}

// Changes the owner of a tree (links themselves, never their targets).
void ChownTree(const std::string& path, uid_t uid, gid_t gid) {
    Check(lchown(path.c_str(), uid, gid) == 0, "chown " + path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return;
    }
    for (const std::string& name : FolderNames(path)) {
        ChownTree(path + "/" + name, uid, gid);
    }
}

std::vector<std::string> ReadMessages(const std::string& logPath) {
    std::vector<std::string> messages;
    std::istringstream in(ReadFile(logPath));
    std::string line;
    while (std::getline(in, line)) {
        std::string::size_type mark = line.find("]:");
        messages.push_back(mark == std::string::npos ? line : line.substr(mark + 2));
    }
    return messages;
}

}  // namespace

std::vector<std::string> RunResult::commands(size_t server) const {
    std::vector<std::string> texts;
    if (server < journal.size()) {
        for (const JournalEntry& e : journal[server]) {
            texts.push_back(e.command);
        }
    }
    return texts;
}

namespace {

TempDir MachineFolder(const std::string& folder) {
    if (folder.empty()) {
        return TempDir();
    }
    return TempDir(folder);
}

}  // namespace

TestMachine::TestMachine(const MachineOptions& options)
    : m_dir(MachineFolder(options.folder)), m_options(options) {
    Check(options.servers >= 1 && options.servers <= 3, "one to three servers");
    Check(!options.severalOwners || geteuid() == 0, "several owners need the superuser");
    MakeDirs(programDir());
    MakeDirs(root() + "/etc");
    for (int build : options.builds) {
        AddVersionFolder(build);
    }
    if (options.latest != 0) {
        PointLatestAt(versionDir(options.latest) + "/");
    }
    for (int i = 0; i < options.servers; ++i) {
        MakeServer(static_cast<size_t>(i));
    }
    WriteRegistry();
    if (options.startServers) {
        for (size_t i = 0; i < m_servers.size(); ++i) {
            StartServer(i);
            for (const std::string& task : options.tasks) {
                StartTask(i, task);
            }
        }
    }
}

TestMachine::~TestMachine() {
    if (m_options.keep) {
        m_guard.release();
        m_dir.keep();
    }
}

std::string TestMachine::productRoot() const {
    return root() + "/opt/varnel/ORV";
}
std::string TestMachine::programDir() const {
    return productRoot() + "/program";
}
std::string TestMachine::versionDir(int build) const {
    return programDir() + "/V3.0.0." + std::to_string(build);
}
std::string TestMachine::hotfixDir(int build) const {
    return productRoot() + "/hotfix/B" + std::to_string(build);
}
std::string TestMachine::packageParent() const {
    return root() + "/package";
}
std::string TestMachine::packageDir() const {
    return packageParent() + "/FileGroup1";
}
std::string TestMachine::logPath() const {
    return productRoot() + "/orvspins.log";
}
std::string TestMachine::stagingDir(int build) const {
    return programDir() + "/.orvpatch-staging-B" + std::to_string(build) + ".tmp";
}

std::string TestMachine::ProductContent(const std::string& name, int build) {
    return name + " of build " + std::to_string(build) + "\n";
}
std::string TestMachine::PackageContent(const std::string& name, int build) {
    return name + " of hot fix " + std::to_string(build) + "\n";
}

void TestMachine::AddVersionFolder(int build) {
    std::string dir = versionDir(build);
    MakeDirs(dir);
    WriteExecutable(dir + "/loader", ProductContent("loader", build));
    WriteFile(dir + "/liborvext.so", ProductContent("liborvext.so", build));
    for (const char* lib : kLibraryNames) {
        WriteFile(dir + "/" + lib, ProductContent(lib, build));
    }
    WriteFile(dir + "/sub/data.txt", ProductContent("sub/data.txt", build));
}

void TestMachine::PointLatestAt(const std::string& target) {
    std::string link = programDir() + "/latest";
    ::unlink(link.c_str());
    Check(symlink(target.c_str(), link.c_str()) == 0, "symlink " + link);
}

void TestMachine::MakeServer(size_t index) {
    Server s;
    std::string base = root() + "/domino" + std::to_string(index);
    s.dataDir = base + "/data";
    s.programDir = base + "/bin";
    s.notesIni = s.dataDir + "/notes.ini";
    s.owner = m_options.severalOwners ? kServerOwners[index] : geteuid();

    InstallServerExecutable(s.programDir);
    int build = m_options.latest != 0 ? m_options.latest : 0;
    WriteFile(s.programDir + "/liborvext.so", ProductContent("liborvext.so", build));
    for (const char* task : kTaskNames) {
        WriteExecutable(s.programDir + "/" + task, ProductContent("loader", build));
    }
    MakeDirs(s.dataDir + "/orvtemp");
    WriteFile(s.notesIni,
              "[Notes]\n"
              "Directory=" +
                  s.dataDir +
                  "\n"
                  "KitType=1\n"
                  "NotesProgram=" +
                  s.programDir +
                  "\n"
                  "ServerTasks=Update,Replica,kvmscan,Router,AMgr\n");
    if (m_options.severalOwners) {
        ChownTree(s.dataDir, s.owner, static_cast<gid_t>(s.owner));
    }
    m_guard.watch(s.dataDir);
    m_servers.push_back(s);
}

void TestMachine::WriteRegistry() {
    std::string text = "[ORVConf]\n";
    text += "DomSvrIORVCount=" + std::to_string(m_servers.size()) + "\n";
    text += "ProductPath=" + productRoot() + "\n";
    text += "ProductVersion=3.0.0." +
            std::to_string(m_options.builds.empty() ? 0 : m_options.builds.front()) + "\n";
    for (size_t i = 0; i < m_servers.size(); ++i) {
        std::string n = std::to_string(i);
        text += "[DomSvr" + n + "]\n";
        text += "DomSvr" + n + "DataPath=" + m_servers[i].dataDir + "\n";
        text += "DomSvr" + n + "NotesIniPath=" + m_servers[i].notesIni + "\n";
        text += "DomSvr" + n + "DominoBinPath=" + m_servers[i].programDir + "\n";
    }
    WriteFile(root() + "/etc/orvsys.ini", text);
}

void TestMachine::StartServer(size_t server) {
    testsupport::StartServer(m_servers.at(server).dataDir);
}

void TestMachine::StartTask(size_t server, const std::string& task) {
    testsupport::StartTask(m_servers.at(server).dataDir, task);
}

bool TestMachine::TaskRunning(size_t server, const std::string& task) const {
    return testsupport::TaskRunning(m_servers.at(server).dataDir, task);
}

void TestMachine::WritePackage(const Package& package) {
    RemoveTree(packageDir());
    MakeDirs(packageDir());
    std::string files;
    for (size_t i = 0; i < package.files.size(); ++i) {
        const std::string& name = package.files[i];
        files += (i == 0 ? "" : ",") + name;
        bool absent = false;
        for (const std::string& a : package.absent) {
            absent = absent || a == name;
        }
        bool inside = !name.empty() && name[0] != '/' && name.find("..") == std::string::npos;
        if (!absent && inside) {
            WriteFile(packageDir() + "/" + name, PackageContent(name, package.build));
        }
    }
    if (package.settings) {
        WriteFile(packageDir() + "/orvpatch.ini",
                  "[Config]\n"
                  "Files=" +
                      files +
                      "\n"
                      "BuildNumber=" +
                      std::to_string(package.build) +
                      "\n"
                      "Databases=names.nsf\n"
                      "CreateNewFolder=" +
                      package.createNewFolder +
                      "\n"
                      "DepentBuild=" +
                      std::to_string(package.depentBuild) +
                      "\n"
                      "UpdateLoader=" +
                      std::to_string(package.updateLoader) + "\n");
    }
    if (package.readme) {
        WriteFile(packageDir() + "/readme_orv3_solaris.txt",
                  PackageContent("readme_orv3_solaris.txt", package.build));
    }
}

RunResult TestMachine::Run(const std::vector<std::string>& args) {
    RunOptions options;
    options.args = args;
    return Run(options);
}

RunResult TestMachine::Run(const RunOptions& how) {
    RunResult result;
    size_t logBefore = LogMessages().size();
    std::vector<size_t> journalBefore;
    for (const Server& s : m_servers) {
        journalBefore.push_back(ReadJournal(s.dataDir).size());
    }
    if (how.asUser && !PathExists(logPath())) {
        // The log folder belongs to the superuser; an unprivileged run still
        // writes its lines into a file anyone may write.
        WriteFile(logPath(), "");
        chmod(logPath().c_str(), 0666);
    }

    std::string program = how.program.empty() ? std::string("orvpatch-testbed") : how.program;
    if (program[0] != '/') {
        program = std::string(ORVPATCH_BUILD_DIR) + "/" + program;
    }
    std::string dir = how.workDir.empty() ? packageParent() : how.workDir;
    std::vector<std::string> env = {
        "ORVPATCH_TESTBED=" + root(),
        "ORVPATCH_TESTBED_SECOND_MS=" + std::to_string(m_options.secondMillis)};
    ProgramOptions options;
    options.workDir = dir;
    options.env = env;
    options.asUser = how.asUser;
    options.uid = how.uid;
    options.gid = how.gid;
    options.timeoutSeconds = how.timeoutSeconds;
    options.callerContext = how.callerContext;
    ProgramResult run = RunProgram(program, how.args, options);
    result.exitStatus = run.exitStatus;
    result.timedOut = run.timedOut;
    result.out = run.out;
    result.err = run.err;

    std::vector<std::string> all = LogMessages();
    if (all.size() > logBefore) {
        result.log.assign(all.begin() + static_cast<long>(logBefore), all.end());
    }
    for (size_t i = 0; i < m_servers.size(); ++i) {
        std::vector<JournalEntry> entries = ReadJournal(m_servers[i].dataDir);
        if (entries.size() > journalBefore[i]) {
            entries.erase(entries.begin(), entries.begin() + static_cast<long>(journalBefore[i]));
        } else {
            entries.clear();
        }
        result.journal.push_back(entries);
    }
    return result;
}

std::vector<std::string> TestMachine::LogMessages() const {
    return ReadMessages(logPath());
}

std::string TestMachine::LatestTarget() const {
    return LinkTarget(programDir() + "/latest");
}

bool TestMachine::KvmscanRegistered(size_t server) const {
    return ReadFile(m_servers.at(server).notesIni).find("kvmscan") != std::string::npos;
}

int HoldRunLock(const TestMachine& machine) {
    const std::string path = machine.productRoot() + "/.orvpatch-lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? fd : -1;
}

MachineOptions Quiet(int servers) {
    MachineOptions o;
    o.servers = servers;
    o.startServers = false;
    return o;
}

Package InPlacePackage() {
    Package p;
    p.createNewFolder = "0";
    return p;
}

std::vector<std::string> ExtensionBackups(const std::string& programDir) {
    const std::string prefix = "liborvext.so_";
    std::vector<std::string> backups;
    for (const std::string& name : FolderNames(programDir)) {
        if (name.compare(0, prefix.size(), prefix) == 0) {
            backups.push_back(name);
        }
    }
    return backups;
}

std::string Listing(const std::vector<std::string>& log) {
    std::string text;
    for (const std::string& line : log) {
        text += "  " + line + "\n";
    }
    return text;
}

int FindMessage(const std::vector<std::string>& log, const std::string& text, size_t from) {
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i] == text) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool InOrder(const std::vector<std::string>& log, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const std::string& text : texts) {
        int at = FindMessage(log, text, from);
        if (at < 0) {
            return false;
        }
        from = static_cast<size_t>(at) + 1;
    }
    return true;
}

int CountMessage(const std::vector<std::string>& log, const std::string& text) {
    int count = 0;
    for (const std::string& message : log) {
        count += message == text ? 1 : 0;
    }
    return count;
}

}  // namespace testsupport
