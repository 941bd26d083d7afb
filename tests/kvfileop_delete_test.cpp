// Deleting files, folders, patterns and trees, and links met on the way.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "support/FileOpRecorder.h"
#include "support/TempDir.h"

using kvfileop_detail::_unlinkOne;
using testsupport::FileOpCall;
using testsupport::FileOpRecorder;
using testsupport::MakeDirs;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::RunAsNobody;
using testsupport::TempDir;
using testsupport::WriteFile;
typedef KvORVFileOpUtil F;

namespace {

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

TEST(UnlinkOneTest, ResultsAndCallbacks) {
    TempDir tmp;
    EXPECT_EQ(FOP_ERR_INVALID, _unlinkOne(nullptr, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, _unlinkOne("", nullptr, nullptr));
    EXPECT_EQ(FOP_OK, _unlinkOne(tmp.sub("missing").c_str(), nullptr, nullptr));
    WriteFile(tmp.sub("full/f"), "x");
    EXPECT_EQ(FOP_OK, _unlinkOne(tmp.sub("full").c_str(), nullptr, nullptr));
    EXPECT_TRUE(PathExists(tmp.sub("full/f")));
    {
        FileOpRecorder rec;
        ASSERT_EQ(FOP_OK,
                  _unlinkOne(tmp.sub("full/f").c_str(), FileOpRecorder::Callback, rec.entry()));
        ASSERT_EQ(2u, rec.calls.size());
        EXPECT_EQ(FOP_DELETE_FILE, rec.calls[0].action);
        EXPECT_EQ(FOP_BEFORE, rec.calls[0].phase);
        EXPECT_EQ(FOP_AFTER, rec.calls[1].phase);
        EXPECT_EQ("<null>", rec.calls[0].dst);
        EXPECT_EQ(tmp.sub("full/f"), rec.calls[0].src);
    }
    {
        FileOpRecorder rec;
        ASSERT_EQ(FOP_OK, _unlinkOne(tmp.sub("full").c_str(), FileOpRecorder::Callback, rec.entry()));
        ASSERT_EQ(2u, rec.calls.size());
        EXPECT_EQ(FOP_REMOVE_DIR, rec.calls[0].action);
        EXPECT_FALSE(PathExists(tmp.sub("full")));
    }
    {
        FileOpRecorder rec;  // a missing file: success, but no after call
        ASSERT_EQ(FOP_OK, _unlinkOne(tmp.sub("gone").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_EQ(1u, rec.calls.size());
    }
    struct Case {
        int before, after, result;
        bool removed;
    };
    for (const Case& c :
         {Case{2, 0, 0, false}, Case{7, 0, 7, false}, Case{0, 2, 0, true}, Case{0, 5, 5, true}}) {
        WriteFile(tmp.sub("v"), "v");
        FileOpRecorder rec;
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            return call.phase == FOP_BEFORE ? c.before : c.after;
        };
        EXPECT_EQ(c.result, _unlinkOne(tmp.sub("v").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_EQ(c.removed, !PathExists(tmp.sub("v")));
    }
    // A refused delete is -1.
    WriteFile(tmp.sub("ro/f"), "x");
    chmod(tmp.sub("ro").c_str(), 0555);
    EXPECT_EQ(0, RunAsNobody([&] {
                  return _unlinkOne(tmp.sub("ro/f").c_str(), nullptr, nullptr) == FOP_ERR_INVALID ? 0
                                                                                                : 1;
              }));
    EXPECT_TRUE(PathExists(tmp.sub("ro/f")));
}

TEST(UnlinkTest, FilesFoldersAndPatterns) {
    TempDir tmp;
    EXPECT_EQ(FOP_ERR_INVALID, F::unlink(nullptr, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, F::unlink("", nullptr, nullptr));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("missing").c_str(), nullptr, nullptr));
    WriteFile(tmp.sub("full/f"), "x");
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("full").c_str(), nullptr, nullptr));
    EXPECT_TRUE(PathExists(tmp.sub("full/f")));
    MakeDirs(tmp.sub("empty"));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("empty/").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("empty")));
    // Only files: the pattern empties the folder, then the folder goes.
    WriteFile(tmp.sub("g1/a"), "a");
    WriteFile(tmp.sub("g1/b"), "b");
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("g1/*").c_str(), nullptr, nullptr));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("g1").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("g1")));
    // A non-empty subfolder stays, and so does the folder; still success.
    WriteFile(tmp.sub("g2/a"), "a");
    WriteFile(tmp.sub("g2/sub/b"), "b");
    MakeDirs(tmp.sub("g2/emptysub"));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("g2/*").c_str(), nullptr, nullptr));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("g2").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("g2/a")));
    EXPECT_FALSE(PathExists(tmp.sub("g2/emptysub")));
    EXPECT_TRUE(PathExists(tmp.sub("g2/sub/b")));
    // A pattern passes over folders whose names do not match.
    WriteFile(tmp.sub("g3/x.so"), "x");
    WriteFile(tmp.sub("g3/y.txt"), "y");
    MakeDirs(tmp.sub("g3/keep"));
    MakeDirs(tmp.sub("g3/drop.so"));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("g3\\*.so").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("g3/x.so")));
    EXPECT_FALSE(PathExists(tmp.sub("g3/drop.so")));
    EXPECT_TRUE(PathExists(tmp.sub("g3/y.txt")));
    EXPECT_TRUE(PathExists(tmp.sub("g3/keep")));
}

