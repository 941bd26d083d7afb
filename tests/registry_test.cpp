// The registry walker, the program-folder lookup in notes.ini, the
// configuration folder and the collecting callback.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UPDSilient/checkdomino_silent.h"
#include "support/LogCapture.h"
#include "support/ServerSetup.h"
#include "support/TempDir.h"

using namespace testsupport;
using ::testing::ElementsAre;

namespace {

// Records every installation it is handed; answers 0 at visit `stopAt`.
struct Visits {
    std::vector<ORVInsInfo> seen;
    size_t stopAt = 1000;
};

int Record(ORVInsInfo* info, void* context) {
    Visits* visits = static_cast<Visits*>(context);
    visits->seen.push_back(*info);
    return visits->seen.size() == visits->stopAt + 1 ? 0 : 1;
}

class RegistryTest : public ::testing::Test {
  protected:
    void WriteRegistry(const std::string& text) { WriteFile(log.root() + "/etc/orvsys.ini", text); }

    // A notes.ini of its own for an installation, optionally naming a program folder.
    std::string NotesIni(const std::string& name, const std::string& program) {
        std::string path = log.root() + "/" + name + "/notes.ini";
        WriteFile(path, program.empty() ? "[Notes]\nDirectory=/d\n"
                                        : "[Notes]\nNotesProgram=" + program + "\n");
        return path;
    }

    bool Logged(const std::string& message) {
        for (const std::string& m : log.Messages()) {
            if (m == message) {
                return true;
            }
        }
        return false;
    }

    LogCapture log;
    Visits visits;
};

const char kConf[] =
    "[ORVConf]\nDomSvrIORVCount=2\nProductPath=/opt/varnel/ORV/\nProductVersion=3\n";

TEST_F(RegistryTest, WalksInstallationsInOrderAndNeverBeyondTheCount) {
    std::string n0 = NotesIni("s0", "/domino0/bin/");
    std::string n1 = NotesIni("s1", "");
    WriteRegistry(std::string(kConf) + "[DomSvr0]\nDomSvr0DataPath=/data0/\nDomSvr0NotesIniPath=" +
                  n0 + "\nDomSvr0DominoBinPath=/never/used\n[DomSvr1]\nDomSvr1DataPath=/data1\\\n" +
                  "DomSvr1NotesIniPath=" + n1 + "\nDomSvr1DominoBinPath=/reg/bin1\\\n" +
                  "[DomSvr2]\nDomSvr2DataPath=/data2\n");

    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    ASSERT_EQ(visits.seen.size(), 2u);
    // A data path keeps a trailing slash but loses a trailing backslash; the
    // program folder from notes.ini is taken as it stands, the registry's
    // loses a trailing backslash.
    EXPECT_EQ(visits.seen[0].strDataPath, "/data0/");
    EXPECT_EQ(visits.seen[0].strNotesIniPath, n0);
    EXPECT_EQ(visits.seen[0].strDominoBinPath, "/domino0/bin/");
    EXPECT_EQ(visits.seen[1].strDataPath, "/data1");
    EXPECT_EQ(visits.seen[1].strDominoBinPath, "/reg/bin1");
    EXPECT_STREQ(g_szORVPatch, "/opt/varnel/ORV");
    EXPECT_TRUE(Logged("'ProductPath' in 'ORVConf' is '/opt/varnel/ORV'"));
    EXPECT_EQ(log.MessagesWith("Cannot open the file.").size(), 0u);
    EXPECT_EQ(log.MessagesWith("NotesProgram").size(), 1u);  // only for installation 1
}

TEST_F(RegistryTest, MissingKeysOfAnInstallationEndTheWalkAfterTheEarlierCallbacks) {
    std::string n0 = NotesIni("s0", "/b0");
    std::string install0 = "[DomSvr0]\nDomSvr0DataPath=/d0\nDomSvr0NotesIniPath=" + n0 + "\n";

    WriteRegistry(kConf + install0);
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_EQ(visits.seen.size(), 1u);
    EXPECT_TRUE(Logged(
        "Error: The format of orvsys.ini is error. There is no 'DomSvr1DataPath' in 'DomSvr1'"));

    visits.seen.clear();
    WriteRegistry(kConf + install0 + "[DomSvr1]\nDomSvr1DataPath=/d1\n");
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_EQ(visits.seen.size(), 1u);
    EXPECT_TRUE(
        Logged("Error: The format of orvsys.ini is error. There is no 'DomSvr1NotesIniPath' in "
               "'DomSvr1'"));

    // Neither notes.ini nor the registry names the program folder.
    visits.seen.clear();
    WriteRegistry(kConf + install0 + "[DomSvr1]\nDomSvr1DataPath=/d1\nDomSvr1NotesIniPath=" +
                  NotesIni("s1", "") + "\n");
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_EQ(visits.seen.size(), 1u);
    EXPECT_TRUE(
        Logged("Error: The format of orvsys.ini is error. There is no 'DomSvr1DominoBinPath' in "
               "'DomSvr1'"));
}

TEST_F(RegistryTest, CallbackAnsweringZeroStopsTheWalk) {
    std::string n = NotesIni("s", "/b");
    WriteRegistry(kConf + std::string("[DomSvr0]\nDomSvr0DataPath=/d0\nDomSvr0NotesIniPath=") + n +
                  "\n[DomSvr1]\nDomSvr1DataPath=/d1\nDomSvr1NotesIniPath=" + n + "\n");
    visits.stopAt = 0;
    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    ASSERT_EQ(visits.seen.size(), 1u);
    EXPECT_EQ(visits.seen[0].strDataPath, "/d0");
    EXPECT_TRUE(Logged("The callback return FALSE, so break out."));
}

TEST_F(RegistryTest, CountAndConfigurationKeys) {
    std::string n = NotesIni("s", "/b");
    std::string install0 = "[DomSvr0]\nDomSvr0DataPath=/d0\nDomSvr0NotesIniPath=" + n + "\n";
    const char* zero =
        "Error: No ORV installed in the system, since the number of 'DomSvrIORVCount' is ZERO.";

    // No registry at all.
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_NO_REGISTRY);
    EXPECT_TRUE(Logged("Error: Cannot find the orvsys.ini in " + log.root() + "/etc/orvsys.ini !"));

