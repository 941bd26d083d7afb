// The access walk, folder sizes, comparison, size and empty-folder tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "support/FileOpRecorder.h"
#include "support/TempDir.h"

using testsupport::FileOpCall;
using testsupport::FileOpRecorder;
using testsupport::MakeDirs;
using testsupport::RunAsNobody;
using testsupport::TempDir;
using testsupport::WriteFile;
typedef KvORVFileOpUtil F;

namespace {

// d/ten (10 bytes), d/twenty (20 bytes), d/sub/five (5 bytes)
struct SizedTree {
    TempDir tmp;
    std::string d;
    SizedTree() : d(tmp.sub("d")) {
        WriteFile(d + "/ten", std::string(10, 'x'));
        WriteFile(d + "/twenty", std::string(20, 'y'));
        WriteFile(d + "/sub/five", std::string(5, 'z'));
    }
};

// A file of `size` bytes that takes no room on disk.
bool MakeSparse(const std::string& path, off_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

}  // namespace

TEST(DirSizeTest, Totals) {
    SizedTree t;
    EXPECT_EQ(35, F::getDirSize(t.d.c_str()));
    EXPECT_EQ(35, F::getDirSize((t.d + "/").c_str()));
    EXPECT_EQ(35LL, F::getDirSize64(t.d.c_str()));
    EXPECT_EQ(20, F::getDirSize((t.d + "/twenty").c_str()));
    EXPECT_EQ(5, F::getDirSize((t.d + "\\sub").c_str()));
    MakeDirs(t.tmp.sub("empty"));
    EXPECT_EQ(0, F::getDirSize(t.tmp.sub("empty").c_str()));
    EXPECT_EQ(-1, F::getDirSize(t.tmp.sub("missing").c_str()));
    EXPECT_EQ(-1LL, F::getDirSize64(t.tmp.sub("missing").c_str()));
    EXPECT_EQ(-1, F::getDirSize((t.d + "/*").c_str()));  // a pattern is no argument
    EXPECT_EQ(-1, F::getDirSize(""));
    EXPECT_EQ(-1, F::getDirSize(nullptr));
    EXPECT_EQ(-1LL, F::getDirSize64(nullptr));
    // A link to the enclosing folder does not make the walk go round.
    symlink("..", (t.d + "/sub/up").c_str());
    EXPECT_EQ(35, F::getDirSize(t.d.c_str()));
    // A link to a folder elsewhere counts what it holds.
    WriteFile(t.tmp.sub("other/seven"), std::string(7, 'o'));
    symlink("../other", (t.d + "/other").c_str());
    EXPECT_EQ(42, F::getDirSize(t.d.c_str()));
}

TEST(DirSizeTest, TotalsPastThe32BitRangeNeverWrap) {
    TempDir tmp;
    MakeDirs(tmp.sub("exact"));
    ASSERT_TRUE(MakeSparse(tmp.sub("exact/f"), INT_MAX));
    EXPECT_EQ(INT_MAX, F::getDirSize(tmp.sub("exact").c_str()));
    MakeDirs(tmp.sub("one"));
    ASSERT_TRUE(MakeSparse(tmp.sub("one/f"), static_cast<off_t>(INT_MAX) + 1));
    EXPECT_EQ(-1, F::getDirSize(tmp.sub("one").c_str()));
    EXPECT_EQ(static_cast<long long>(INT_MAX) + 1, F::getDirSize64(tmp.sub("one").c_str()));
    // Two files that fit alone but not together.
    MakeDirs(tmp.sub("two"));
    ASSERT_TRUE(MakeSparse(tmp.sub("two/a"), 1500000000));
    ASSERT_TRUE(MakeSparse(tmp.sub("two/b"), 1500000000));
    EXPECT_EQ(-1, F::getDirSize(tmp.sub("two").c_str()));
    EXPECT_EQ(3000000000LL, F::getDirSize64(tmp.sub("two").c_str()));
    // Five gigabytes, well past any 32-bit count.
    ASSERT_TRUE(MakeSparse(tmp.sub("big"), 5LL << 30));
    EXPECT_EQ(5LL << 30, F::getDirSize64(tmp.sub("big").c_str()));
    EXPECT_EQ(-1, F::getDirSize(tmp.sub("big").c_str()));
}

TEST(XAccessTest, VisitOrderAndRecord) {
    SizedTree t;
    FileOpRecorder rec;
    rec.record.phase = 42;  // the walk leaves it alone
    std::vector<KvORVFileOpUtil::CallbackEntry> seen;
    rec.answer = [&](const FileOpCall&, KvORVFileOpUtil::CallbackEntry* e) {
        seen.push_back(*e);
        return 99;  // ignored
    };
    ASSERT_TRUE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, rec.entry()));
    ASSERT_EQ(4u, rec.calls.size());
    for (size_t i = 0; i < rec.calls.size(); ++i) {
        const FileOpCall& c = rec.calls[i];
        EXPECT_NE(t.d, c.src);
        EXPECT_EQ("<null>", c.dst);
        EXPECT_EQ(42, c.phase);
        if (c.src == t.d + "/sub") {
            EXPECT_EQ(FOP_VISIT_DIR, c.action);
            EXPECT_EQ(0, seen[i].fileSize);
            ASSERT_LT(i + 1, rec.calls.size());
            EXPECT_EQ(t.d + "/sub/five", rec.calls[i + 1].src);  // right after its folder
            EXPECT_EQ(5, seen[i + 1].fileSize);
        } else {
            EXPECT_EQ(FOP_VISIT_FILE, c.action);
        }
        struct stat st;
        ASSERT_EQ(0, stat(c.src.c_str(), &st));
        EXPECT_EQ(static_cast<int>(st.st_mtime), seen[i].modTime);
        if (!S_ISDIR(st.st_mode)) {
            EXPECT_EQ(static_cast<int>(st.st_size), seen[i].fileSize);
        }
    }
    // One file: one call.
    FileOpRecorder one;
    ASSERT_TRUE(F::xaccess((t.d + "/ten").c_str(), FileOpRecorder::Callback, one.entry()));
    ASSERT_EQ(1u, one.calls.size());
    EXPECT_EQ(FOP_VISIT_FILE, one.calls[0].action);
    EXPECT_EQ(10, one.record.fileSize);
    // A null callback still walks.
    EXPECT_TRUE(F::xaccess(t.d.c_str(), nullptr, rec.entry()));
}

