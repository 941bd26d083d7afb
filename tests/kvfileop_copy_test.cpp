// Copy, tree copy, move, folder creation and rename of the file library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "UpdateORV/FileIo.h"
#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "support/FileOpRecorder.h"
#include "support/RunProgram.h"
#include "support/TempDir.h"

using kvfileop_detail::_copy;
using testsupport::FileOpCall;
using testsupport::FileOpRecorder;
using testsupport::FolderNames;
using testsupport::MakeDirs;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::RunAsNobody;
using testsupport::TempDir;
using testsupport::WriteFile;
typedef KvORVFileOpUtil F;

namespace {

int Code(int result) {
    return result & 0xff;
}  // a result as a child's exit status

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed) % 251);
    return s;
}

// Names in a folder, "." and ".." left out.
std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> out;
    KvORVDirList list(dir.c_str());
    while (list.hasNext())
        out.insert(F::getFileName(list.getNext().c_str()));
    return out;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(CopyFileTest, ResultCodes) {
    TempDir tmp;
    WriteFile(tmp.sub("src"), "source");
    WriteFile(tmp.sub("old"), "old content");
    MakeDirs(tmp.sub("folder"));
    const std::string src = tmp.sub("src");

    EXPECT_EQ(FOP_ERR_INVALID, _copy(nullptr, "x", true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, _copy("", "x", true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, _copy(src.c_str(), "", true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, _copy(src.c_str(), nullptr, true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_TARGET,
              _copy(src.c_str(), tmp.sub("folder").c_str(), true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_EXISTS, _copy(src.c_str(), tmp.sub("old").c_str(), false, nullptr, nullptr));
    EXPECT_EQ("old content", ReadFile(tmp.sub("old")));
    EXPECT_EQ(FOP_ERR_OPEN_SOURCE,
              _copy(tmp.sub("missing").c_str(), tmp.sub("new").c_str(), true, nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("new")));
    // A folder as source opens but cannot be read as a file.
    EXPECT_EQ(FOP_ERR_READ,
              _copy(tmp.sub("folder").c_str(), tmp.sub("new").c_str(), true, nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("new")));
    EXPECT_EQ(FOP_OK, _copy(src.c_str(), tmp.sub("old").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("source", ReadFile(tmp.sub("old")));
    // Nothing but the two files and the folder is left behind.
    EXPECT_EQ((std::set<std::string>{"src", "old", "folder"}), Names(tmp.path()));
}

TEST(CopyFileTest, PermissionFailuresAsUnprivilegedUser) {
    TempDir tmp;
    WriteFile(tmp.sub("src"), "source");
    WriteFile(tmp.sub("secret"), "s");
    chmod(tmp.sub("secret").c_str(), 0600);
    MakeDirs(tmp.sub("ro"));
    WriteFile(tmp.sub("ro/existing"), "keep");
    chmod(tmp.sub("ro/existing").c_str(), 0666);
    chmod(tmp.sub("ro").c_str(), 0555);
    WriteFile(tmp.sub("readonly"), "read only");
    chmod(tmp.sub("readonly").c_str(), 0444);
    const int status = RunAsNobody([&] {
        if (Code(_copy(tmp.sub("src").c_str(), tmp.sub("ro/new").c_str(), true, nullptr,
                       nullptr)) != Code(FOP_ERR_TARGET))
            return 1;
        if (Code(F::copy(tmp.sub("src").c_str(), tmp.sub("ro/").c_str(), true, nullptr, nullptr)) !=
            Code(FOP_ERR_TARGET))
            return 2;
        if (Code(_copy(tmp.sub("secret").c_str(), tmp.sub("x").c_str(), true, nullptr, nullptr)) !=
            Code(FOP_ERR_OPEN_SOURCE))
            return 3;
        // A writable file in a folder that cannot be written: not replaced.
        if (Code(_copy(tmp.sub("src").c_str(), tmp.sub("ro/existing").c_str(), true, nullptr,
                       nullptr)) != Code(FOP_ERR_TARGET))
            return 4;
        // A file that cannot be opened for writing, in a folder that can be
        // written: not replaced either, and a missing source is found first.
        if (Code(_copy(tmp.sub("src").c_str(), tmp.sub("readonly").c_str(), true, nullptr,
                       nullptr)) != Code(FOP_ERR_TARGET))
            return 5;
        if (Code(F::copy(tmp.sub("src").c_str(), tmp.sub("readonly").c_str(), true, nullptr,
                         nullptr)) != Code(FOP_ERR_TARGET))
            return 6;
        if (Code(_copy(tmp.sub("missing").c_str(), tmp.sub("readonly").c_str(), true, nullptr,
                       nullptr)) != Code(FOP_ERR_OPEN_SOURCE))
            return 7;
        return 0;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("keep", ReadFile(tmp.sub("ro/existing")));
    EXPECT_EQ("read only", ReadFile(tmp.sub("readonly")));
    EXPECT_EQ(0444u, ModeOf(tmp.sub("readonly")));
    EXPECT_FALSE(PathExists(tmp.sub("ro/new")));
    EXPECT_FALSE(PathExists(tmp.sub("x")));
}

// A folder on the way to the source or the target that someone else swapped
// for a link: neither read nor written through. Root's own link is followed.
TEST(CopyFileTest, NoFolderLinkOfAnotherUserOnTheWay) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser";
    }
    TempDir tmp;
    WriteFile(tmp.sub("secret/data"), "root only");
    WriteFile(tmp.sub("new"), "new");
    MakeDirs(tmp.sub("v"));
    ASSERT_EQ(0, symlink(tmp.sub("secret").c_str(), tmp.sub("v/planted").c_str()));
    ASSERT_EQ(0, lchown(tmp.sub("v/planted").c_str(), 4242, 4242));
    ASSERT_EQ(0, symlink(tmp.sub("secret").c_str(), tmp.sub("v/roots").c_str()));
    EXPECT_EQ(FOP_ERR_TARGET, _copy(tmp.sub("new").c_str(), tmp.sub("v/planted/data").c_str(), true,
                                    nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_OPEN_SOURCE, _copy(tmp.sub("v/planted/data").c_str(), tmp.sub("out").c_str(),
                                         true, nullptr, nullptr));
    EXPECT_EQ("root only", ReadFile(tmp.sub("secret/data")));
    EXPECT_FALSE(PathExists(tmp.sub("out")));
    EXPECT_EQ(FOP_OK, _copy(tmp.sub("new").c_str(), tmp.sub("v/roots/data").c_str(), true, nullptr,
                            nullptr));
    EXPECT_EQ("new", ReadFile(tmp.sub("secret/data")));
}

TEST(CopyFileTest, FailedWriteLeavesTargetAsItWas) {
    TempDir tmp;
    WriteFile(tmp.sub("big"), Bytes(3 * 262144, 1));
    WriteFile(tmp.sub("target"), "previous");
    chmod(tmp.sub("target").c_str(), 0666);  // writable by the copier
    // A file size limit makes every write past 64 KiB fail as on a full disk.
    const int status = RunAsNobody([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {65536, 65536};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
            return 99;
        const int a =
            _copy(tmp.sub("big").c_str(), tmp.sub("target").c_str(), true, nullptr, nullptr);
        const int b =
            _copy(tmp.sub("big").c_str(), tmp.sub("fresh").c_str(), true, nullptr, nullptr);
        return (a == FOP_ERR_WRITE ? 0 : 1) | (b == FOP_ERR_WRITE ? 0 : 2);
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("previous", ReadFile(tmp.sub("target")));
    EXPECT_FALSE(PathExists(tmp.sub("fresh")));
    EXPECT_EQ((std::set<std::string>{"big", "target"}), Names(tmp.path()));
}

TEST(CopyFileTest, BlockBoundariesCopyIdentically) {
    TempDir tmp;
    for (size_t n : {size_t(0), size_t(1), size_t(262143), size_t(262144), size_t(262145),
                     size_t(3 * 262144 + 7)}) {
        const std::string data = Bytes(n, static_cast<unsigned>(n));
        WriteFile(tmp.sub("in"), data);
        ASSERT_EQ(FOP_OK,
                  F::copy(tmp.sub("in").c_str(), tmp.sub("out").c_str(), true, nullptr, nullptr))
            << n;
        EXPECT_EQ(data, ReadFile(tmp.sub("out"))) << n;
    }
    // A pseudo-file that claims to be empty still has its bytes copied.
    if (access("/proc/self/status", R_OK) == 0) {
        ASSERT_EQ(FOP_OK,
                  F::copy("/proc/self/status", tmp.sub("status").c_str(), true, nullptr, nullptr));
        EXPECT_NE(std::string::npos, ReadFile(tmp.sub("status")).find("Name:"));
    }
}

TEST(CopyFileTest, CopyOntoItselfIsRefusedAndTouchesNothing) {
    TempDir tmp;
    WriteFile(tmp.sub("d/file"), "precious");
    symlink("file", tmp.sub("d/link").c_str());
    link(tmp.sub("d/file").c_str(), tmp.sub("d/hard").c_str());
    symlink("d", tmp.sub("dlink").c_str());
    const std::string f = tmp.sub("d/file");
    for (bool overwrite : {true, false}) {
        for (const std::string& other :
             {f, tmp.sub("d/./file"), tmp.sub("d//file"), tmp.sub("d/link"), tmp.sub("d/hard"),
              tmp.sub("dlink/file"), tmp.sub("d/../d/file")}) {
            EXPECT_EQ(FOP_ERR_TARGET,
                      F::copy(f.c_str(), other.c_str(), overwrite, nullptr, nullptr))
                << other;
            EXPECT_EQ(FOP_ERR_TARGET,
                      F::copy(other.c_str(), f.c_str(), overwrite, nullptr, nullptr))
                << other;
        }
    }
    EXPECT_EQ("precious", ReadFile(f));
    // Copying a folder's files onto the folder itself is refused at the first file.
    EXPECT_EQ(FOP_ERR_TARGET,
              F::copy(tmp.sub("d").c_str(), tmp.sub("dlink/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("precious", ReadFile(f));
    EXPECT_EQ((std::set<std::string>{"file", "link", "hard"}), Names(tmp.sub("d")));
}

TEST(CopyFileTest, ReplacedTargetKeepsModeOwnerAndLinks) {
    TempDir tmp;
    WriteFile(tmp.sub("src"), "new");
    chmod(tmp.sub("src").c_str(), 0755);
    WriteFile(tmp.sub("target"), "old");
    chmod(tmp.sub("target").c_str(), 0640);
    const bool root = getuid() == 0;
    if (root) {
        ASSERT_EQ(0, chown(tmp.sub("target").c_str(), 65534, 65534));
    }
    ASSERT_EQ(FOP_OK,
              F::copy(tmp.sub("src").c_str(), tmp.sub("target").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("new", ReadFile(tmp.sub("target")));
    EXPECT_EQ(0640u, ModeOf(tmp.sub("target")));
    struct stat st;
    ASSERT_EQ(0, stat(tmp.sub("target").c_str(), &st));
    if (root) {
        EXPECT_EQ(65534u, st.st_uid);
        EXPECT_EQ(65534u, st.st_gid);
    }
    // A new target gets 0666 less the umask; the source's mode is not carried over.
    const mode_t mask = umask(022);
    ASSERT_EQ(FOP_OK,
              F::copy(tmp.sub("src").c_str(), tmp.sub("fresh").c_str(), true, nullptr, nullptr));
    umask(mask);
    EXPECT_EQ(0644u, ModeOf(tmp.sub("fresh")));
    // A link as target is written through and stays a link.
    WriteFile(tmp.sub("real"), "old");
    symlink("real", tmp.sub("alias").c_str());
    symlink("nowhere", tmp.sub("dangling").c_str());
    ASSERT_EQ(FOP_OK,
              F::copy(tmp.sub("src").c_str(), tmp.sub("alias").c_str(), true, nullptr, nullptr));
    ASSERT_EQ(0, lstat(tmp.sub("alias").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ("new", ReadFile(tmp.sub("real")));
    ASSERT_EQ(FOP_OK,
              F::copy(tmp.sub("src").c_str(), tmp.sub("dangling").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("new", ReadFile(tmp.sub("nowhere")));
    symlink("loop2", tmp.sub("loop1").c_str());
    symlink("loop1", tmp.sub("loop2").c_str());
    EXPECT_EQ(FOP_ERR_TARGET,
              F::copy(tmp.sub("src").c_str(), tmp.sub("loop1").c_str(), true, nullptr, nullptr));
    // A target that cannot be opened is found only after the before call and
    // after the source: a missing source still reports -2.
    FileOpRecorder rec;
    EXPECT_EQ(FOP_ERR_OPEN_SOURCE, _copy(tmp.sub("missing").c_str(), tmp.sub("loop1").c_str(), true,
                                         FileOpRecorder::Callback, rec.entry()));
    ASSERT_EQ(1u, rec.calls.size());
    EXPECT_EQ(FOP_COPY_NEW, rec.calls[0].action);
    EXPECT_EQ(FOP_BEFORE, rec.calls[0].phase);
}

TEST(CopyCallbackTest, BeforeAndAfterAnswers) {
    TempDir tmp;
    WriteFile(tmp.sub("src"), "data");
    WriteFile(tmp.sub("old"), "old");
    {
        FileOpRecorder rec;
        ASSERT_EQ(FOP_OK, _copy(tmp.sub("src").c_str(), tmp.sub("new").c_str(), false,
                                FileOpRecorder::Callback, rec.entry()));
        ASSERT_EQ(2u, rec.calls.size());
        EXPECT_EQ(FOP_COPY_NEW, rec.calls[0].action);
        EXPECT_EQ(FOP_BEFORE, rec.calls[0].phase);
        EXPECT_EQ(tmp.sub("src"), rec.calls[0].src);
        EXPECT_EQ(tmp.sub("new"), rec.calls[0].dst);
        EXPECT_EQ(FOP_AFTER, rec.calls[1].phase);
        EXPECT_EQ(32, rec.record.cbSize);
        EXPECT_EQ(&rec, rec.record.userData);
    }
    {
        FileOpRecorder rec;
        ASSERT_EQ(FOP_OK, _copy(tmp.sub("src").c_str(), tmp.sub("old").c_str(), true,
                                FileOpRecorder::Callback, rec.entry()));
        ASSERT_EQ(2u, rec.calls.size());
        EXPECT_EQ(FOP_COPY_REPLACE, rec.calls[0].action);
    }
    struct Case {
        int before, after, result, calls;
        bool copied;
    };
    for (const Case& c :
         {Case{2, 0, 0, 1, false}, Case{7, 0, 7, 1, false}, Case{-3, 0, -3, 1, false},
          Case{0, 2, 0, 2, true}, Case{0, 9, 9, 2, true}}) {
        unlink(tmp.sub("out").c_str());
        FileOpRecorder rec;
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            return call.phase == FOP_BEFORE ? c.before : c.after;
        };
        EXPECT_EQ(c.result, _copy(tmp.sub("src").c_str(), tmp.sub("out").c_str(), true,
                                  FileOpRecorder::Callback, rec.entry()))
            << c.before << "/" << c.after;
        EXPECT_EQ(static_cast<size_t>(c.calls), rec.calls.size());
        EXPECT_EQ(c.copied, PathExists(tmp.sub("out")));
    }
    // Without a record, or without a callback, no call is made.
    FileOpRecorder rec;
    EXPECT_EQ(FOP_OK,
              _copy(tmp.sub("src").c_str(), tmp.sub("o2").c_str(), true, nullptr, rec.entry()));
    EXPECT_EQ(FOP_OK, _copy(tmp.sub("src").c_str(), tmp.sub("o3").c_str(), true,
                            FileOpRecorder::Callback, nullptr));
    EXPECT_TRUE(rec.calls.empty());
}

TEST(CopyCallbackTest, SkipAndAbortInAWalk) {
    TempDir tmp;
    for (const char* n : {"one", "two", "three"})
        WriteFile(tmp.sub(std::string("s/") + n), n);
    for (int answer : {2, 7}) {
        const std::string out = tmp.sub("out" + std::to_string(answer) + "/");
        FileOpRecorder rec;
        int befores = 0;
        std::string second;
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            if (call.action == FOP_CREATE_DIR || call.phase != FOP_BEFORE)
                return 0;
            if (++befores == 2) {
                second = F::getFileName(call.src.c_str());
                return answer;
            }
            return 0;
        };
        const int r =
            F::copy(tmp.sub("s").c_str(), out.c_str(), true, FileOpRecorder::Callback, rec.entry());
        std::set<std::string> copied = Names(out);
        ASSERT_FALSE(second.empty());
        EXPECT_EQ(0u, copied.count(second));
        if (answer == 2) {
            EXPECT_EQ(0, r);
            EXPECT_EQ(2u, copied.size());
        } else {
            EXPECT_EQ(7, r);
            EXPECT_EQ(1u, copied.size());  // the third is not reached
        }
    }
}

TEST(CopyCallbackTest, SkipAndAbortOfAFolderInATreeCopy) {
    TempDir tmp;
    WriteFile(tmp.sub("s/a/f"), "f");
    WriteFile(tmp.sub("s/b/g"), "g");
    WriteFile(tmp.sub("s/h"), "h");
    for (int answer : {2, 7}) {
        const std::string out = tmp.sub("out" + std::to_string(answer) + "/");
        FileOpRecorder rec;
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            const bool skipA = call.action == FOP_CREATE_DIR && call.phase == FOP_BEFORE &&
                               call.src == out + "s/a/";
            return skipA ? answer : 0;
        };
        const int r = F::xcopy(tmp.sub("s").c_str(), out.c_str(), true, FileOpRecorder::Callback,
                               rec.entry());
        EXPECT_FALSE(PathExists(out + "s/a"));
        if (answer == 2) {
            // A skipped folder is left out with all it holds; the rest is copied.
            EXPECT_EQ(FOP_OK, r);
            EXPECT_EQ((std::set<std::string>{"b", "h"}), Names(out + "s"));
            EXPECT_EQ("g", ReadFile(out + "s/b/g"));
        } else {
            EXPECT_EQ(7, r);
        }
    }
}

TEST(CopyTest, TargetsFoldersAndPatterns) {
    TempDir tmp;
    WriteFile(tmp.sub("s/a.so"), "a");
    WriteFile(tmp.sub("s/b.txt"), "b");
    WriteFile(tmp.sub("s/sub/c"), "c");
    MakeDirs(tmp.sub("existing"));
    // An existing folder without "/" receives the file under its own name.
    EXPECT_EQ(FOP_OK, F::copy(tmp.sub("s/a.so").c_str(), tmp.sub("existing").c_str(), true, nullptr,
                              nullptr));
    EXPECT_EQ("a", ReadFile(tmp.sub("existing/a.so")));
    // A pattern or a folder onto a target not written as a folder.
    EXPECT_EQ(FOP_ERR_INVALID,
              F::copy(tmp.sub("s/*.so").c_str(), tmp.sub("t1").c_str(), true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID,
              F::copy(tmp.sub("s").c_str(), tmp.sub("t1").c_str(), true, nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("t1")));
    // Missing parents of a file target are created.
    EXPECT_EQ(FOP_OK, F::copy(tmp.sub("s/b.txt").c_str(), tmp.sub("x/y/z.txt").c_str(), true,
                              nullptr, nullptr));
    EXPECT_EQ("b", ReadFile(tmp.sub("x/y/z.txt")));
    // A folder onto a folder: its files only.
    EXPECT_EQ(FOP_OK,
              F::copy(tmp.sub("s").c_str(), tmp.sub("t2/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ((std::set<std::string>{"a.so", "b.txt"}), Names(tmp.sub("t2")));
    // A pattern onto a folder: the matching files.
    EXPECT_EQ(FOP_OK,
              F::copy(tmp.sub("s/*.so").c_str(), tmp.sub("t3/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ((std::set<std::string>{"a.so"}), Names(tmp.sub("t3")));
    // Overwriting off stops at the first existing target.
    EXPECT_EQ(FOP_ERR_EXISTS,
              F::copy(tmp.sub("s").c_str(), tmp.sub("t2/").c_str(), false, nullptr, nullptr));
    // Backslashes are separators.
    std::string back = tmp.sub("s\\a.so");
    EXPECT_EQ(FOP_OK, F::copy(back.c_str(), tmp.sub("t4\\a.so").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("a", ReadFile(tmp.sub("t4/a.so")));
    EXPECT_EQ(FOP_ERR_INVALID, F::copy("", "x", true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, F::copy("x", nullptr, true, nullptr, nullptr));
}

TEST(XCopyTest, TreesPatternsAndTargets) {
    TempDir tmp;
    WriteFile(tmp.sub("dir/f1"), "1");
    WriteFile(tmp.sub("dir/sub/f2"), "2");
    WriteFile(tmp.sub("dir/sub/deeper/f3"), "3");
    MakeDirs(tmp.sub("dir/emptysub"));
    EXPECT_EQ(FOP_ERR_INVALID,
              F::xcopy(tmp.sub("dir").c_str(), tmp.sub("nothere").c_str(), true, nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("nothere")));
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("dir").c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("1", ReadFile(tmp.sub("t/dir/f1")));
    EXPECT_EQ("2", ReadFile(tmp.sub("t/dir/sub/f2")));
    EXPECT_EQ("3", ReadFile(tmp.sub("t/dir/sub/deeper/f3")));
    EXPECT_TRUE(F::isDir(tmp.sub("t/dir/emptysub").c_str()));
    // dir/* copies the contents straight into the target.
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("dir/*").c_str(), tmp.sub("u/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ((std::set<std::string>{"f1", "sub", "emptysub"}), Names(tmp.sub("u")));
    EXPECT_EQ("3", ReadFile(tmp.sub("u/sub/deeper/f3")));
    // A pattern also filters folders at the top; below, everything is copied.
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("dir/s*").c_str(), tmp.sub("v/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ((std::set<std::string>{"sub"}), Names(tmp.sub("v")));
    EXPECT_EQ("3", ReadFile(tmp.sub("v/sub/deeper/f3")));
    // One file onto one file.
    EXPECT_EQ(FOP_OK, F::xcopy(tmp.sub("dir/f1").c_str(), tmp.sub("w/one").c_str(), true, nullptr,
                               nullptr));
    EXPECT_EQ("1", ReadFile(tmp.sub("w/one")));
    // A backslash inside a listed name is part of the name, at every depth.
    WriteFile(tmp.sub("bs/a\\b/f"), "f");
    WriteFile(tmp.sub("bs/a\\b/c\\d/g"), "g");
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("bs").c_str(), tmp.sub("bt/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("f", ReadFile(tmp.sub("bt/bs/a\\b/f")));
    EXPECT_EQ("g", ReadFile(tmp.sub("bt/bs/a\\b/c\\d/g")));
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("bs/*").c_str(), tmp.sub("bu/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("g", ReadFile(tmp.sub("bu/a\\b/c\\d/g")));
}

TEST(XCopyTest, LinksAndLoopsEnd) {
    TempDir tmp;
    WriteFile(tmp.sub("outside/o"), "o");
    WriteFile(tmp.sub("dir/f"), "f");
    MakeDirs(tmp.sub("dir/sub"));
    symlink("../..", tmp.sub("dir/sub/up").c_str());    // back to dir's parent
    symlink("..", tmp.sub("dir/sub/back").c_str());     // back to dir
    symlink("../outside", tmp.sub("dir/out").c_str());  // a folder elsewhere
    symlink("f", tmp.sub("dir/flink").c_str());         // a file
    const int r = F::xcopy(tmp.sub("dir").c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr);
    // dir/sub/up leads to the folder holding t: copying it would copy t into itself.
    EXPECT_EQ(FOP_ERR_INVALID, r);
    unlink(tmp.sub("dir/sub/up").c_str());
    testsupport::RemoveTree(tmp.sub("t"));
    ASSERT_EQ(FOP_OK,
              F::xcopy(tmp.sub("dir").c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("f", ReadFile(tmp.sub("t/dir/f")));
    EXPECT_EQ("f", ReadFile(tmp.sub("t/dir/flink")));  // a linked file is copied as a file
    EXPECT_EQ("o", ReadFile(tmp.sub("t/dir/out/o")));  // a linked folder as a folder
    // The loop link is kept as the same link, not followed.
    EXPECT_EQ((std::set<std::string>{"back"}), Names(tmp.sub("t/dir/sub")));
    EXPECT_EQ("..", testsupport::LinkTarget(tmp.sub("t/dir/sub/back")));
}

TEST(XCopyTest, FolderIntoItselfIsRefused) {
    TempDir tmp;
    WriteFile(tmp.sub("dir/f"), "f");
    MakeDirs(tmp.sub("dir/inner"));
    symlink(tmp.sub("dir").c_str(), tmp.sub("alias").c_str());
    for (const std::string& target : {tmp.sub("dir/"), tmp.sub("dir/inner/"),
                                      tmp.sub("dir/new/deeper/"), tmp.sub("alias/inner/")}) {
        EXPECT_EQ(FOP_ERR_INVALID,
                  F::xcopy(tmp.sub("dir").c_str(), target.c_str(), true, nullptr, nullptr))
            << target;
        EXPECT_EQ(FOP_ERR_INVALID,
                  F::xcopy(tmp.sub("alias").c_str(), target.c_str(), true, nullptr, nullptr))
            << target;
    }
    EXPECT_EQ((std::set<std::string>{"f", "inner"}), Names(tmp.sub("dir")));
    EXPECT_TRUE(Names(tmp.sub("dir/inner")).empty());
    // A pattern whose folders hold the target: the target folder itself is met.
    EXPECT_EQ(FOP_ERR_INVALID, F::xcopy(tmp.sub("dir/*").c_str(), tmp.sub("dir/inner/").c_str(),
                                        true, nullptr, nullptr));
    // Beside itself is fine.
    EXPECT_EQ(FOP_OK,
              F::xcopy(tmp.sub("dir").c_str(), tmp.sub("dir2/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("f", ReadFile(tmp.sub("dir2/dir/f")));
}

TEST(MoveTest, MoveAndXMove) {
    TempDir tmp;
    WriteFile(tmp.sub("a/f1"), "1");
    WriteFile(tmp.sub("a/sub/f2"), "2");
    // move of a folder: its files are copied and removed, the folder stays
    // since it still holds a subfolder.
    EXPECT_EQ(FOP_OK, F::move(tmp.sub("a").c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("1", ReadFile(tmp.sub("t/f1")));
    EXPECT_TRUE(PathExists(tmp.sub("a/f1")));
    EXPECT_TRUE(PathExists(tmp.sub("a/sub/f2")));
    // move of one file.
    EXPECT_EQ(FOP_OK,
              F::move(tmp.sub("a/f1").c_str(), tmp.sub("m/f1").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("1", ReadFile(tmp.sub("m/f1")));
    EXPECT_FALSE(PathExists(tmp.sub("a/f1")));
    // xmove: the tree into target/a/ and the source gone.
    EXPECT_EQ(FOP_OK,
              F::xmove(tmp.sub("a").c_str(), tmp.sub("x/").c_str(), true, nullptr, nullptr));
    EXPECT_EQ("2", ReadFile(tmp.sub("x/a/sub/f2")));
    EXPECT_FALSE(PathExists(tmp.sub("a")));
    // A failed copy leaves the source alone and returns the copy's code.
    WriteFile(tmp.sub("b/f"), "b");
    WriteFile(tmp.sub("y/f"), "y");
    EXPECT_EQ(FOP_ERR_EXISTS,
              F::move(tmp.sub("b/f").c_str(), tmp.sub("y/f").c_str(), false, nullptr, nullptr));
    WriteFile(tmp.sub("z/b/f"), "z");
    EXPECT_EQ(FOP_ERR_EXISTS,
              F::xmove(tmp.sub("b").c_str(), tmp.sub("z/").c_str(), false, nullptr, nullptr));
    // Into its own parent is onto itself: refused, nothing removed.
    EXPECT_EQ(FOP_ERR_INVALID,
              F::xmove(tmp.sub("b").c_str(), tmp.path().c_str(), true, nullptr, nullptr));
    EXPECT_EQ("b", ReadFile(tmp.sub("b/f")));
    EXPECT_EQ(FOP_ERR_INVALID, F::move(nullptr, "x", true, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, F::xmove("x", "", true, nullptr, nullptr));
}

TEST(CreateDirTest, ResultsAndCallbackOrder) {
    TempDir tmp;
    EXPECT_EQ(FOP_ERR_INVALID, F::createDir(nullptr, nullptr, nullptr));
    {
        FileOpRecorder rec;
        EXPECT_EQ(FOP_OK, F::createDir("", FileOpRecorder::Callback, rec.entry()));
        EXPECT_TRUE(rec.calls.empty());
    }
    {
        FileOpRecorder rec;
        const std::string c = tmp.sub("a/b/c");
        ASSERT_EQ(FOP_OK, F::createDir(c.c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_TRUE(F::isDir(c.c_str()));
        ASSERT_EQ(6u, rec.calls.size());
        const std::string a = tmp.sub("a/"), b = tmp.sub("a/b/");
        const std::string order[6][2] = {{c, "0"}, {b, "0"}, {a, "0"},
                                         {a, "1"}, {b, "1"}, {c, "1"}};
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(order[i][0], rec.calls[i].src) << i;
            EXPECT_EQ(std::stoi(order[i][1]), rec.calls[i].phase) << i;
            EXPECT_EQ(FOP_CREATE_DIR, rec.calls[i].action) << i;
            EXPECT_EQ("<null>", rec.calls[i].dst) << i;
        }
    }
    {
        FileOpRecorder rec;  // an existing folder: success with both calls
        EXPECT_EQ(FOP_OK,
                  F::createDir(tmp.sub("a/b/").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_EQ(2u, rec.calls.size());
    }
    WriteFile(tmp.sub("file"), "x");
    EXPECT_EQ(FOP_ERR_TARGET, F::createDir(tmp.sub("file").c_str(), nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_TARGET, F::createDir(tmp.sub("file/below").c_str(), nullptr, nullptr));
    EXPECT_EQ(FOP_OK, F::createDir("/", nullptr, nullptr));
    {
        FileOpRecorder rec;  // skipped in the before call: nothing made
        rec.answer = [](const FileOpCall&, KvORVFileOpUtil::CallbackEntry*) { return 2; };
        EXPECT_EQ(FOP_OK,
                  F::createDir(tmp.sub("skipped").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_FALSE(PathExists(tmp.sub("skipped")));
    }
    {
        FileOpRecorder rec;  // refused after the parent: -5, the parent stays made
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            return call.phase == FOP_AFTER && call.src == tmp.sub("p/") ? 7 : 0;
        };
        EXPECT_EQ(FOP_ERR_TARGET,
                  F::createDir(tmp.sub("p/q").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_TRUE(F::isDir(tmp.sub("p").c_str()));
        EXPECT_FALSE(PathExists(tmp.sub("p/q")));
        FileOpRecorder rec2;  // after-call answers pass through
        rec2.answer = [](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            return call.phase == FOP_AFTER ? 9 : 0;
        };
        EXPECT_EQ(9, F::createDir(tmp.sub("r").c_str(), FileOpRecorder::Callback, rec2.entry()));
        EXPECT_TRUE(F::isDir(tmp.sub("r").c_str()));
    }
}

TEST(CreateDirTest, RetryEndsWhenMkdirKeepsFailing) {
    TempDir tmp;
    MakeDirs(tmp.sub("ro"));
    chmod(tmp.sub("ro").c_str(), 0555);
    const int status = RunAsNobody([&] {
        const int a = F::createDir(tmp.sub("ro/x").c_str(), nullptr, nullptr);
        const int b = F::createDir(tmp.sub("ro/x/y/z").c_str(), nullptr, nullptr);
        return (a == FOP_ERR_TARGET ? 0 : 1) | (b == FOP_ERR_TARGET ? 0 : 2);
    });
    EXPECT_EQ(0, status);
    EXPECT_FALSE(PathExists(tmp.sub("ro/x")));
}

TEST(RenameTest, Rename) {
    TempDir tmp;
    WriteFile(tmp.sub("a"), "a");
    WriteFile(tmp.sub("b"), "b");
    EXPECT_TRUE(F::rename(tmp.sub("a").c_str(), tmp.sub("b").c_str()));
    EXPECT_EQ("a", ReadFile(tmp.sub("b")));
    EXPECT_FALSE(PathExists(tmp.sub("a")));
    MakeDirs(tmp.sub("d"));
    EXPECT_TRUE(F::rename(tmp.sub("d/").c_str(), tmp.sub("e/").c_str()));
    EXPECT_TRUE(F::isDir(tmp.sub("e").c_str()));
    EXPECT_TRUE(F::rename(tmp.sub("e\\").c_str(), tmp.sub("f").c_str()));
    EXPECT_TRUE(F::isDir(tmp.sub("f").c_str()));
    EXPECT_FALSE(F::rename(tmp.sub("missing").c_str(), tmp.sub("g").c_str()));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(F::rename(nullptr, "x"));
    EXPECT_FALSE(F::rename("x", ""));
}

namespace {

struct stat LStat(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

}  // namespace

TEST(XCopyTest, SpecialFilesAndUnfollowedLinksAreRecreatedAsTheyAre) {
    TempDir tmp;
    const std::string d = tmp.sub("dir/");
    WriteFile(d + "f", "f");
    MakeDirs(d + "sub");
    ASSERT_EQ(0, mkfifo((d + "fifo").c_str(), 0640));
    ASSERT_EQ(0, mknod((d + "sock").c_str(), S_IFSOCK | 0600, 0));
    const struct {
        const char* name;
        const char* text;
    } links[] = {
        {"self", "."},      {"sub/up", ".."},   {"dangling", "missing"},
        {"loop1", "loop2"}, {"loop2", "loop1"}, {"tofifo", "fifo"},
    };
    for (const auto& l : links)
        ASSERT_EQ(0, symlink(l.text, (d + l.name).c_str()));
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, mknod((d + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
    }

    fileio::TreeCopyReport report;
    FileOpRecorder rec;
    // A FIFO or device opened for reading would hang the copy or never end.
    ASSERT_EQ(FOP_OK, fileio::XCopy(d.c_str(), tmp.sub("t/").c_str(), true,
                                    FileOpRecorder::Callback, rec.entry(), &report));
    const std::string t = tmp.sub("t/dir/");
    EXPECT_EQ("f", ReadFile(t + "f"));
    EXPECT_TRUE(S_ISFIFO(LStat(t + "fifo").st_mode));
    EXPECT_EQ(0640u, LStat(t + "fifo").st_mode & 07777);
    EXPECT_TRUE(S_ISSOCK(LStat(t + "sock").st_mode));
    if (root) {
        EXPECT_TRUE(S_ISCHR(LStat(t + "null").st_mode));
        EXPECT_EQ(makedev(1, 3), LStat(t + "null").st_rdev);
    }
    std::set<std::string> kept;
    for (const auto& l : links) {
        EXPECT_EQ(l.text, testsupport::LinkTarget(t + l.name)) << l.name;
        kept.insert(d + l.name);
    }
    EXPECT_EQ(kept, std::set<std::string>(report.linksKept.begin(), report.linksKept.end()));
    // Each recreated entry has its before and after call, as a copied file.
    int calls = 0;
    for (const FileOpCall& c : rec.calls)
        calls += c.src == d + "sub/up" && c.dst == t + "sub/up";
    EXPECT_EQ(2, calls);
    // Again over the copy: the same entries are replaced, nothing doubles.
    report.linksKept.clear();
    ASSERT_EQ(FOP_OK,
              fileio::XCopy(d.c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr, &report));
    EXPECT_EQ(kept.size(), report.linksKept.size());
    EXPECT_EQ(FolderNames(d), FolderNames(t));
    EXPECT_EQ(FOP_ERR_EXISTS, F::xcopy(d.c_str(), tmp.sub("t/").c_str(), false, nullptr, nullptr));
}

TEST(XCopyTest, ACopyIsWholeOrFails) {
    TempDir tmp;
    chmod(tmp.path().c_str(), 0777);
    // As an unprivileged user, for whom modes count.
    const int status = RunAsNobody([&] {
        const std::string d = tmp.sub("dir/");
        WriteFile(d + "a/f", "f");
        WriteFile(d + "b/g", "g");
        WriteFile(d + "c/h", "h");
        int failures = 0;
        const struct {
            const char* what;
            const char* entry;
            mode_t mode;
            int result;
            int error;
        } cases[] = {
            {"a folder that cannot be listed", "b", 0300, FOP_ERR_OPEN_SOURCE, EACCES},
            {"a folder that cannot be entered", "b", 0600, FOP_ERR_OPEN_SOURCE, EACCES},
            {"a file that cannot be read", "b/g", 0200, FOP_ERR_OPEN_SOURCE, EACCES},
        };
        int n = 0;
        for (const auto& c : cases) {
            chmod((d + c.entry).c_str(), c.mode);
            const std::string out = tmp.sub("out" + std::to_string(++n) + "/");
            errno = 0;
            const int r = F::xcopy(d.c_str(), out.c_str(), true, nullptr, nullptr);
            if (r != c.result || errno != c.error) {
                std::fprintf(stderr, "%s: %d (%s)\n", c.what, r, std::strerror(errno));
                ++failures;
            }
            chmod((d + c.entry).c_str(), c.entry[1] == '\0' ? 0755 : 0644);
        }
        // An entry that cannot be created: a file where the copy needs a folder.
        WriteFile(tmp.sub("t/dir/c"), "in the way");
        if (F::xcopy(d.c_str(), tmp.sub("t/").c_str(), true, nullptr, nullptr) != FOP_ERR_TARGET ||
            errno != ENOTDIR) {
            std::fprintf(stderr, "file in the way: %s\n", std::strerror(errno));
            ++failures;
        }
        return failures;
    });
    EXPECT_EQ(0, status);
}

TEST(CopyTest, WildcardsInFolderNamesAreLiteral) {
    TempDir tmp;
    for (const char* folder : {"a*b", "q?r", "s[t]"}) {
        SCOPED_TRACE(folder);
        const std::string dir = tmp.sub(folder);
        WriteFile(dir + "/f.so", "right");
        WriteFile(dir + "/g.txt", "g");
        // Decoys the folder name would match as a pattern.
        WriteFile(tmp.sub("aXb/f.so"), "wrong");
        WriteFile(tmp.sub("qXr/f.so"), "wrong");
        const std::string out = tmp.sub(std::string("out/") + folder + "/");
        EXPECT_TRUE(F::isDir(dir.c_str()));
        EXPECT_TRUE(F::exist((dir + "/f.so").c_str()));
        EXPECT_EQ(FOP_OK,
                  F::copy((dir + "/f.so").c_str(), (out + "one").c_str(), true, nullptr, nullptr));
        EXPECT_EQ("right", ReadFile(out + "one"));
        // The last part is still a pattern.
        EXPECT_EQ(FOP_OK,
                  F::copy((dir + "/*.so").c_str(), (out + "p/").c_str(), true, nullptr, nullptr));
        EXPECT_EQ((std::set<std::string>{"f.so"}), Names(out + "p"));
        EXPECT_EQ(FOP_OK, F::xcopy(dir.c_str(), (out + "x/").c_str(), true, nullptr, nullptr));
        EXPECT_EQ("right", ReadFile(out + "x/" + folder + "/f.so"));
        std::vector<std::string> listed;
        for (KvORVDirList list((dir + "/*.so").c_str()); list.hasNext();)
            listed.push_back(list.getNext());
        EXPECT_EQ(std::vector<std::string>{dir + "/f.so"}, listed);
        EXPECT_TRUE(F::rename((dir + "/g.txt").c_str(), (dir + "/h.txt").c_str()));
        EXPECT_EQ(FOP_OK, F::unlink((dir + "/h.txt").c_str(), nullptr, nullptr));
        EXPECT_EQ(FOP_OK, F::unlink((dir + "/f.so").c_str(), nullptr, nullptr));
        EXPECT_TRUE(Names(dir).empty());
        EXPECT_EQ("wrong", ReadFile(tmp.sub("aXb/f.so")));
        EXPECT_EQ("wrong", ReadFile(tmp.sub("qXr/f.so")));
    }
}

TEST(KvFileOpToolTest, NothingHangsOnAFifoOrADevice) {
    TempDir tmp;
    ASSERT_EQ(0, mkfifo(tmp.sub("fifo").c_str(), 0666));
    WriteFile(tmp.sub("tree/f"), "f");
    ASSERT_EQ(0, mkfifo(tmp.sub("tree/fifo").c_str(), 0666));
    const std::string tool = std::string(ORVPATCH_BUILD_DIR) + "/kvfileop";
    const std::string fifo = tmp.sub("fifo");
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"copy", fifo, tmp.sub("c1")}, Code(FOP_ERR_OPEN_SOURCE)},
        {{"copy", "/dev/zero", tmp.sub("c2")}, Code(FOP_ERR_OPEN_SOURCE)},
        {{"move", fifo, tmp.sub("m1")}, Code(FOP_ERR_OPEN_SOURCE)},
        {{"comp", fifo, fifo}, 1},
        {{"comp", "/dev/zero", "/dev/zero"}, 1},
        {{"xcopy", tmp.sub("tree"), tmp.sub("x/")}, 0},
        {{"xcopy", fifo, tmp.sub("x1")}, Code(FOP_ERR_OPEN_SOURCE)},
    };
    for (const auto& c : cases) {
        testsupport::ProgramOptions options;
        options.timeoutSeconds = 10;
        const testsupport::ProgramResult r = testsupport::RunProgram(tool, c.args, options);
        EXPECT_FALSE(r.timedOut) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(c.status, r.exitStatus) << c.args[0] << " " << c.args[1];
    }
    EXPECT_TRUE(S_ISFIFO(LStat(tmp.sub("x/tree/fifo")).st_mode));
    EXPECT_TRUE(S_ISFIFO(LStat(fifo).st_mode));  // a failed move keeps its source
    EXPECT_EQ((std::set<std::string>{"fifo", "tree", "x"}), Names(tmp.path()));
}
