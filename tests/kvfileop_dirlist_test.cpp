// The folder lister: filters, folder completion, counts and unreadable folders.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "support/TempDir.h"

using testsupport::MakeDirs;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::vector<std::string> All(KvORVDirList& list) {
    std::vector<std::string> out;
    while (list.hasNext())
        out.push_back(list.getNext());
    return out;
}

std::set<std::string> AllSet(const std::string& path) {
    KvORVDirList list(path.c_str());
    std::vector<std::string> v = All(list);
    return std::set<std::string>(v.begin(), v.end());
}

// d/a.so, d/b.txt, d/sub/
struct Fixture {
    TempDir tmp;
    std::string d;
    Fixture() : d(tmp.sub("d")) {
        WriteFile(d + "/a.so", "a");
        WriteFile(d + "/b.txt", "b");
        MakeDirs(d + "/sub");
    }
};

// Changes the working folder for one test and back.
struct InFolder {
    explicit InFolder(const std::string& path) {
        char* cwd = getcwd(nullptr, 0);
        saved = cwd;
        free(cwd);
        EXPECT_EQ(0, chdir(path.c_str()));
    }
    ~InFolder() { EXPECT_EQ(0, chdir(saved.c_str())); }
    std::string saved;
};

}  // namespace

TEST(DirListTest, PatternFolderAndTrailingStarForms) {
    Fixture f;
    {
        KvORVDirList list((f.d + "/*.so").c_str());
        EXPECT_EQ("*.so", list.getFilter());
        EXPECT_EQ(1, list.getFileCount());
        std::vector<std::string> v = All(list);
        EXPECT_EQ((std::set<std::string>{f.d + "/a.so", f.d + "/sub"}),
                  std::set<std::string>(v.begin(), v.end()));
        EXPECT_EQ(2u, v.size());
    }
    const std::set<std::string> all{f.d + "/a.so", f.d + "/b.txt", f.d + "/sub"};
    for (const std::string& form : {f.d, f.d + "/", f.d + "/*"}) {
        KvORVDirList list(form.c_str());
        EXPECT_EQ("*", list.getFilter()) << form;
        EXPECT_EQ(2, list.getFileCount()) << form;
        EXPECT_EQ(2, list.getFileCount()) << form;  // counting does not move the cursor
        std::vector<std::string> v = All(list);
        EXPECT_EQ(all, std::set<std::string>(v.begin(), v.end())) << form;
        EXPECT_EQ(3u, v.size()) << form;
    }
}

TEST(DirListTest, SingleFileAndMissingNames) {
    Fixture f;
    // A file name is an exact filter; folders are never filtered.
    EXPECT_EQ((std::set<std::string>{f.d + "/b.txt", f.d + "/sub"}), AllSet(f.d + "/b.txt"));
    EXPECT_EQ((std::set<std::string>{f.d + "/sub"}), AllSet(f.d + "/nothing"));
    // "?" takes one byte exactly.
    EXPECT_EQ((std::set<std::string>{f.d + "/a.so", f.d + "/sub"}), AllSet(f.d + "/?.so"));
    EXPECT_EQ((std::set<std::string>{f.d + "/sub"}), AllSet(f.d + "/??.so"));
}

TEST(DirListTest, EmptyForMissingOrUnreadableFolders) {
    TempDir tmp;
    {
        KvORVDirList list(tmp.sub("missing/*").c_str());
        EXPECT_FALSE(list.hasNext());
        EXPECT_EQ("", list.getNext());
        EXPECT_EQ(0, list.getFileCount());
    }
    WriteFile(tmp.sub("locked/f"), "x");
    chmod(tmp.sub("locked").c_str(), 0);
    // Root reads every folder: drop to an unprivileged user in a child.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        KvORVDirList list(tmp.sub("locked").c_str());
        KvORVDirList star(tmp.sub("locked/*").c_str());
        _exit(list.hasNext() || star.hasNext() || list.getNext() != "" ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    chmod(tmp.sub("locked").c_str(), 0755);
    // An empty folder and a null path.
    MakeDirs(tmp.sub("empty"));
    EXPECT_TRUE(AllSet(tmp.sub("empty")).empty());
    KvORVDirList nul(nullptr);
    EXPECT_EQ("*", nul.getFilter());
}

TEST(DirListTest, DotEntriesAndBareNames) {
    TempDir tmp;
    WriteFile(tmp.sub(".hidden"), "h");
    WriteFile(tmp.sub("plain"), "p");
    InFolder in(tmp.path());
    // No folder part: the working folder, names without a "./" prefix.
    EXPECT_EQ((std::set<std::string>{".hidden", "plain"}), AllSet("*"));
    EXPECT_EQ((std::set<std::string>{"plain"}), AllSet("p*"));
    EXPECT_EQ((std::set<std::string>{"./.hidden", "./plain"}), AllSet("./"));
}

TEST(DirListTest, BackslashesListTheSameFolder) {
    Fixture f;
    std::string back = f.d;
    std::replace(back.begin(), back.end(), '/', '\\');
    // An absolute path with backslashes is not an existing folder as received,
    // so its last element becomes the filter: write the folder with a pattern.
    EXPECT_EQ(AllSet(f.d + "/*.so"), AllSet(back + "\\*.so"));
    EXPECT_EQ(AllSet(f.d + "/"), AllSet(back + "\\"));
}

TEST(DirListTest, OrderIsReaddirOrderAndLinksToFoldersCountAsFolders) {
    Fixture f;
    symlink("sub", (f.d + "/linksub").c_str());
    symlink("missing", (f.d + "/dangling").c_str());
    std::vector<std::string> expected;
    DIR* dir = opendir(f.d.c_str());
    ASSERT_NE(nullptr, dir);
    while (struct dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n != "b.txt" && n != "dangling")
            expected.push_back(f.d + "/" + n);
    }
    closedir(dir);
    KvORVDirList list((f.d + "/*.so").c_str());
    EXPECT_EQ(expected, All(list));  // a.so, sub, linksub in folder order
    EXPECT_EQ(1, list.getFileCount());
    EXPECT_EQ("", list.getNext());
    EXPECT_FALSE(list.hasNext());
}

TEST(DirListTest, RootFolderIsListed) {
    std::set<std::string> root = AllSet("/");
    EXPECT_TRUE(root.count("/tmp") == 1);
    std::set<std::string> rootPattern = AllSet("/tm?");
    EXPECT_TRUE(rootPattern.count("/tmp") == 1);
}

TEST(DirListTest, ReadFolderTellsLinksApart) {
    Fixture f;
    symlink("sub", (f.d + "/linksub").c_str());
    symlink("a.so", (f.d + "/linkfile").c_str());
    std::vector<kvfileop_detail::ListedEntry> entries;
    ASSERT_TRUE(kvfileop_detail::ReadFolder(f.d + "/", "*", entries));
    std::map<std::string, int> kinds;
    for (auto& e : entries)
        kinds[e.name] = e.kind;
    EXPECT_EQ(kvfileop_detail::kEntryDir, kinds["sub"]);
    EXPECT_EQ(kvfileop_detail::kEntryLinkToDir, kinds["linksub"]);
    EXPECT_EQ(kvfileop_detail::kEntryFile, kinds["linkfile"]);
    EXPECT_EQ(kvfileop_detail::kEntryFile, kinds["a.so"]);
    EXPECT_EQ(5u, kinds.size());
    entries.clear();
    EXPECT_FALSE(kvfileop_detail::ReadFolder(f.d + "/missing/", "*", entries));
    EXPECT_TRUE(entries.empty());
}