    // A count that is not a number counts as zero; so does 0 itself.
    for (const char* count : {"two", "0", ""}) {
        log.Clear();
        WriteRegistry(std::string("[ORVConf]\nDomSvrIORVCount=") + count +
                      "\nProductPath=/p\nProductVersion=3\n" + install0);
        EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT) << count;
        EXPECT_TRUE(Logged(zero)) << count;
    }
    // A negative count walks nothing and is no error.
    WriteRegistry("[ORVConf]\nDomSvrIORVCount=-1\nProductPath=/p\nProductVersion=3\n" + install0);
    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    EXPECT_TRUE(visits.seen.empty());

    WriteRegistry("[ORVConf]\nProductPath=/p\nProductVersion=3\n" + install0);
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_TRUE(Logged(
        "Error: The format of orvsys.ini is error. There is no 'DomSvrIORVCount' in 'ORVConf'"));

    // A missing product path leaves the global as the last walk set it.
    WriteRegistry("[ORVConf]\nDomSvrIORVCount=1\nProductPath=/kept\\\nProductVersion=3\n" +
                  install0);
    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    EXPECT_STREQ(g_szORVPatch, "/kept");
    WriteRegistry("[ORVConf]\nDomSvrIORVCount=1\nProductVersion=3\n" + install0);
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_STREQ(g_szORVPatch, "/kept");
    EXPECT_TRUE(
        Logged("Error: The format of orvsys.ini is error. There is no 'ProductPath' in 'ORVConf'"));

    WriteRegistry("[ORVConf]\nDomSvrIORVCount=1\nProductPath=/p\n" + install0);
    visits.seen.clear();
    EXPECT_EQ(ParseORVInsINI(Record, &visits), ORVINS_ERR_FORMAT);
    EXPECT_TRUE(visits.seen.empty());
    EXPECT_EQ(log.MessagesWith("'ProductVersion'").size(), 1u);

    // Empty values stay empty; removing a separator never looks before the start.
    WriteRegistry(
        "[ORVConf]\nDomSvrIORVCount=1\nProductPath=/\nProductVersion=3\n"
        "[DomSvr0]\nDomSvr0DataPath=\nDomSvr0NotesIniPath=" +
        NotesIni("e", "") + "\nDomSvr0DominoBinPath=\\\n");
    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    EXPECT_STREQ(g_szORVPatch, "");
    ASSERT_EQ(visits.seen.size(), 1u);
    EXPECT_EQ(visits.seen[0].strDataPath, "");
    EXPECT_EQ(visits.seen[0].strDominoBinPath, "");
}

