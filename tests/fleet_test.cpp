// The Ansible role and playbooks of deploy/ansible, run by the real
// ansible-playbook against five hosts that are test machines on this machine
// (ansible_connection=local, each host's ORVPATCH_TESTBED its own machine).
// Hosts 1-4 get a new-folder fix (host 2 as a package folder, the others as a
// tarball), host 5 an in-place fix as a tarball with its SHA-256; host 2 runs
// the package's own orvpatch, the others the test build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/DominoSim.h"
#include "support/RunProgram.h"
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

class Fleet {
  public:
    Fleet() {
        MakeDirs(m_dir.sub("stage"));
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
                             "orvpatch", "FileGroup1"}),
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

    // The inventory: host i gets packages[i - 1] (a name below packages/).
    void WriteInventory(const std::vector<std::string>& packages) {
        std::string text =
            "orvpatch:\n"
            "  vars:\n"
            "    ansible_connection: local\n"
            "    ansible_python_interpreter: /usr/bin/python3\n"
            "    orvpatch_become_method: su\n"
            "    orvpatch_check_binary: " +
            kBuild + "/orvpatch-check\n    orvpatch_fetch_folder: " + m_dir.sub("logs") +
            "\n  hosts:\n";
        for (int i = 1; i <= kHosts; ++i) {
            text += "    host" + std::to_string(i) + ":\n";
            text += "      orvpatch_root: " + root(i) + "\n";
            text += "      orvpatch_remote_folder: " + stage(i) + "\n";
            text += "      orvpatch_package: " + package(packages[i - 1]) + "\n";
            text += "      orvpatch_environment: {ORVPATCH_TESTBED: " + root(i) +
                    ", ORVPATCH_TESTBED_SECOND_MS: '10'}\n";
            if (i != 2) {
                text += "      orvpatch_binary: " + kBuild + "/orvpatch-testbed\n";
            }
            if (packages[i - 1] == "inplace.tgz") {
                text += "      orvpatch_package_sha256: " + m_tarballSha256 + "\n";
            }
        }
        WriteFile(m_dir.sub("inventory.yml"), text);
    }

    ProgramResult Play(const std::string& playbook, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "-i", m_dir.sub("inventory.yml"),
            std::string(ORVPATCH_SOURCE_DIR) + "/deploy/ansible/" + playbook};
        args.insert(args.end(), extra.begin(), extra.end());
        ProgramOptions options;
        options.workDir = m_dir.path();  // no ansible.cfg of the caller's
        options.timeoutSeconds = 900;
        options.env = {"ANSIBLE_NOCOLOR=1",
                       "ANSIBLE_RETRY_FILES_ENABLED=0",
                       "ANSIBLE_LOCAL_TEMP=" + m_dir.sub("ansible-local"),
                       "ANSIBLE_REMOTE_TEMP=" + m_dir.sub("ansible-remote"),
                       "ANSIBLE_PIPELINING=1",
                       "ANSIBLE_CONFIG"};
        return RunProgram(FindInPath("ansible-playbook"), args, options);
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

