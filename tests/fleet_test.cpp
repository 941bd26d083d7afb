// The Ansible role and playbooks of deploy/ansible, run by the real
// ansible-playbook against five hosts that are test machines on this machine
// (each host's ORVPATCH_TESTBED its own machine). Hosts 1-3 are reached with
// the local connection as root; hosts 4 and 5 over OpenSSH, through an sshd
// of the test's own on 127.0.0.1, as an unprivileged login user who becomes
// root with sudo. Hosts 1-4 get a new-folder fix (host 2 as a package folder,
// the others as a tarball), host 5 an in-place fix as a tarball with its
// SHA-256. Each package carries the test build as orvpatch and orvpatch-check
// beside it; host 2 runs them, the others the build folder's orvpatch-testbed
// (host 1 also the build folder's check, as an installed one).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/DominoSim.h"
#include "support/RunProgram.h"
#include "support/Signing.h"
#include "support/Snapshot.h"
#include "support/TempDir.h"
#include "support/TestMachine.h"

namespace {

using namespace testsupport;

const int kHosts = 5;
const std::string kBuild = ORVPATCH_BUILD_DIR;

// An executable of PATH, or "".
std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream parts(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(parts, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// Per host of the play's recap: "ok", "changed", "failed", ... -> count.
std::map<std::string, std::map<std::string, int>> Recap(const std::string& out) {
    std::map<std::string, std::map<std::string, int>> recap;
    std::string::size_type at = out.find("PLAY RECAP");
    std::istringstream lines(at == std::string::npos ? "" : out.substr(at));
    std::regex line("^(\\S+)\\s+:\\s+(.*)$");
    std::regex count("(\\w+)=(\\d+)");
    std::string text;
    std::smatch m;
    while (std::getline(lines, text)) {
        if (std::regex_match(text, m, line)) {
            std::string counts = m[2];
            std::string host = m[1];
            for (std::sregex_iterator it(counts.begin(), counts.end(), count), end; it != end;
                 ++it) {
                recap[host][(*it)[1]] = std::stoi((*it)[2]);
            }
        }
    }
    return recap;
}

// The state letter and the parent of a process ({"", 0} when there is none).
std::pair<std::string, pid_t> ProcessState(const std::string& pid) {
    std::string text = ReadFile("/proc/" + pid + "/stat");
    std::istringstream rest(text.empty() ? "" : text.substr(text.rfind(')') + 1));
    std::pair<std::string, pid_t> state{"", 0};
    rest >> state.first >> state.second;
    return state;
}

// An OpenSSH server of the test's own on 127.0.0.1 (own port, host key and
// configuration) and an unprivileged login user, who may become root with
// sudo and no password. The user and the sudoers entry carry the test
// process's id, so that runs side by side do not share them, and only what
// this run made is removed at the end; `unusable` tells why there is no
// server.
class SshServer {
  public:
    explicit SshServer(const std::string& dir)
        : user("orvfleet" + std::to_string(getpid())),
          m_dir(dir),
          m_sudoers("/etc/sudoers.d/orvpatch-fleet-test-" + std::to_string(getpid())) {
        unusable = Start();
    }
    ~SshServer() {
        if (m_pid > 0) {
            // The sessions (children of the listener) end with it.
            for (const std::string& pid : FolderNames("/proc")) {
                if (pid.find_first_not_of("0123456789") == std::string::npos &&
                    ProcessState(pid).second == m_pid) {
                    kill(std::stoi(pid), SIGTERM);
                }
            }
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_madeSudoers) {
            unlink(m_sudoers.c_str());
        }
        if (m_madeUser) {
            RunProgram("/usr/sbin/userdel", {"--remove", user});
        }
    }
    const std::string user;
    std::string unusable;
    int port = 0;
    std::string key() const { return m_dir + "/client_key"; }
    // The listener (the parent of every session) and the login user's keys.
    pid_t listener() const { return m_pid; }
    std::string authorizedKeys() const { return m_keys; }
    std::string knownHosts() const { return m_dir + "/known_hosts"; }

  private:
    std::string Start() {
        if (geteuid() != 0) {
            return "the SSH hosts need root (a login user, a sudoers entry, sshd)";
        }
        for (const char* tool : {"/usr/sbin/sshd", "/usr/bin/ssh-keygen", "/usr/bin/ssh",
                                 "/usr/bin/sudo", "/usr/sbin/useradd"}) {
            if (access(tool, X_OK) != 0) {
                return std::string(tool) + " is missing (apt-get install openssh-server sudo)";
            }
        }
        if (getpwnam(user.c_str()) != nullptr || PathExists(m_sudoers)) {
            return "user " + user + " or " + m_sudoers + " exists (left by a killed run?)";
        }
        m_madeUser = RunProgram("/usr/sbin/useradd",
                                {"--create-home", "--shell", "/bin/sh", "--password", "*", user})
                         .exitStatus == 0;
        if (!m_madeUser) {
            return "useradd " + user + " failed";
        }
        const struct passwd* account = getpwnam(user.c_str());
        MakeDirs(m_dir);
        chmod(m_dir.c_str(), 0700);
        for (const char* name : {"client_key", "host_key"}) {
            RunProgram("/usr/bin/ssh-keygen",
                       {"-q", "-t", "ed25519", "-N", "", "-f", m_dir + "/" + name});
        }
        std::string ssh = std::string(account->pw_dir) + "/.ssh";
        MakeDirs(ssh);
        m_keys = ssh + "/authorized_keys";
        WriteFile(m_keys, ReadFile(key() + ".pub"));
        for (const std::string& path : {ssh, ssh + "/authorized_keys"}) {
            if (chown(path.c_str(), account->pw_uid, account->pw_gid) != 0 ||
                chmod(path.c_str(), path == ssh ? 0700 : 0600) != 0) {
                return "cannot hand " + path + " to " + user;
            }
        }
        m_madeSudoers = true;
        WriteFile(m_sudoers, user + " ALL=(ALL) NOPASSWD: ALL\n");
        chmod(m_sudoers.c_str(), 0440);
        MakeDirs("/run/sshd");  // sshd's privilege separation folder
        port = FreePort();
        WriteFile(knownHosts(),
                  "[127.0.0.1]:" + std::to_string(port) + " " + ReadFile(m_dir + "/host_key.pub"));
        WriteFile(m_dir + "/sshd_config",
                  "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " + m_dir +
                      "/host_key\nPidFile none\nUsePAM no\nStrictModes yes\nAllowUsers " + user +
                      "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                      "PubkeyAuthentication yes\nSubsystem sftp internal-sftp\n");
        m_pid = fork();
        if (m_pid == 0) {
            execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", (m_dir + "/sshd_config").c_str(),
                  "-E", (m_dir + "/sshd.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once a login as the user works and sudo lets it become root.
        for (int attempt = 0; attempt < 50; ++attempt) {
            ProgramResult r = RunProgram(
                "/usr/bin/ssh", {"-i", key(), "-p", std::to_string(port), "-o",
                                 "UserKnownHostsFile=" + knownHosts(), "-o", "BatchMode=yes",
                                 user + "@127.0.0.1", "sudo", "-n", "true"});
            if (r.exitStatus == 0) {
                return "";
            }
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = 0;
                return "sshd did not start: " + ReadFile(m_dir + "/sshd.log");
            }
            if (attempt == 49) {
                return "no login over SSH with sudo: " + r.err;
            }
            usleep(100000);
        }
        return "";
    }
    static int FreePort() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        close(fd);
        return ntohs(address.sin_port);
    }

    std::string m_dir;
    std::string m_sudoers;
    std::string m_keys;
    pid_t m_pid = 0;
    bool m_madeUser = false;
    bool m_madeSudoers = false;
};

// A sudoers entry of the name earlier versions of this test used, as
// another run going on beside this one, or a killed one, leaves it. This run
// must leave it alone (should such a run replace it meanwhile, it is not
// looked at).
class OthersSudoers {
  public:
    OthersSudoers() : m_planted(!PathExists(kOld)) {
        if (m_planted) {
            WriteFile(kOld, kText);
            chmod(kOld, 0440);
        }
    }
    ~OthersSudoers() {
        if (m_planted) {
            EXPECT_TRUE(PathExists(kOld)) << "the clean-up removed " << kOld;
            if (ReadFile(kOld) == kText) {
                unlink(kOld);
            }
        }
    }

  private:
    static constexpr const char* kOld = "/etc/sudoers.d/orvpatch-fleet-test";
    static constexpr const char* kText = "# another run's entry\n";
    bool m_planted;
};

class Fleet {
  public:
    Fleet() {
        // Root runs what the role puts below here: no one else may write.
        chmod(m_dir.path().c_str(), 0755);
        MakeDirs(m_dir.sub("stage"));
        chmod(m_dir.sub("stage").c_str(), 0755);
        MakeDirs(m_dir.sub("collections/ansible_collections/varnel"));
        if (symlink(ORVPATCH_SOURCE_DIR "/deploy/ansible",
                    m_dir.sub("collections/ansible_collections/varnel/orvpatch").c_str()) != 0) {
            throw std::runtime_error("cannot link the collection");
        }
        for (int i = 1; i <= kHosts; ++i) {
            ProgramResult built = RunProgram(kBuild + "/fleethost", {"machine", root(i)});
            if (built.exitStatus != 0) {
                throw std::runtime_error("fleethost machine: " + built.err);
            }
            std::istringstream dataDirs(built.out);
            for (std::string dir; std::getline(dataDirs, dir);) {
                m_guard.watch(dir);
                m_dataDirs[i].push_back(dir);
            }
        }
        MakePackage("good", {"1240"});
        MakePackage("dependent", {"1240", "1230"});
        MakePackage("inplace", {"1240", "inplace"});
        MakePackage("nosettings", {"1240", "nosettings"});
        for (const char* name : {"good", "dependent", "inplace"}) {
            Must(RunProgram("/bin/tar",
                            {"-C", package(name), "-czf", package(name + std::string(".tgz")),
                             "orvpatch", "orvpatch-check", "FileGroup1"}),
                 "tar");
        }
        ProgramResult sum = RunProgram("/usr/bin/sha256sum", {package("inplace.tgz")});
        Must(sum, "sha256sum");
        m_tarballSha256 = sum.out.substr(0, 64);
    }

    std::string root(int host) const { return m_dir.sub("host" + std::to_string(host)); }
    std::string stage(int host) const { return m_dir.sub("stage/host" + std::to_string(host)); }
    std::string package(const std::string& name) const { return m_dir.sub("packages/" + name); }
    std::string logs(int host) const { return m_dir.sub("logs/host" + std::to_string(host)); }
    std::string program(int host) const { return root(host) + "/opt/varnel/ORV/program"; }
    const std::vector<std::string>& dataDirs(int host) { return m_dataDirs[host]; }

    std::string dir(const std::string& name) const { return m_dir.sub(name); }

    // The inventory: host i gets packages[i - 1] (a name below packages/)
    // and the host variables (YAML lines) of extra[i]. Hosts 4 and 5 are
    // reached over `ssh` when there is one.
    void WriteInventory(const std::vector<std::string>& packages,
                        std::map<int, std::string> extra = {}, const SshServer* ssh = nullptr) {
        std::string text =
            "orvpatch:\n  vars:\n    ansible_python_interpreter: /usr/bin/python3\n"
            "    orvpatch_poll: 1\n    orvpatch_fetch_folder: " +
            m_dir.sub("logs") + "\n  hosts:\n";
        for (int i = 1; i <= kHosts; ++i) {
            text += "    host" + std::to_string(i) + ":\n";
            if (ssh != nullptr && i >= 4) {
                text +=
                    "      ansible_host: 127.0.0.1\n      ansible_port: " +
                    std::to_string(ssh->port) + "\n      ansible_user: " + ssh->user +
                    "\n      ansible_ssh_private_key_file: " + ssh->key() +
                    "\n      ansible_ssh_common_args: -o UserKnownHostsFile=" + ssh->knownHosts() +
                    " -o StrictHostKeyChecking=yes\n" +
                    "      ansible_remote_tmp: ~/.ansible/tmp\n";
            } else {
                text += "      ansible_connection: local\n      orvpatch_become_method: su\n";
            }
            text += "      orvpatch_root: " + root(i) + "\n";
            text += "      orvpatch_remote_folder: " + stage(i) + "\n";
            text += "      orvpatch_package: " + package(packages[i - 1]) + "\n";
            text += "      orvpatch_environment: {ORVPATCH_TESTBED: " + root(i) +
                    ", ORVPATCH_TESTBED_SECOND_MS: '10'}\n";
            if (i == 1) {
                text += "      orvpatch_check_binary: " + kBuild + "/orvpatch-check\n";
            }
            if (i != 2) {
                text += "      orvpatch_binary: " + kBuild + "/orvpatch-testbed\n";
            }
            if (packages[i - 1] == "inplace.tgz") {
                text += "      orvpatch_package_sha256: " + m_tarballSha256 + "\n";
            }
            text += extra[i];
        }
        WriteFile(m_dir.sub("inventory.yml"), text);
    }

    // A stand-in for orvpatch, by default of the check's version so that the
    // role runs it: a shell script with `body`, where $log is the host's log.
    std::string Stub(const std::string& name, const std::string& body, std::string version = "") {
        if (version.empty()) {
            version = RunProgram(kBuild + "/orvpatch-check", {"--version"}).out;
            version = version.substr(version.rfind(' ') + 1);
        } else {
            version += "\n";
        }
        std::string path = m_dir.sub("stubs/" + name);
        WriteFile(path, "#!/bin/sh\n# @(#)orvpatch " + version +
                            "log=\"$ORVPATCH_TESTBED/opt/varnel/ORV/orvspins.log\"\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }

    // Runs a playbook of the collection (update, rollback, check) or, for a
    // module ("-m ..." in `extra`), the ad-hoc command on `playbook` hosts.
    ProgramResult Play(const std::string& playbook, std::vector<std::string> extra = {}) {
        bool adHoc = !extra.empty() && extra[0] == "-m";
        std::vector<std::string> args = {"-i", m_dir.sub("inventory.yml"),
                                         adHoc ? playbook : "varnel.orvpatch." + playbook};
        args.insert(args.end(), extra.begin(), extra.end());
        ProgramOptions options;
        options.workDir = m_dir.path();  // no ansible.cfg of the caller's
        options.timeoutSeconds = 900;
        options.env = {"ANSIBLE_NOCOLOR=1",
                       "ANSIBLE_RETRY_FILES_ENABLED=0",
                       "ANSIBLE_LOCAL_TEMP=" + m_dir.sub("ansible-local"),
                       "ANSIBLE_REMOTE_TEMP=" + m_dir.sub("ansible-remote"),
                       "ANSIBLE_PIPELINING=1",
                       "ANSIBLE_SHOW_CUSTOM_STATS=1",
                       "ANSIBLE_COLLECTIONS_PATH=" + m_dir.sub("collections"),
                       "ANSIBLE_CONFIG"};
        return RunProgram(FindInPath(adHoc ? "ansible" : "ansible-playbook"), args, options);
    }

    Snapshot Picture(int host) const {
        Snapshot s = TakeSnapshot(root(host));
        if (PathExists(stage(host))) {
            for (const auto& entry : TakeSnapshot(stage(host))) {
                s["[stage]/" + entry.first] = entry.second;
            }
        }
        return s;
    }

  private:
    static void Must(const ProgramResult& r, const std::string& what) {
        if (r.exitStatus != 0) {
            throw std::runtime_error(what + " failed: " + r.err);
        }
    }
    void MakePackage(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), {"package", package(name)});
        Must(RunProgram(kBuild + "/fleethost", args), "fleethost package " + name);
    }

    TempDir m_dir;  // declared first: removed after every simulator process has ended
    SimGuard m_guard;
    std::map<int, std::vector<std::string>> m_dataDirs;
    std::string m_tarballSha256;
};

std::string Output(const ProgramResult& r) {
    return "ansible-playbook exited with " + std::to_string(r.exitStatus) + ":\n" + r.out + r.err;
}

void ExpectOnNewBuild(Fleet& fleet, int host) {
    SCOPED_TRACE("host" + std::to_string(host));
    std::string program = fleet.program(host);
    if (host == 5) {
        EXPECT_EQ(ReadFile(program + "/V3.0.0.1234/libalpha.so"),
                  TestMachine::PackageContent("libalpha.so", 1240));
        EXPECT_TRUE(
            PathExists(fleet.root(host) + "/opt/varnel/ORV/hotfix/B1240/FileGroup1/orvpatch.ini"));
    } else {
        EXPECT_EQ(LinkTarget(program + "/latest"), program + "/V3.0.0.1240/");
        EXPECT_EQ(ReadFile(program + "/V3.0.0.1240/libalpha.so"),
                  TestMachine::PackageContent("libalpha.so", 1240));
    }
}

void ExpectOnOldBuild(Fleet& fleet, int host) {
    SCOPED_TRACE("host" + std::to_string(host));
    std::string program = fleet.program(host);
    EXPECT_EQ(LinkTarget(program + "/latest"), program + "/V3.0.0.1234/");
    EXPECT_FALSE(PathExists(program + "/V3.0.0.1240"));
    EXPECT_EQ(ReadFile(program + "/V3.0.0.1234/libalpha.so"),
              TestMachine::ProductContent("libalpha.so", 1234));
    EXPECT_FALSE(PathExists(fleet.root(host) + "/opt/varnel/ORV/hotfix/B1240/FileGroup1"));
}

// Every task the update's restart walk handles was quit and loaded again,
// and runs now.
void ExpectTasksRestarted(Fleet& fleet, int host) {
    for (const std::string& dataDir : fleet.dataDirs(host)) {
        SCOPED_TRACE("host" + std::to_string(host) + " " + dataDir);
        std::vector<std::string> commands = JournalCommands(dataDir);
        for (const char* task : {"orvemf", "orvsch", "orvreal", "orvmon"}) {
            EXPECT_TRUE(InOrder(commands,
                                {std::string("te ") + task + " quit", std::string("load ") + task}))
                << task;
            EXPECT_TRUE(TaskRunning(dataDir, task)) << task;
        }
    }
}

// The lines the last run of `mode` added, as kept on the controller.
std::string FetchedLog(Fleet& fleet, int host, const std::string& mode) {
    std::string text;
    for (const std::string& name : FolderNames(fleet.logs(host))) {
        if (name.rfind(mode + "-B1240-", 0) == 0) {
            text = ReadFile(fleet.logs(host) + "/" + name);
        }
    }
    return text;
}

bool Has(const ProgramResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

// Whether the host's machine and package folder are as in `before`.
void ExpectUntouched(Fleet& fleet, const std::vector<Snapshot>& before,
                     const std::vector<int>& hosts) {
    for (int i : hosts) {
        EXPECT_EQ(DiffSnapshots(before[i], fleet.Picture(i)), std::vector<std::string>())
            << "host" << i;
        EXPECT_FALSE(PathExists(fleet.stage(i))) << "host" << i;
    }
}

TEST(Fleet, CheckHaltResumeRepeatAndRollBack) {
    std::string ansible = FindInPath("ansible-playbook");
    if (ansible.empty()) {
        GTEST_SKIP() << "ansible-playbook is not installed (apt-get install ansible-core)";
    }
    if (access((kBuild + "/orvpatch-check").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "orvpatch-check is not built in " << kBuild;
    }
    Fleet fleet;
    OthersSudoers othersSudoers;
    SshServer ssh(fleet.dir("ssh"));
    if (!ssh.unusable.empty()) {
        GTEST_SKIP() << "no SSH hosts: " << ssh.unusable;
    }
    const std::vector<std::string> good = {"good.tgz", "good", "good.tgz", "good.tgz",
                                           "inplace.tgz"};
    const std::vector<std::string> dependent = {"good.tgz", "good", "dependent.tgz", "good.tgz",
                                                "inplace.tgz"};
    const std::string refusal =
        "orvpatch-check: the update would not pass on this host: The depent build isn't installed "
        "in the current server. (Current Build,1234:Depent Build,1230)";
    std::vector<Snapshot> before(kHosts + 1);
    for (int i = 1; i <= kHosts; ++i) {
        before[i] = fleet.Picture(i);
    }

    // Check only, with host 3 refused: every host is still assessed and
    // reported, nothing changes, and only host 3 fails, at the end. Under
    // --check --diff each host shows what would change.
    fleet.WriteInventory(dependent, {}, &ssh);
    for (const char* playbook : {"check", "update"}) {
        SCOPED_TRACE(playbook);
        ProgramResult checked =
            fleet.Play(playbook, {"--diff", playbook[0] == 'u' ? "--check" : "--forks=5"});
        EXPECT_NE(checked.exitStatus, 0) << Output(checked);
        auto recap = Recap(checked.out);
        for (int i = 1; i <= kHosts; ++i) {
            EXPECT_EQ(recap["host" + std::to_string(i)]["failed"], i == 3 ? 1 : 0) << i;
            EXPECT_EQ(recap["host" + std::to_string(i)]["changed"], i == 3 ? 0 : 1) << i;
        }
        EXPECT_TRUE(Has(checked, "host3: refused: " + refusal)) << Output(checked);
        EXPECT_TRUE(Has(checked, "host5: would patch: orvpatch would update build 1240"));
        EXPECT_TRUE(Has(checked, "+latest -> " + fleet.program(1) + "/V3.0.0.1240/"));
        EXPECT_TRUE(Has(checked, "+" + fleet.program(5) + "/V3.0.0.1234/libalpha.so sha256:"));
        EXPECT_TRUE(Has(checked, "\"would_patch\": 4"));
        ExpectUntouched(fleet, before, {1, 2, 3, 4, 5});
    }
    EXPECT_FALSE(PathExists(fleet.logs(1)));

    // Refused before anything on the product changes: a setting of the wrong
    // type, a tarball whose checksum is not the published one, a package
    // folder the login user may write, a package whose settings cannot be
    // read (not taken for a fix that is not installed and so has nothing to
    // roll back), a patcher of another release than the check; a time
    // setting out of range, on any host. Staging for a check only, into a
    // package folder holding what the role did not put there, one inside the
    // product, and a folder of the login user's, with a FIFO where the
    // package's tarball would be (it must not make root wait). Then a host
    // that cannot be reached halts the rollout like a failing one and counts
    // as unreachable.
    fleet.WriteInventory(good, {}, &ssh);
    const struct passwd* user = getpwnam(ssh.user.c_str());
    std::string older = fleet.Stub("older", "exit 0\n", "0.9.0");
    const std::string foreign = fleet.dir("foreign"), fifos = std::string(user->pw_dir) + "/fifos";
    WriteFile(foreign + "/important.db", "keep\n");
    MakeDirs(fifos);
    for (const std::string& path : {fifos, fifos + "/.orvpatch-package.tar"}) {
        ASSERT_TRUE(path == fifos || mkfifo(path.c_str(), 0600) == 0);
        ASSERT_EQ(chown(path.c_str(), user->pw_uid, user->pw_gid), 0);
    }
    const std::string linked = fleet.package("linked.tgz");
    ASSERT_EQ(
        RunProgram("/bin/sh",
                   {"-c", "mkdir " + fleet.package("linked") + " && cd " + fleet.package("linked") +
                              " && ln -s /etc/shadow orvpatch && tar -czf " + linked + " ."})
            .exitStatus,
        0);
    for (const auto& refused : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"update", "--limit", "host5", "-e", "orvpatch_timeout=30m"},
              "'orvpatch_timeout' is of type"},
             {{"update", "--limit", "host5", "-e",
               "orvpatch_package_sha256=" + std::string(64, 'a')},
              "its SHA-256 is not"},
             {{"update", "--limit", "host4", "-e",
               "orvpatch_remote_folder=" + std::string(user->pw_dir) + "/package"},
              "is not safe for root to run from: " + std::string(user->pw_dir) +
                  " belongs to user"},
             {{"rollback", "--limit", "host4", "-e",
               "orvpatch_package=" + fleet.package("nosettings"), "-e",
               "orvpatch_remote_folder=" + fleet.stage(0)},
              "FileGroup1/orvpatch.ini cannot be read"},
             {{"update", "--limit", "host4", "-e", "orvpatch_binary=" + older, "-e",
               "orvpatch_remote_folder=" + fleet.stage(0)},
              "(version 0.9.0) are not of the same release"},
             {{"update", "--limit", "host4", "-e", "orvpatch_package=" + linked, "-e",
               "orvpatch_remote_folder=" + fleet.stage(0)},
              "holds ./orvpatch, which is not a plain file or folder below its top"},
             {{"update", "--limit", "host4,host5", "-e", "orvpatch_poll=0", "-e",
               "orvpatch_kill_after=-1"},
              "host5: orvpatch_kill_after=-1 (whole seconds from 0 to 3600)"},
         }) {
        SCOPED_TRACE(refused.second);
        std::vector<std::string> args(refused.first.begin() + 1, refused.first.end());
        ProgramResult r = fleet.Play(refused.first[0], args);
        EXPECT_NE(r.exitStatus, 0) << Output(r);
        EXPECT_TRUE(Has(r, refused.second)) << Output(r);
        EXPECT_FALSE(PathExists(std::string(user->pw_dir) + "/package"));
        ExpectUntouched(fleet, before, {4, 5});
    }
    // A keys folder planted as a link (to a folder a user owns) is not
    // written through: the host fails before its check.
    const std::string keysLink = KeysFolder(fleet.root(5));
    const std::string usersKeys = fleet.dir("users-keys");
    MakeDirs(usersKeys);
    ASSERT_EQ(chown(usersKeys.c_str(), user->pw_uid, user->pw_gid), 0);
    MakeDirs(keysLink.substr(0, keysLink.rfind('/')));
    ASSERT_EQ(symlink(usersKeys.c_str(), keysLink.c_str()), 0);
    before[5] = fleet.Picture(5);  // with the link
    WriteFile(fleet.dir("planted.pub"), "untrusted comment: a key\n");
    ProgramResult linkedKeys = fleet.Play(
        "update", {"--limit", "host5", "-e", "orvpatch_remote_folder=" + fleet.stage(0), "-e",
                   R"({"orvpatch_signing_keys": [")" + fleet.dir("planted.pub") + "\"]}"});
    EXPECT_TRUE(Has(linkedKeys,
                    "host5: failed: staging and checking the package failed: the "
                    "package could not be staged or checked: the signing keys "
                    "could not be installed into " +
                        keysLink))
        << Output(linkedKeys);
    EXPECT_EQ(FolderNames(usersKeys), std::vector<std::string>());
    ExpectUntouched(fleet, before, {5});
    ASSERT_EQ(RunProgram("/bin/rm", {"-r", keysLink.substr(0, keysLink.rfind('/'))}).exitStatus, 0);
    before[5] = fleet.Picture(5);
    fleet.WriteInventory(
        good,
        {{1, "      orvpatch_remote_folder: " + foreign + "\n"},
         {4, "      orvpatch_remote_folder: " + fifos + "\n"},
         {5, "      orvpatch_remote_folder: " + fleet.root(5) + "/opt/varnel/ORV\n"}},
        &ssh);
    auto stagingStart = std::chrono::steady_clock::now();
    ProgramResult staging = fleet.Play("update", {"--tags", "check", "--limit", "host1,host4,host5",
                                                  "-e", R"({"orvpatch_serial": ["100%"]})"});
    EXPECT_LT(std::chrono::steady_clock::now() - stagingStart, std::chrono::seconds(120));
    EXPECT_NE(staging.exitStatus, 0) << Output(staging);
    for (const std::string& reason :
         {"host1: refused: the package folder " + foreign +
              " holds files the role did not put there (important.db)",
          "host4: refused: the package folder " + fifos +
              " is not safe for root to run from: " + user->pw_dir + " belongs to user",
          "host5: refused: the package folder " + fleet.root(5) + "/opt/varnel/ORV is inside"}) {
        EXPECT_TRUE(Has(staging, reason)) << reason << "\n" << Output(staging);
    }
    EXPECT_EQ(FolderNames(foreign), std::vector<std::string>{"important.db"});
    ExpectUntouched(fleet, before, {1, 4, 5});
    fleet.WriteInventory(good, {}, &ssh);
    // The module alone under --check changes nothing either.
    ProgramResult alone = fleet.Play(
        "host1", {"-m", "varnel.orvpatch.orvpatch_assess", "--check", "-a",
                  R"({"package": ")" + fleet.package("good") + R"(", "files": [], "folder": ")" +
                      foreign + R"(", "mode": "update"})"});
    EXPECT_TRUE(Has(alone, "\"changed\": false")) << Output(alone);
    EXPECT_EQ(FolderNames(foreign), std::vector<std::string>{"important.db"}) << Output(alone);
    fleet.WriteInventory(good, {{4, "      ansible_port: 1\n"}}, &ssh);
    ProgramResult unreachable =
        fleet.Play("update", {"--limit", "host4,host5", "-e", R"({"orvpatch_serial": [1]})"});
    EXPECT_NE(unreachable.exitStatus, 0) << Output(unreachable);
    EXPECT_TRUE(Has(unreachable,
                    "host4: failed: staging and checking the package failed "
                    "(the host cannot be reached)"))
        << Output(unreachable);
    EXPECT_TRUE(Has(unreachable, "host5: not reached"));
    EXPECT_EQ(Recap(unreachable.out)["host4"]["unreachable"], 1) << Output(unreachable);
    ExpectUntouched(fleet, before, {4, 5});

    // Batches of two ({1}, {2, 3}, {4, 5}), host 3 refused: its batch stops
    // before host 2 is patched, and hosts 4 and 5 are never touched.
    fleet.WriteInventory(dependent, {}, &ssh);
    ProgramResult halted = fleet.Play("update", {"-e", R"({"orvpatch_serial": [1, 2]})"});
    EXPECT_NE(halted.exitStatus, 0) << Output(halted);
    EXPECT_TRUE(Has(halted, "host3: refused: " + refusal)) << Output(halted);
    EXPECT_TRUE(Has(halted, "host2: stopped: not run: another host of its batch failed"));
    EXPECT_TRUE(Has(halted, "\"not_reached\": 2"));
    ExpectOnNewBuild(fleet, 1);
    EXPECT_EQ(Recap(halted.out)["host1"]["changed"], 1) << Output(halted);
    EXPECT_EQ(DiffSnapshots(before[3], TakeSnapshot(fleet.root(3))), std::vector<std::string>());
    EXPECT_EQ(LinkTarget(fleet.program(2) + "/latest"), fleet.program(2) + "/V3.0.0.1234/");
    ExpectUntouched(fleet, before, {4, 5});

    // Batches of two, host 2's orvpatch ends 0 having done nothing, host 3's
    // patches the host and then fails with 212: both fail, host 2 as not
    // patched (the check, asked again, does not see the fix), host 3 with
    // the verdict and the lines it logged (kept on the controller too) and
    // counted as changed; hosts 4 and 5 are never touched.
    std::string idle = fleet.Stub("idle", "exit 0\n");
    std::string failing = fleet.Stub("failing", kBuild + R"(/orvpatch-testbed > /dev/null
echo "[test]:Error: the stand-in gives up" >> "$log"
echo "...Incomplete installation"
exit 212
)");
    fleet.WriteInventory(good,
                         {{2, "      orvpatch_binary: " + idle + "\n"},
                          {3, "      orvpatch_binary: " + failing + "\n"}},
                         &ssh);
    ProgramResult failed = fleet.Play("update", {"-e", R"({"orvpatch_serial": [1, 2]})"});
    EXPECT_NE(failed.exitStatus, 0) << Output(failed);
    EXPECT_TRUE(Has(failed,
                    "host3: failed: orvpatch update failed with exit status 212: "
                    "Incomplete installation"))
        << Output(failed);
    EXPECT_TRUE(Has(failed, "host2: failed: the patcher ended 0 but the host is not patched"));
    EXPECT_TRUE(Has(failed, "[test]:Error: the stand-in gives up"));
    EXPECT_TRUE(Has(failed, "host1: already installed"));
    EXPECT_EQ(Recap(failed.out)["host2"]["changed"], 0) << Output(failed);
    EXPECT_EQ(Recap(failed.out)["host3"]["changed"], 1) << Output(failed);
    EXPECT_NE(FetchedLog(fleet, 3, "update").find("the stand-in gives up"), std::string::npos);
    ExpectOnNewBuild(fleet, 3);
    EXPECT_EQ(LinkTarget(fleet.program(2) + "/latest"), fleet.program(2) + "/V3.0.0.1234/");
    ExpectUntouched(fleet, before, {4, 5});

    // Host 4's orvpatch ignores SIGTERM and outlives orvpatch_timeout: its
    // process group is killed, nothing of it is left running, its log lines
    // are kept, and the rollout halts before host 5.
    std::string stubborn = fleet.Stub("stubborn", R"(trap '' TERM
echo "[test]:the stand-in waits" >> "$log"
sleep 300 &
echo $$ $! > "$ORVPATCH_TESTBED/stand-in.pids"
wait
)");
    fleet.WriteInventory(good,
                         {{4, "      orvpatch_binary: " + stubborn +
                                  "\n      orvpatch_timeout: 2\n      orvpatch_kill_after: 2\n"}},
                         &ssh);
    auto start = std::chrono::steady_clock::now();
    ProgramResult timedOut =
        fleet.Play("update", {"--limit", "host3,host4,host5", "-e", R"({"orvpatch_serial": [2]})"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));
    EXPECT_NE(timedOut.exitStatus, 0) << Output(timedOut);
    EXPECT_TRUE(Has(timedOut,
                    "host4: failed: orvpatch update did not end within 2 s and was "
                    "ended with SIGKILL"))
        << Output(timedOut);
    std::istringstream pids(ReadFile(fleet.root(4) + "/stand-in.pids"));
    int pid = 0;
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(pids >> pid) << Output(timedOut);
        std::string state = ProcessState(std::to_string(pid)).first;
        EXPECT_TRUE(state.empty() || state == "Z") << "process " << pid << " still runs";
    }
    EXPECT_NE(FetchedLog(fleet, 4, "update").find("the stand-in waits"), std::string::npos);
    ExpectOnNewBuild(fleet, 3);
    ExpectUntouched(fleet, before, {5});