TEST(UnlinkTest, LinksAreRemovedAsLinks) {
    TempDir tmp;
    WriteFile(tmp.sub("target/inside"), "keep");
    WriteFile(tmp.sub("file"), "keep");
    MakeDirs(tmp.sub("d"));
    symlink("../target", tmp.sub("d/dirlink").c_str());
    symlink("../file", tmp.sub("d/filelink").c_str());
    symlink(tmp.sub("target").c_str(), tmp.sub("top").c_str());
    ASSERT_TRUE(IsLink(tmp.sub("top")) && IsLink(tmp.sub("d/dirlink")));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("top/").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("top")));
    EXPECT_EQ(FOP_OK, F::unlink(tmp.sub("d/*link").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("d/dirlink")));
    EXPECT_FALSE(PathExists(tmp.sub("d/filelink")));
    EXPECT_EQ("keep", ReadFile(tmp.sub("target/inside")));
    EXPECT_EQ("keep", ReadFile(tmp.sub("file")));
}

TEST(XUnlinkTest, TreesPatternsAndFiles) {
    TempDir tmp;
    EXPECT_EQ(FOP_ERR_INVALID, F::xunlink(nullptr, nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, F::xunlink("", nullptr, nullptr));
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("missing").c_str(), nullptr, nullptr));
    EXPECT_EQ(FOP_ERR_INVALID, F::xunlink("/", nullptr, nullptr));
    WriteFile(tmp.sub("t/a"), "a");
    WriteFile(tmp.sub("t/s/b"), "b");
    WriteFile(tmp.sub("t/s/deep/c"), "c");
    MakeDirs(tmp.sub("t/e"));
    {
        FileOpRecorder rec;
        ASSERT_EQ(FOP_OK, F::xunlink(tmp.sub("t/").c_str(), FileOpRecorder::Callback, rec.entry()));
        EXPECT_FALSE(PathExists(tmp.sub("t")));
        // Children before parents: nothing is removed after a folder above it.
        std::set<std::string> removed;
        for (const FileOpCall& c : rec.calls) {
            if (c.phase != FOP_AFTER)
                continue;
            for (const std::string& r : removed)
                EXPECT_NE(0u, c.src.rfind(r + "/", 0)) << c.src;
            removed.insert(c.src);
        }
        EXPECT_EQ(7u, removed.size());
        EXPECT_EQ(tmp.sub("t"), rec.calls.back().src);
        EXPECT_EQ(FOP_REMOVE_DIR, rec.calls.back().action);
    }
    // A pattern removes the matching files and folder trees, not the holder.
    WriteFile(tmp.sub("p/x.so"), "x");
    WriteFile(tmp.sub("p/y.txt"), "y");
    WriteFile(tmp.sub("p/lib.so/inner"), "i");
    WriteFile(tmp.sub("p/other/z.so"), "z");
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("p/*.so").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("p/x.so")));
    EXPECT_FALSE(PathExists(tmp.sub("p/lib.so")));
    EXPECT_TRUE(PathExists(tmp.sub("p/y.txt")));
    EXPECT_TRUE(PathExists(tmp.sub("p/other/z.so")));
    // A single file.
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("p/y.txt").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("p/y.txt")));
    EXPECT_TRUE(PathExists(tmp.sub("p/other/z.so")));
}

TEST(XUnlinkTest, NeverLeavesTheNamedTree) {
    TempDir tmp;
    WriteFile(tmp.sub("outside/keep"), "keep");
    WriteFile(tmp.sub("outside/sub/keep2"), "keep");
    WriteFile(tmp.sub("tree/f"), "f");
    symlink("../outside", tmp.sub("tree/dirlink").c_str());
    symlink("../outside/keep", tmp.sub("tree/filelink").c_str());
    symlink("..", tmp.sub("tree/loop").c_str());
    symlink("outside", tmp.sub("top").c_str());
    // A link named at the top goes as a link, with or without "/".
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("top/").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("top")));
    symlink("outside", tmp.sub("top").c_str());
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("top").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("top")));
    EXPECT_EQ(FOP_OK, F::xunlink(tmp.sub("tree").c_str(), nullptr, nullptr));
    EXPECT_FALSE(PathExists(tmp.sub("tree")));
    EXPECT_EQ("keep", ReadFile(tmp.sub("outside/keep")));
    EXPECT_EQ("keep", ReadFile(tmp.sub("outside/sub/keep2")));
    EXPECT_TRUE(PathExists(tmp.sub("outside")));
}

TEST(XUnlinkTest, CallbackSkipAndAbort) {
    TempDir tmp;
    for (int answer : {2, 7}) {
        const std::string t = tmp.sub("t" + std::to_string(answer));
        WriteFile(t + "/a", "a");
        WriteFile(t + "/b", "b");
        WriteFile(t + "/c", "c");
        FileOpRecorder rec;
        int befores = 0;
        std::string hit;
        rec.answer = [&](const FileOpCall& call, KvORVFileOpUtil::CallbackEntry*) {
            if (call.phase == FOP_BEFORE && call.action == FOP_DELETE_FILE && ++befores == 2) {
                hit = call.src;
                return answer;
            }
            return 0;
        };
        const int r = F::xunlink(t.c_str(), FileOpRecorder::Callback, rec.entry());
        EXPECT_TRUE(PathExists(hit));
        EXPECT_TRUE(PathExists(t));  // never empty, so never removed
        if (answer == 2) {
            EXPECT_EQ(0, r);
            EXPECT_EQ(3, befores);
        } else {
            EXPECT_EQ(7, r);
            EXPECT_EQ(2, befores);  // the third file is not reached
        }
    }
}