TEST(Fleet, CheckHaltResumeRepeatAndRollBack) {
    std::string ansible = FindInPath("ansible-playbook");
    if (ansible.empty()) {
        GTEST_SKIP() << "ansible-playbook is not installed (apt-get install ansible-core)";
    }
    if (access((kBuild + "/orvpatch-check").c_str(), X_OK) != 0) {
        GTEST_SKIP() << "orvpatch-check is not built in " << kBuild;
    }
    Fleet fleet;
    const std::vector<std::string> good = {"good.tgz", "good", "good.tgz", "good.tgz",
                                           "inplace.tgz"};
    std::vector<Snapshot> before(kHosts + 1);

    // --check: every host reports what would change, and nothing changes.
    fleet.WriteInventory(good);
    for (int i = 1; i <= kHosts; ++i) {
        before[i] = fleet.Picture(i);
    }
    ProgramResult checked = fleet.Play("update.yml", {"--check"});
    ASSERT_EQ(checked.exitStatus, 0) << Output(checked);
    auto recap = Recap(checked.out);
    for (int i = 1; i <= kHosts; ++i) {
        std::string host = "host" + std::to_string(i);
        EXPECT_EQ(recap[host]["failed"], 0) << host;
        EXPECT_GE(recap[host]["changed"], 1) << host;
        EXPECT_EQ(DiffSnapshots(before[i], fleet.Picture(i)), std::vector<std::string>()) << host;
        EXPECT_FALSE(PathExists(fleet.stage(i))) << host;
    }
    EXPECT_NE(checked.out.find("orvpatch would update build 1240"), std::string::npos);
    EXPECT_FALSE(PathExists(fleet.logs(1)));

    // A tarball whose checksum is not the published one never reaches the host.
    ProgramResult tampered =
        fleet.Play("update.yml",
                   {"--limit", "host5", "-e", "orvpatch_package_sha256=" + std::string(64, 'a')});
    EXPECT_NE(tampered.exitStatus, 0) << Output(tampered);
    EXPECT_NE(tampered.out.find("its SHA-256 is not"), std::string::npos) << Output(tampered);
    EXPECT_FALSE(PathExists(fleet.stage(5)));
    EXPECT_EQ(DiffSnapshots(before[5], fleet.Picture(5)), std::vector<std::string>());

    // A package whose settings cannot be read is refused, not taken for a
    // fix that is not installed and so has nothing to roll back.
    ProgramResult unreadable =
        fleet.Play("rollback.yml",
                   {"--limit", "host4", "-e", "orvpatch_package=" + fleet.package("nosettings"),
                    "-e", "orvpatch_remote_folder=" + fleet.stage(0)});
    EXPECT_NE(unreadable.exitStatus, 0) << Output(unreadable);
    EXPECT_NE(unreadable.out.find("FileGroup1/orvpatch.ini cannot be read"), std::string::npos)
        << Output(unreadable);
    EXPECT_EQ(DiffSnapshots(before[4], fleet.Picture(4)), std::vector<std::string>());

    // Host 3's package needs a build it does not have: one host per batch,
    // so hosts 1 and 2 are patched, host 3 stops at its check, 4 and 5 are
    // never touched.
    fleet.WriteInventory({"good.tgz", "good", "dependent.tgz", "good.tgz", "inplace.tgz"});
    ProgramResult halted = fleet.Play("update.yml", {"-e", R"({"orvpatch_serial": [1, "25%"]})"});
    EXPECT_NE(halted.exitStatus, 0) << Output(halted);
    EXPECT_NE(halted.out.find("orvpatch-check: the update would not pass on this host: The depent "
                              "build isn't installed in the current server. (Current "
                              "Build,1234:Depent Build,1230)"),
              std::string::npos)
        << Output(halted);
    ExpectOnNewBuild(fleet, 1);
    ExpectOnNewBuild(fleet, 2);
    EXPECT_EQ(Recap(halted.out)["host3"]["failed"], 1) << Output(halted);
    for (int i = 3; i <= kHosts; ++i) {
        EXPECT_EQ(DiffSnapshots(before[i], TakeSnapshot(fleet.root(i))), std::vector<std::string>())
            << "host" << i;
    }
    EXPECT_TRUE(PathExists(fleet.stage(3)));
    EXPECT_FALSE(PathExists(fleet.stage(4)));
    EXPECT_FALSE(PathExists(fleet.stage(5)));

    // Resumed with a good package for host 3: hosts 1 and 2 are "ok" and not
    // patched again, the others are patched; every log is on the controller.
    fleet.WriteInventory(good);
    ProgramResult resumed = fleet.Play("update.yml", {"-e", R"({"orvpatch_serial": [1, "50%"]})"});
    ASSERT_EQ(resumed.exitStatus, 0) << Output(resumed);
    recap = Recap(resumed.out);
    for (int i = 1; i <= kHosts; ++i) {
        std::string host = "host" + std::to_string(i);
        EXPECT_EQ(recap[host]["failed"], 0) << host;
        EXPECT_EQ(recap[host]["changed"] == 0, i <= 2) << host << ": " << recap[host]["changed"];
        ExpectOnNewBuild(fleet, i);
        ExpectTasksRestarted(fleet, i);
        EXPECT_NE(FetchedLog(fleet, i, "update").find("Update ORV successfully"), std::string::npos)
            << host;
    }

    // The same rollout again changes nothing anywhere.
    for (int i = 1; i <= kHosts; ++i) {
        before[i] = fleet.Picture(i);
    }
    ProgramResult repeated = fleet.Play("update.yml", {"-e", R"({"orvpatch_serial": [1, "50%"]})"});
    ASSERT_EQ(repeated.exitStatus, 0) << Output(repeated);
    recap = Recap(repeated.out);
    for (int i = 1; i <= kHosts; ++i) {
        std::string host = "host" + std::to_string(i);
        EXPECT_EQ(recap[host]["changed"], 0) << host;
        EXPECT_EQ(recap[host]["failed"], 0) << host;
        EXPECT_EQ(DiffSnapshots(before[i], fleet.Picture(i)), std::vector<std::string>()) << host;
    }

    // The rollback brings every host back, the in-place one from its saved files.
    ProgramResult rolledBack =
        fleet.Play("rollback.yml", {"-e", R"({"orvpatch_serial": [1, "50%"]})"});
    ASSERT_EQ(rolledBack.exitStatus, 0) << Output(rolledBack);
    for (int i = 1; i <= kHosts; ++i) {
        ExpectOnOldBuild(fleet, i);
        EXPECT_FALSE(FetchedLog(fleet, i, "rollback").empty()) << "host" << i;
        for (const std::string& dataDir : fleet.dataDirs(i)) {
            EXPECT_TRUE(TaskRunning(dataDir, "orvreal")) << "host" << i;
        }
    }
}

}  // namespace