    // Resumed with good packages (--tags patch still checks first): the hosts
    // that have the fix are "already installed" and unchanged, the others are
    // patched, and only the run counts as a change; every log is on the
    // controller, and each package was looked at once, not once per batch.
    // While host 4's run goes on, SSH is out for a few seconds (the sessions
    // end and logins are refused): the looks at the run are tried again and
    // the host is patched.
    std::string outage = fleet.Stub("outage", "sleep 2\nkeys=" + ssh.authorizedKeys() +
                                                  R"(
mv "$keys" "$keys.off"
for stat in /proc/[0-9]*/stat; do
    read -r pid _ _ ppid _ < "$stat" 2>/dev/null || continue
    [ "$ppid" = ")" + std::to_string(ssh.listener()) +
                                                  R"(" ] && kill "$pid"
done
sleep 4
mv "$keys.off" "$keys"
exec )" + kBuild + "/orvpatch-testbed \"$@\"\n");
    fleet.WriteInventory(good, {{4, "      orvpatch_binary: " + outage + "\n"}}, &ssh);
    ProgramResult resumed =
        fleet.Play("update", {"--tags", "patch", "-e", R"({"orvpatch_serial": [1, "50%"]})"});
    ASSERT_EQ(resumed.exitStatus, 0) << Output(resumed);
    auto recap = Recap(resumed.out);
    for (int i = 1; i <= kHosts; ++i) {
        std::string host = "host" + std::to_string(i);
        EXPECT_EQ(recap[host]["failed"], 0) << host;
        EXPECT_EQ(recap[host]["changed"], i == 1 || i == 3 ? 0 : 1) << host;
        ExpectOnNewBuild(fleet, i);
        ExpectTasksRestarted(fleet, i);
        EXPECT_NE(FetchedLog(fleet, i, "update").find("Update ORV successfully"), std::string::npos)
            << host;
    }
    EXPECT_TRUE(Has(resumed, "\"already_installed\": 2") && Has(resumed, "\"patched\": 3"))
        << Output(resumed);
    EXPECT_TRUE(Has(resumed, "host4: patched: build 1240 (")) << Output(resumed);
    std::string looked = "(item=" + fleet.package("good.tgz") + ")";
    size_t once = resumed.out.find(looked);
    EXPECT_TRUE(once != std::string::npos && once == resumed.out.rfind(looked)) << Output(resumed);

    // No second run starts while the record shows one going on; a look at a
    // run whose process is gone without a result says so at once.
    auto startRun = [&](const std::string& stub) {
        return fleet.Play("host2", {"-m", "varnel.orvpatch.orvpatch_run", "-a",
                                    R"({"argv": [")" + stub +
                                        R"("], "chdir": "/", "log": "/dev/null", "timeout": 30,
                                        "folder": ")" +
                                        fleet.stage(2) + R"(", "wait": 0})"});
    };
    auto follow = [&](const std::string& jid) {
        return fleet.Play("host2", {"-m", "varnel.orvpatch.orvpatch_wait", "-a",
                                    R"({"jid": ")" + jid + R"(", "folder": ")" + fleet.stage(2) +
                                        R"(", "seconds": 60, "poll": 1})"});
    };
    std::string slow = fleet.Stub("slow", "sleep 4\n");
    ProgramResult going = startRun(slow);
    std::smatch jid;
    ASSERT_TRUE(std::regex_search(going.out, jid, std::regex("\"jid\": \"([0-9.]+)\"")))
        << Output(going);
    EXPECT_TRUE(Has(startRun(slow), "still goes on (process ")) << Output(going);
    EXPECT_TRUE(Has(follow(jid[1]), "\"finished\": 1")) << Output(going);
    WriteFile(fleet.stage(2) + "/.orvpatch-run.json",
              R"({"jid": "7.7", "started": 1, "finished": 0, "pid": 999999999})");
    auto lookStart = std::chrono::steady_clock::now();
    EXPECT_TRUE(Has(follow("7.7"), "is gone without leaving its result"));
    EXPECT_LT(std::chrono::steady_clock::now() - lookStart, std::chrono::seconds(30));
    ASSERT_EQ(unlink((fleet.stage(2) + "/.orvpatch-run.json").c_str()), 0);

    // A run whose end the controller never learned (nothing looked at it
    // again): the next run of the role keeps its log lines and says so.
    const std::string log2 = fleet.root(2) + "/opt/varnel/ORV/orvspins.log";
    std::string unseen =
        fleet.Stub("unseen", "sleep 0.3\necho '[test]:a run nobody waited for' >> " + log2 + "\n");
    ProgramResult started =
        fleet.Play("host2", {"-m", "varnel.orvpatch.orvpatch_run", "-a",
                             R"({"argv": [")" + unseen + R"("], "chdir": "/", "log": ")" + log2 +
                                 R"(", "timeout": 30, "folder": ")" + fleet.stage(2) +
                                 R"(", "wait": 0, "log_name": "unseen.log"})"});
    EXPECT_TRUE(Has(started, "\"finished\": 0")) << Output(started);

    // The same rollout again, under --check, and with only the tags of the
    // logs, changes nothing anywhere and reports no change; no host is "not
    // reached" when no step tried to reach it.
    fleet.WriteInventory(good, {}, &ssh);
    for (int i = 1; i <= kHosts; ++i) {
        before[i] = fleet.Picture(i);
    }
    for (const char* check : {"--diff", "--check", "--tags=logs"}) {
        ProgramResult repeated = fleet.Play("update", {check});
        ASSERT_EQ(repeated.exitStatus, 0) << Output(repeated);
        if (std::string(check) == "--diff") {
            EXPECT_TRUE(Has(repeated,
                            "[an earlier run, whose end was not learned, ended with exit "
                            "status 0; its log lines: " +
                                fleet.logs(2) + "/unseen.log]"))
                << Output(repeated);
            EXPECT_NE(ReadFile(fleet.logs(2) + "/unseen.log").find("a run nobody waited for"),
                      std::string::npos);
            before[2] = fleet.Picture(2);  // that run's record is gone, and its line logged
        }
        EXPECT_FALSE(Has(repeated, "not reached")) << Output(repeated);
        recap = Recap(repeated.out);
        for (int i = 1; i <= kHosts; ++i) {
            std::string host = "host" + std::to_string(i);
            EXPECT_EQ(recap[host]["changed"], 0) << check << " " << host;
            EXPECT_EQ(recap[host]["failed"], 0) << check << " " << host;
            EXPECT_EQ(DiffSnapshots(before[i], fleet.Picture(i)), std::vector<std::string>())
                << host;
        }
    }

    // The rollback brings every host back, the in-place one from its saved files.
    ProgramResult rolledBack = fleet.Play("rollback", {"-e", R"({"orvpatch_serial": [1, "50%"]})"});
    ASSERT_EQ(rolledBack.exitStatus, 0) << Output(rolledBack);
    for (int i = 1; i <= kHosts; ++i) {
        ExpectOnOldBuild(fleet, i);
        EXPECT_FALSE(FetchedLog(fleet, i, "rollback").empty()) << "host" << i;
        for (const std::string& dataDir : fleet.dataDirs(i)) {
            EXPECT_TRUE(TaskRunning(dataDir, "orvreal")) << "host" << i;
        }
    }
    // Signing keys set: hosts 1 and 2 get the key and install a signed
    // package, shown as verified. Then check.yml refuses the unsigned package
    // (which the check alone would call installed already), and shows what
    // --verify finds: host 1's installed library was altered.
    if (CanSign()) {
        const std::string signed_ = fleet.package("signed");
        ASSERT_EQ(RunProgram(kBuild + "/fleethost", {"package", signed_, "1240"}).exitStatus, 0);
        const KeyPair vendor = MakeKeyPair(fleet.dir("vendor"), "vendor");
        SignFolder(signed_ + "/FileGroup1", vendor.sec);
        fleet.WriteInventory(good, {}, &ssh);
        const std::string keys = R"({"orvpatch_signing_keys": [")" + vendor.pub + R"("], )";
        ProgramResult installed = fleet.Play(
            "update",
            {"--limit", "host1,host2", "-e", keys + R"("orvpatch_package": ")" + signed_ + "\"}"});
        ASSERT_EQ(installed.exitStatus, 0) << Output(installed);
        for (int i : {1, 2}) {
            ExpectOnNewBuild(fleet, i);
            EXPECT_TRUE(
                Has(installed, "host" + std::to_string(i) +
                                   ": patched: build 1240 [signature verified, key vendor.pub"))
                << Output(installed);
            struct stat key, folder;
            ASSERT_EQ(stat(KeysFolder(fleet.root(i)).c_str(), &folder), 0);
            ASSERT_EQ(stat((KeysFolder(fleet.root(i)) + "/vendor.pub").c_str(), &key), 0);
            EXPECT_EQ(folder.st_mode & 07777, 0755u);
            EXPECT_EQ(key.st_mode & 07777, 0644u);
            EXPECT_EQ(key.st_uid, 0u);
        }
        WriteFile(fleet.program(1) + "/V3.0.0.1240/libalpha.so", "altered\n");
        ProgramResult unsigned_ = fleet.Play(
            "check", {"--limit", "host1,host2", "-e",
                      keys + R"("orvpatch_package": ")" + fleet.package("good") + "\"}"});
        EXPECT_NE(unsigned_.exitStatus, 0) << Output(unsigned_);
        for (const std::string& line : std::vector<std::string>{
                 "host1: refused: the package is not signed by a trusted key, and signing keys are "
                 "set: the check finds its signature bad [signature bad: (",
                 "[verify: 1 finding(s): ?.5?...?? " + fleet.program(1) +
                     "/V3.0.0.1240/libalpha.so]",
                 "[verify: clean]"}) {
            EXPECT_TRUE(Has(unsigned_, line)) << line << "\n" << Output(unsigned_);
        }
    }

    // An orvpatch that ends 0 having only made the product look patched (a
    // copy of the old version folder under the new build's name, pointed at
    // by latest) is not taken for patched: the ledger does not list the fix.
    std::string faker = fleet.Stub("faker", R"(cd "$ORVPATCH_TESTBED/opt/varnel/ORV/program"
cp -a V3.0.0.1234 V3.0.0.1240 && ln -sfn "$PWD/V3.0.0.1240/" latest
)");
    fleet.WriteInventory(good, {{3, "      orvpatch_binary: " + faker + "\n"}}, &ssh);
    ProgramResult faked = fleet.Play("update", {"--limit", "host3"});
    EXPECT_NE(faked.exitStatus, 0) << Output(faked);
    EXPECT_TRUE(Has(faked, "host3: failed: the patcher ended 0 but the host is not patched"))
        << Output(faked);

    // Every run's record, even that of the run ended at its time limit, was
    // removed once its result had reached the controller.
    for (int i = 1; i <= kHosts; ++i) {
        EXPECT_FALSE(PathExists(fleet.stage(i) + "/.orvpatch-run.json")) << "host" << i;
    }
}

}  // namespace
