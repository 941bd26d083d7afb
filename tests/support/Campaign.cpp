#include "support/Campaign.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/TempDir.h"

namespace testsupport {

bool CanConfine() {
    return geteuid() == 0;
}

RunResult RunConfined(TestMachine& machine, RunOptions options, bool noDacOverride) {
    if (!CanConfine()) {
        static bool said = false;
        if (!said) {
            std::fprintf(stderr, "not the superuser: runs are not confined to the machine\n");
            said = true;
        }
        return machine.Run(options);
    }
    const std::string build = ORVPATCH_BUILD_DIR;
    std::string program =
        options.program[0] == '/' ? options.program : build + "/" + options.program;
    std::vector<std::string> args = {machine.root(), "--", program};
    if (noDacOverride) {
        args.insert(args.begin(), "--no-dac-override");
    }
    args.insert(args.end(), options.args.begin(), options.args.end());
    options.args = args;
    options.program = build + "/confine";
    return machine.Run(options);
}

namespace {

// The text after `"key": ` at or after `from`: a string's contents (these
// fields hold no escapes), or the bare token.
std::string JsonField(const std::string& json, const std::string& key, size_t from) {
    const std::string marker = "\"" + key + "\": ";
    size_t at = json.find(marker, from);
    if (at == std::string::npos) {
        return "<missing>";
    }
    at += marker.size();
    if (json[at] == '"') {
        return json.substr(at + 1, json.find('"', at + 1) - at - 1);
    }
    return json.substr(at, json.find_first_of(",}\n", at) - at);
}

}  // namespace

Prediction PredictRun(TestMachine& machine, const std::vector<std::string>& args,
                      const std::string& workDir, bool confined, bool noDacOverride) {
    Prediction p;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) {
        return p;
    }
    p.compared = true;
    RunOptions check;
    check.program = "orvpatch-check";
    check.workDir = workDir;
    check.args = {"--root", machine.root(), "--package",
                  workDir.empty() ? machine.packageParent() : workDir, "--json"};
    const bool rollback = args == std::vector<std::string>{"/u"};
    if (rollback) {
        check.args.push_back("--mode");
        check.args.push_back("rollback");
    }
    const RunResult r = confined ? RunConfined(machine, check, noDacOverride) : machine.Run(check);
    const size_t mode = r.out.find(rollback ? "\"rollback\": {" : "\"update\": {");
    if ((r.exitStatus != 0 && r.exitStatus != 1) || mode == std::string::npos) {
        p.problem = "the check ended with " + std::to_string(r.exitStatus) + ": " + r.err;
        return p;
    }
    p.wouldPass = JsonField(r.out, "would_pass", mode) == "true";
    const std::string verdict = JsonField(r.out, "verdict", mode);
    p.verdict = verdict == "null" ? "" : verdict;
    if (p.wouldPass != (r.exitStatus == 0)) {
        p.problem = "the check's exit status says otherwise than its report";
    }
    return p;
}

std::string Disagreement(const Prediction& prediction, int exitStatus, const std::string& out) {
    if (!prediction.problem.empty()) {
        return prediction.problem;
    }
    const std::string printed = out.substr(std::min(out.find_first_not_of('.'), out.size()));
    std::string text;
    if (prediction.wouldPass != (exitStatus == 0)) {
        text = std::string("the check said the run would ") +
               (prediction.wouldPass ? "pass" : "stop") + ", it ended with " +
               std::to_string(exitStatus);
    }
    if (prediction.verdict != printed) {
        text += (text.empty() ? "" : "; ") + std::string("the check's verdict '") +
                prediction.verdict + "', the run printed '" + printed + "'";
    }
    return text;
}

Snapshot Surroundings(const TestMachine& machine) {
    SnapshotOptions options;
    options.times = false;
    options.ignore.push_back("opt/varnel/ORV");
    for (const Server& server : machine.servers()) {
        const std::string base = server.dataDir.substr(machine.root().size() + 1);
        options.ignore.push_back(base.substr(0, base.find('/')));  // domino<i>
    }
    return TakeSnapshot(machine.root(), options);
}