TEST(XAccessTest, ActionTrickAndRefusals) {
    SizedTree t;
    FileOpRecorder rec;
    rec.answer = [](const FileOpCall&, KvORVFileOpUtil::CallbackEntry* e) {
        if (e->action == FOP_VISIT_DIR)
            e->action = FOP_VISIT_FILE;
        return 0;
    };
    ASSERT_TRUE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, rec.entry()));
    EXPECT_EQ(3u, rec.calls.size());  // the subfolder is reported, never entered
    for (const FileOpCall& c : rec.calls)
        EXPECT_NE(t.d + "/sub/five", c.src);

    FileOpRecorder bad;
    bad.record.cbSize = 0;
    EXPECT_FALSE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, bad.entry()));
    bad.record.cbSize = 33;
    EXPECT_FALSE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, bad.entry()));
    EXPECT_TRUE(bad.calls.empty());
    EXPECT_FALSE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, nullptr));
    FileOpRecorder ok;
    EXPECT_FALSE(F::xaccess(t.tmp.sub("missing").c_str(), FileOpRecorder::Callback, ok.entry()));
    EXPECT_FALSE(F::xaccess("", FileOpRecorder::Callback, ok.entry()));
    EXPECT_FALSE(F::xaccess(nullptr, FileOpRecorder::Callback, ok.entry()));
    EXPECT_TRUE(ok.calls.empty());
}

TEST(XAccessTest, LoopsEndAndVanishedEntriesFail) {
    SizedTree t;
    symlink("..", (t.d + "/sub/back").c_str());
    symlink("../..", (t.d + "/sub/up").c_str());
    FileOpRecorder rec;
    ASSERT_TRUE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, rec.entry()));
    int dirs = 0;
    for (const FileOpCall& c : rec.calls)
        dirs += c.action == FOP_VISIT_DIR;
    // sub, sub/back (reported, not entered), sub/up (entered once: the
    // folder above d), and d again inside it (reported, not entered).
    EXPECT_GE(rec.calls.size(), 6u);
    EXPECT_LT(rec.calls.size(), 20u);
    EXPECT_GE(dirs, 3);
    // An entry that vanishes during the walk makes it fail: at the first
    // call the two other entries of d go, so the next one cannot be examined.
    unlink((t.d + "/sub/up").c_str());
    FileOpRecorder gone;
    gone.answer = [&](const FileOpCall& c, KvORVFileOpUtil::CallbackEntry* e) {
        if (gone.calls.size() == 1) {
            for (const char* n : {"/ten", "/twenty", "/sub"}) {
                if (c.src != t.d + n)
                    testsupport::RemoveTree(t.d + n);
            }
            e->action = FOP_VISIT_FILE;  // do not enter, whatever it was
        }
        return 0;
    };
    EXPECT_FALSE(F::xaccess(t.d.c_str(), FileOpRecorder::Callback, gone.entry()));
    EXPECT_EQ(1u, gone.calls.size());
}