TEST_F(RegistryTest, ProgramFolderFromNotesIni) {
    char out[1023];
    std::strcpy(out, "untouched");
    // notes.ini missing, without section Notes, or without the key: 0, out untouched.
    std::string missing = log.root() + "/none/notes.ini";
    EXPECT_EQ(GetDominoBinFolderFromNotesINI(missing.c_str(), out, sizeof out), 0);
    EXPECT_TRUE(Logged("Cannot open the file. (" + missing + ")"));
    std::string noSection = log.root() + "/a/notes.ini";
    WriteFile(noSection, "[Other]\nNotesProgram=/x\n");
    EXPECT_EQ(GetDominoBinFolderFromNotesINI(noSection.c_str(), out, sizeof out), 0);
    std::string wrongCase = log.root() + "/b/notes.ini";
    WriteFile(wrongCase, "[Notes]\nnotesprogram=/x\n");
    EXPECT_EQ(GetDominoBinFolderFromNotesINI(wrongCase.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "untouched");

    std::string good = NotesIni("c", "/opt/lotus/bin/");
    EXPECT_EQ(GetDominoBinFolderFromNotesINI(good.c_str(), out, sizeof out), 1);
    EXPECT_STREQ(out, "/opt/lotus/bin/");
    // The size limits what is kept, to size - 2 characters.
    char small[8];
    EXPECT_EQ(GetDominoBinFolderFromNotesINI(good.c_str(), small, sizeof small), 1);
    EXPECT_STREQ(small, "/opt/l");

    // A registry without DominoBinPath is fine when notes.ini names the folder.
    WriteRegistry(
        "[ORVConf]\nDomSvrIORVCount=1\nProductPath=/p\nProductVersion=3\n"
        "[DomSvr0]\nDomSvr0DataPath=/d\nDomSvr0NotesIniPath=" +
        good + "\n");
    EXPECT_EQ(ParseORVInsINI(Record, &visits), 0);
    ASSERT_EQ(visits.seen.size(), 1u);
    EXPECT_EQ(visits.seen[0].strDominoBinPath, "/opt/lotus/bin/");
}

TEST_F(RegistryTest, ConfigurationFolderFillsTheBufferWithoutOverflow) {
    std::vector<char> buffer(1024 + 16, 'x');
    GetWindowsDirectory(buffer.data(), 1024);
    std::string expected = log.root() + "/etc";
    EXPECT_STREQ(buffer.data(), expected.c_str());
    for (size_t i = expected.size(); i < 1024; ++i) {
        ASSERT_EQ(buffer[i], '\0') << i;
    }
    for (size_t i = 1024; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 'x') << i;
    }
    // A buffer too small for the folder is cut and terminated, never overrun.
    char small[6 + 4];
    std::memset(small, 'x', sizeof small);
    GetWindowsDirectory(small, 6);
    EXPECT_EQ(std::string(small, 5), expected.substr(0, 5));
    EXPECT_EQ(small[5], '\0');
    EXPECT_EQ(small[6], 'x');
}

TEST_F(RegistryTest, CollectsOnlyInstallationsWhoseNotesIniIsReadableAndWritable) {
    std::string open = NotesIni("open", "/b");
    std::string closed = NotesIni("closed", "/b");
    chmod(open.c_str(), 0666);
    chmod(closed.c_str(), 0600);  // root's alone
    WriteRegistry(kConf + std::string("[DomSvr0]\nDomSvr0DataPath=/d0\nDomSvr0NotesIniPath=") +
                  closed + "\nDomSvr0DominoBinPath=/b\n[DomSvr1]\nDomSvr1DataPath=/d1\n" +
                  "DomSvr1NotesIniPath=" + open + "\n");
    std::list<ORVInsInfo> found;
    EXPECT_EQ(CollectInstallInfo(nullptr, &found), 1);
    ORVInsInfo missing;
    missing.strNotesIniPath = log.root() + "/missing.ini";
    EXPECT_EQ(CollectInstallInfo(&missing, &found), 1);
    EXPECT_TRUE(found.empty());

    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to run the walk as another user";
    }
    // The superuser may read and write both.
    EXPECT_EQ(ParseORVInsINI(CollectInstallInfo, &found), 0);
    EXPECT_EQ(found.size(), 2u);
    // Another user sees only the open one: 10 * count + whether it is that one.
    int answer = RunAsUser(65534, 65534, [&]() {
        std::list<ORVInsInfo> mine;
        if (ParseORVInsINI(CollectInstallInfo, &mine) != 0) {
            return 99;
        }
        return static_cast<int>(mine.size()) * 10 +
               (mine.size() == 1 && mine.front().strNotesIniPath == open ? 1 : 0);
    });
    EXPECT_EQ(answer, 11);
}

}  // namespace