bool LogHolds(const std::vector<std::string>& log, const std::string& alternatives) {
    for (size_t start = 0; start <= alternatives.size();) {
        size_t end = alternatives.find('|', start);
        end = end == std::string::npos ? alternatives.size() : end;
        const std::string text = alternatives.substr(start, end - start);
        for (const std::string& line : log) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

std::string JoinFaults(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) {
        text += (text.empty() ? "" : "; ") + fault;
    }
    return text;
}

void RecordCampaignLine(const std::string& campaign, const std::string& item,
                        const std::vector<std::string>& fields) {
    const std::string dir = std::string(ORVPATCH_BUILD_DIR) + "/campaigns/" + campaign;
    MakeDirs(dir);
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string field = fields[i];
        for (char& c : field) {
            c = (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
        }
        line += (i == 0 ? "" : "\t") + field;
    }
    WriteFile(dir + "/" + item + ".tsv", line + "\n");
}

namespace {

// Mounts made from here on stay in this process's own namespace.
void PrivateMounts() {
    static bool done = false;
    if (!done) {
        ASSERT_EQ(0, unshare(CLONE_NEWNS)) << std::strerror(errno);
        ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr));
        done = true;
    }
}

long long TreeBytes(const std::string& path, long long& entries) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return 0;
    }
    ++entries;
    long long bytes = st.st_blocks * 512 + 4096;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : FolderNames(path)) {
            bytes += TreeBytes(path + "/" + name, entries);
        }
    }
    return bytes;
}

}  // namespace

// Puts `folder` (with what it holds) on a fresh tmpfs just large enough for
// it, then fills that file system or makes it read-only.
void MountTiny(const std::string& folder, SmallFs condition) {
    PrivateMounts();
    MakeDirs(folder);
    long long entries = 0;
    const long long bytes = TreeBytes(folder, entries) + 256 * 1024;
    const std::string saved = folder + ".saved";
    ASSERT_EQ(0, rename(folder.c_str(), saved.c_str()));
    MakeDirs(folder);
    const std::string options = "size=" + std::to_string(bytes) +
                                ",nr_inodes=" + std::to_string(entries + 64) + ",mode=0755";
    ASSERT_EQ(0, mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str())) << strerror(errno);
    ASSERT_EQ(0, std::system(("cp -a '" + saved + "/.' '" + folder + "/'").c_str()));
    RemoveTree(saved);
    if (condition == SmallFs::kReadOnly) {
        ASSERT_EQ(0, mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
        return;
    }
    const std::string filler = folder + "/.filler";
    MakeDirs(filler);
    if (condition == SmallFs::kFullOfInodes) {
        for (int i = 0; i < 1000000; ++i) {
            int fd = open((filler + "/" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0) {
                ASSERT_EQ(ENOSPC, errno);
                break;
            }
            close(fd);
        }
        return;
    }
    int fd = open((filler + "/blocks").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(4096, 'f');
    for (size_t size = chunk.size(); size > 0; size /= 2) {
        while (write(fd, chunk.data(), size) == static_cast<ssize_t>(size)) {
        }
    }
    close(fd);
}

void MountExt4(const std::string& folder, int megabytes, int reservePercent) {
    PrivateMounts();
    MakeDirs(folder);
    const std::string image = folder + ".img";
    const std::string saved = folder + ".saved";
    WriteFile(image, "");
    ASSERT_EQ(0, truncate(image.c_str(), static_cast<off_t>(megabytes) << 20));
    ASSERT_EQ(0, std::system(("mkfs.ext4 -q -F -b 1024 -m " + std::to_string(reservePercent) +
                              " '" + image + "' >/dev/null")
                                 .c_str()));
    ASSERT_EQ(0, rename(folder.c_str(), saved.c_str()));
    MakeDirs(folder);
    ASSERT_EQ(0, std::system(("mount -o loop '" + image + "' '" + folder + "'").c_str()));
    ASSERT_EQ(0, std::system(("cp -a '" + saved + "/.' '" + folder + "/'").c_str()));
    RemoveTree(saved);
}

std::string Unmount(const std::string& folder) {
    umount2(folder.c_str(), MNT_DETACH);
    unlink((folder + ".img").c_str());
    return "";
}

}  // namespace testsupport