TEST(CompTest, ContentsSizesAndBoundaries) {
    TempDir tmp;
    for (size_t n : {size_t(0), size_t(1), size_t(262144), size_t(262145), size_t(600000)}) {
        std::string data(n, '\0');
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<char>(i % 253);
        WriteFile(tmp.sub("a"), data);
        WriteFile(tmp.sub("b"), data);
        EXPECT_TRUE(F::comp(tmp.sub("a").c_str(), tmp.sub("b").c_str())) << n;
        if (n == 0)
            continue;
        data[n - 1] ^= 1;  // the last byte differs
        WriteFile(tmp.sub("b"), data);
        EXPECT_FALSE(F::comp(tmp.sub("a").c_str(), tmp.sub("b").c_str())) << n;
        data[n - 1] ^= 1;
        data[0] ^= 1;  // the first byte differs
        WriteFile(tmp.sub("b"), data);
        EXPECT_FALSE(F::comp(tmp.sub("a").c_str(), tmp.sub("b").c_str())) << n;
    }
    WriteFile(tmp.sub("short"), "abc");
    WriteFile(tmp.sub("long"), "abcd");
    EXPECT_FALSE(F::comp(tmp.sub("short").c_str(), tmp.sub("long").c_str()));
    EXPECT_FALSE(F::comp(tmp.sub("short").c_str(), tmp.sub("missing").c_str()));
    EXPECT_FALSE(F::comp(tmp.sub("missing").c_str(), tmp.sub("short").c_str()));
    EXPECT_TRUE(F::comp(tmp.sub("short").c_str(), tmp.sub("short").c_str()));
    EXPECT_TRUE(F::comp(tmp.sub("short").c_str(), tmp.sub("\\short").c_str()));
    MakeDirs(tmp.sub("dir1"));
    MakeDirs(tmp.sub("dir2"));
    EXPECT_FALSE(F::comp(tmp.sub("dir1").c_str(), tmp.sub("dir2").c_str()));
    EXPECT_FALSE(F::comp("", tmp.sub("short").c_str()));
    EXPECT_FALSE(F::comp(tmp.sub("short").c_str(), nullptr));
}

TEST(CompTest, EndsFalseWhenAFileDeliversLessThanItsSize) {
    // sysfs files claim 4096 bytes and deliver fewer, as a file that shrinks
    // while it is read: the comparison must end, and end false.
    const char* f = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(f, &st) != 0 || st.st_size != 4096 || access(f, R_OK) != 0) {
        GTEST_SKIP() << "no sysfs file that claims more bytes than it holds";
    }
    EXPECT_FALSE(F::comp(f, f));
}

TEST(FileSizeTest, EqualTo) {
    TempDir tmp;
    WriteFile(tmp.sub("f"), std::string(100, 'x'));
    EXPECT_TRUE(F::filesizeEqualTo(tmp.sub("f").c_str(), 100));
    EXPECT_FALSE(F::filesizeEqualTo(tmp.sub("f").c_str(), 99));
    EXPECT_FALSE(F::filesizeEqualTo(tmp.sub("f").c_str(), 101));
    EXPECT_FALSE(F::filesizeEqualTo(tmp.sub("missing").c_str(), 0));
    EXPECT_FALSE(F::filesizeEqualTo("", 0));
    EXPECT_FALSE(F::filesizeEqualTo(nullptr, 0));
    WriteFile(tmp.sub("e"), "");
    EXPECT_TRUE(F::filesizeEqualTo(tmp.sub("e").c_str(), 0));
    // A size past the 32-bit range never equals a wrapped int.
    ASSERT_TRUE(MakeSparse(tmp.sub("huge"), (1LL << 32) + 100));
    EXPECT_FALSE(F::filesizeEqualTo(tmp.sub("huge").c_str(), 100));
}

TEST(EmptyDirTest, IsEmptyDir) {
    TempDir tmp;
    MakeDirs(tmp.sub("d"));
    EXPECT_TRUE(F::isEmptyDir(tmp.sub("d").c_str()));
    EXPECT_TRUE(F::isEmptyDir(tmp.sub("d/").c_str()));
    WriteFile(tmp.sub("d/.f"), "x");
    EXPECT_FALSE(F::isEmptyDir(tmp.sub("d").c_str()));
    MakeDirs(tmp.sub("e/sub"));
    EXPECT_FALSE(F::isEmptyDir(tmp.sub("e").c_str()));
    EXPECT_FALSE(F::isEmptyDir(tmp.sub("d/.f").c_str()));
    EXPECT_FALSE(F::isEmptyDir(tmp.sub("missing").c_str()));
    EXPECT_FALSE(F::isEmptyDir(""));
    EXPECT_FALSE(F::isEmptyDir(nullptr));
    // A folder that cannot be read is not known to be empty.
    WriteFile(tmp.sub("locked/f"), "x");
    chmod(tmp.sub("locked").c_str(), 0111);
    EXPECT_EQ(0, RunAsNobody([&] { return F::isEmptyDir(tmp.sub("locked").c_str()) ? 1 : 0; }));
    chmod(tmp.sub("locked").c_str(), 0755);
}

TEST(DirSizeTest, CallbackAddsFileSizes) {
    long long total = 5;
    KvORVFileOpUtil::CallbackEntry e{};
    e.fileSize = 37;
    EXPECT_EQ(0, kvfileop_detail::CB_GetDirSize(&e));  // no total: nothing happens
    e.userData = &total;
    EXPECT_EQ(0, kvfileop_detail::CB_GetDirSize(&e));
    EXPECT_EQ(42, total);
    EXPECT_EQ(0, kvfileop_detail::CB_GetDirSize(nullptr));
}

namespace {

// A chain of `depth` folders "level" below `top`, with a file "f<n>" of n
// bytes at every 300th level; its paths pass PATH_MAX from level ~700 on.
// Returns the total size of the files.
long long MakeChain(const std::string& top, int depth) {
    MakeDirs(top);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    long long total = 0;
    for (int level = 1; level <= depth && fd >= 0; ++level) {
        if (mkdirat(fd, "level", 0755) != 0)
            break;
        const int next = openat(fd, "level", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        if (level % 300 == 0) {
            const std::string name = "f" + std::to_string(level);
            const int f = openat(fd, name.c_str(), O_WRONLY | O_CREAT, 0644);
            const std::string data(static_cast<size_t>(level), 'x');
            if (f >= 0 && write(f, data.data(), data.size()) == static_cast<ssize_t>(data.size()))
                total += level;
            close(f);
        }
    }
    close(fd);
    return total;
}

// Walks a chain made by MakeChain: its depth and the sizes of its files.
int ChainDepth(const std::string& top, long long& total) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    int depth = 0;
    total = 0;
    while (fd >= 0) {
        struct stat st;
        const std::string name = "f" + std::to_string(depth);
        if (fstatat(fd, name.c_str(), &st, 0) == 0)
            total += st.st_size;
        const int next = openat(fd, "level", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        close(fd);
        fd = next;
        depth += fd >= 0;
    }
    return depth;
}

int CountEntry(KvORVFileOpUtil::CallbackEntry* e) {
    ++*static_cast<int*>(e->userData);
    return 0;
}

}  // namespace

TEST(DeepTreeTest, CopiedSizedWalkedAndDeletedWhole) {
    TempDir tmp;
    const int depth = 2100;
    const long long bytes = MakeChain(tmp.sub("chain"), depth);
    ASSERT_EQ(300LL + 600 + 900 + 1200 + 1500 + 1800 + 2100, bytes);
    long long seen = 0;
    ASSERT_EQ(depth, ChainDepth(tmp.sub("chain"), seen));

    ASSERT_EQ(FOP_OK,
              F::xcopy(tmp.sub("chain").c_str(), tmp.sub("out/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ(depth, ChainDepth(tmp.sub("out/chain"), seen));
    EXPECT_EQ(bytes, seen);
    EXPECT_EQ(bytes, F::getDirSize64(tmp.sub("out/chain").c_str()));
    EXPECT_EQ(bytes, F::getDirSize(tmp.sub("out/chain").c_str()));
    int entries = 0;
    KvORVFileOpUtil::CallbackEntry record{};
    record.cbSize = KvORVFileOpUtil::kCallbackEntrySize;
    record.userData = &entries;
    EXPECT_TRUE(F::xaccess(tmp.sub("out/chain").c_str(), CountEntry, &record));
    EXPECT_EQ(depth + 7, entries);

    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("out/chain").c_str(), nullptr, nullptr));
    EXPECT_FALSE(testsupport::PathExists(tmp.sub("out/chain")));
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("chain").c_str(), nullptr, nullptr));
    EXPECT_FALSE(testsupport::PathExists(tmp.sub("chain")));
}
