// Path, name, wildcard and existence helpers of the file operations library.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <string>

#include "UpdateORV/KvFileOpUtil.h"
#include "UpdateORV/KvFileOpUtilInternal.h"
#include "support/TempDir.h"

using namespace kvfileop_detail;
using testsupport::TempDir;
using testsupport::WriteFile;
typedef KvORVFileOpUtil F;

namespace {

// Puts the character type back when a test ends, whatever happens.
struct CharType {
    explicit CharType(int type) : saved(GetCurrentCharType()) { SetCurrentCharType(type); }
    ~CharType() { SetCurrentCharType(saved); }
    int saved;
};

std::string Normalized(std::string s) {
    normalizeSeptor(s);
    return s;
}

// The matcher written as the plain recursion it must agree with.
bool ReferenceMatch(const char* p, const char* s) {
    if (*p == '\0' && *s == '\0')
        return true;
    if (*p == '*') {
        if (ReferenceMatch(p + 1, s))
            return true;
        if (*s != '\0' && ReferenceMatch(p, s + 1))
            return true;
    }
    if (*p == '?' && *s != '\0') {
        if (ReferenceMatch(p + 1, s + 1))
            return true;
    }
    if (*p != *s)
        return false;
    return ReferenceMatch(p + 1, s + 1);
}

}  // namespace

TEST(CharTypeTest, LeadBytesPerCodePage) {
    {
        CharType ct(0);
        EXPECT_FALSE(IsLeadingByteOfDBC('\x81'));
        EXPECT_FALSE(IsLeadingByteOfDBC('\xFE'));
    }
    {
        CharType ct(932);
        EXPECT_EQ(932, GetCurrentCharType());
        EXPECT_FALSE(IsLeadingByteOfDBC('\x80'));
        EXPECT_TRUE(IsLeadingByteOfDBC('\x81'));
        EXPECT_TRUE(IsLeadingByteOfDBC('\x9F'));
        EXPECT_FALSE(IsLeadingByteOfDBC('\xA0'));
        EXPECT_FALSE(IsLeadingByteOfDBC('\xDF'));
        EXPECT_TRUE(IsLeadingByteOfDBC('\xE0'));
        EXPECT_TRUE(IsLeadingByteOfDBC('\xFC'));
        EXPECT_FALSE(IsLeadingByteOfDBC('\xFD'));
    }
    for (int cp : {936, 949, 950}) {
        CharType ct(cp);
        EXPECT_FALSE(IsLeadingByteOfDBC('\x80')) << cp;
        EXPECT_TRUE(IsLeadingByteOfDBC('\x81')) << cp;
        EXPECT_TRUE(IsLeadingByteOfDBC('\xA0')) << cp;
        EXPECT_TRUE(IsLeadingByteOfDBC('\xFE')) << cp;
        EXPECT_FALSE(IsLeadingByteOfDBC('\xFF')) << cp;
        EXPECT_FALSE(IsLeadingByteOfDBC('a')) << cp;
    }
    {
        CharType ct(1252);  // not a double-byte code page: single-byte only
        EXPECT_FALSE(IsLeadingByteOfDBC('\x81'));
        const char* pair = "\x81\x5C";
        EXPECT_FALSE(IsTrailingByteOfDBC(pair, pair + 1));
    }
}

TEST(CharTypeTest, TrailingByteRecognition) {
    CharType ct(932);
    const char* s = "\x95\x5C\x5C";
    EXPECT_FALSE(IsTrailingByteOfDBC(s, s));
    EXPECT_TRUE(IsTrailingByteOfDBC(s, s + 1));
    EXPECT_FALSE(IsTrailingByteOfDBC(s, s + 2));
    // Two lead bytes in a row: the second is the trailing byte of the first
    // character, so the byte after it starts a new character.
    const char* t = "\x81\x81\x5C";
    EXPECT_TRUE(IsTrailingByteOfDBC(t, t + 1));
    EXPECT_FALSE(IsTrailingByteOfDBC(t, t + 2));
    // A byte below 0x40 is never a trailing byte, "/" included.
    const char* u = "\x81/";
    EXPECT_FALSE(IsTrailingByteOfDBC(u, u + 1));
    // Bad arguments.
    EXPECT_FALSE(IsTrailingByteOfDBC(nullptr, s));
    EXPECT_FALSE(IsTrailingByteOfDBC(s, nullptr));
    EXPECT_FALSE(IsTrailingByteOfDBC(s + 1, s));
}

TEST(SeparatorTest, NormalizeRewritesBackslashesOnly) {
    EXPECT_TRUE(isPathSeparator('/'));
    EXPECT_FALSE(isPathSeparator('\\'));
    EXPECT_EQ("a/b/c", Normalized("a\\b\\c"));
    EXPECT_EQ("a//b", Normalized("a//b"));
    EXPECT_EQ("a///", Normalized("a\\\\/"));
    EXPECT_EQ("//", Normalized("\\\\"));
    EXPECT_EQ("dir/", Normalized("dir\\"));
    EXPECT_EQ("", Normalized(""));
    {
        CharType ct(932);
        EXPECT_EQ("\x95\x5C/", Normalized("\x95\x5C\x5C"));
        // A lead byte as the very last byte has no trailing byte.
        EXPECT_EQ("a/\x95", Normalized("a\\\x95"));
        // Lead byte followed by a low byte: the pair is still one character,
        // and the backslash after it is a separator.
        EXPECT_EQ("\x81\x30/", Normalized("\x81\x30\\"));
    }
    {
        CharType ct(0);
        EXPECT_EQ("\x95//", Normalized("\x95\x5C\x5C"));
    }
}

TEST(WildcardTest, IsWildcardName) {
    EXPECT_TRUE(isWildcardName("a?b"));
    EXPECT_TRUE(isWildcardName("*"));
    EXPECT_TRUE(isWildcardName("dir/*.so"));
    EXPECT_FALSE(isWildcardName("abc"));
    EXPECT_FALSE(isWildcardName(""));
    EXPECT_FALSE(isWildcardName(nullptr));
    EXPECT_TRUE(_charequal('a', 'a'));
    EXPECT_FALSE(_charequal('a', 'A'));
}

TEST(WildcardTest, MatchSemantics) {
    EXPECT_TRUE(_fnmatch("*", ""));
    EXPECT_TRUE(_fnmatch("*", "anything.at/all"));
    EXPECT_TRUE(_fnmatch("*", ".hidden"));
    EXPECT_TRUE(_fnmatch("?", "x"));
    EXPECT_FALSE(_fnmatch("?", ""));
    EXPECT_FALSE(_fnmatch("?", "xy"));
    EXPECT_FALSE(_fnmatch("a?", "a"));  // "?" never matches the end
    EXPECT_TRUE(_fnmatch("*.so", "libx.so"));
    EXPECT_FALSE(_fnmatch("*.SO", "libx.so"));
    EXPECT_FALSE(_fnmatch("*.so", "libx.so.1"));
    EXPECT_TRUE(_fnmatch("a*b", "a/x/b"));  // a star spans separators
    EXPECT_TRUE(_fnmatch("a*b", "ab"));
    EXPECT_FALSE(_fnmatch("a*b", "a/x/bc"));
    EXPECT_TRUE(_fnmatch("", ""));
    EXPECT_FALSE(_fnmatch("", "a"));
    EXPECT_FALSE(_fnmatch("a", ""));
    EXPECT_TRUE(_fnmatch("**", ""));
    EXPECT_TRUE(_fnmatch("a*", "a"));
    EXPECT_TRUE(_fnmatch("*a*", "bab"));
    EXPECT_FALSE(_fnmatch("[ab]", "a"));  // no bracket expressions
    EXPECT_TRUE(_fnmatch("[ab]", "[ab]"));
    EXPECT_TRUE(_fnmatch("\\*", "\\x"));  // no escape character
    EXPECT_FALSE(_fnmatch("\\*", "*"));
    EXPECT_TRUE(_fnmatch("x*y*z", "xAyByCz"));
    EXPECT_FALSE(_fnmatch(nullptr, "a"));
    EXPECT_FALSE(_fnmatch("a", nullptr));
}

TEST(WildcardTest, AgreesWithFullBacktracking) {
    // Every pattern and name over a small alphabet that holds the wildcard
    // bytes themselves, so literal fallbacks of "*" and "?" are exercised.
    const char alphabet[] = {'a', 'b', '*', '?'};
    std::mt19937 rng(12345);
    int compared = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string p, s;
        const int plen = rng() % 7, slen = rng() % 8;
        for (int i = 0; i < plen; ++i)
            p += alphabet[rng() % 4];
        for (int i = 0; i < slen; ++i)
            s += alphabet[rng() % 4];
        ASSERT_EQ(ReferenceMatch(p.c_str(), s.c_str()), _fnmatch(p.c_str(), s.c_str()))
            << "pattern '" << p << "' name '" << s << "'";
        ++compared;
    }
    EXPECT_EQ(20000, compared);
}

TEST(WildcardTest, ManyStarsAgainstLongNameIsFast) {
    const std::string name(10000, 'a');
    std::string failing;
    for (int i = 0; i < 30; ++i)
        failing += "*a";
    failing += "b";  // can never match: forces the worst case
    const std::string stars(30, '*');
    struct Case {
        std::string pattern;
        bool matches;
    };
    for (const Case& c : {Case{failing, false}, Case{stars, true}, Case{stars + "b", false}}) {
        // The best of a few runs, so that a busy machine does not decide.
        long long best = -1;
        for (int run = 0; run < 5; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const bool matched = _fnmatch(c.pattern.c_str(), name.c_str());
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(c.matches, matched) << c.pattern;
            const long long us =
                std::chrono::duration_cast<std::chrono::microseconds>(took).count();
            best = (best < 0 || us < best) ? us : best;
        }
        EXPECT_LT(best, 1000) << c.pattern;
    }
}

TEST(NameTest, DirNameFileNameLastDirName) {
    EXPECT_EQ("a/b/", F::getDirName("a/b/c"));
    EXPECT_EQ("a/b/", F::getDirName("a/b/"));
    EXPECT_EQ("", F::getDirName("c"));
    EXPECT_EQ("", F::getDirName(""));
    EXPECT_EQ("", F::getDirName(nullptr));
    EXPECT_EQ("/", F::getDirName("/x"));  // the root is a folder part
    EXPECT_EQ("/", F::getDirName("/"));
    EXPECT_EQ("a//", F::getDirName("a//b"));

    EXPECT_EQ("c", F::getFileName("a/b/c"));
    EXPECT_EQ("c", F::getFileName("/c"));
    EXPECT_EQ("c", F::getFileName("c"));
    EXPECT_EQ("", F::getFileName("a/b/"));
    EXPECT_EQ("", F::getFileName(""));
    EXPECT_EQ("", F::getFileName(nullptr));

    EXPECT_EQ("b/", getLastDirName("a/b/c.txt"));
    EXPECT_EQ("FileGroup1/", getLastDirName("./FileGroup1/"));
    EXPECT_EQ("a/", getLastDirName("a/b"));
    EXPECT_EQ("", getLastDirName("abc"));
    EXPECT_EQ("", getLastDirName("/abc"));
    EXPECT_EQ("a/", getLastDirName("/a/"));
    EXPECT_EQ("", getLastDirName(""));
    EXPECT_EQ("", getLastDirName(nullptr));

    EXPECT_TRUE(F::isDirName("a/"));
    EXPECT_FALSE(F::isDirName("a"));
    EXPECT_FALSE(F::isDirName(""));
    EXPECT_FALSE(F::isDirName(nullptr));
}

TEST(NameTest, DoubleByteNamesKeepTheirBackslash) {
    CharType ct(932);
    // "\x95\x5C" is one character: its backslash is neither a separator nor
    // rewritten, but "/" after a lead byte is always a separator.
    EXPECT_EQ("d/", F::getDirName("d/\x95\x5C"));
    EXPECT_EQ("\x95\x5C", F::getFileName("d/\x95\x5C"));
    EXPECT_FALSE(F::isDirName("\x95\x5C"));
    EXPECT_TRUE(F::isDirName("\x95\x5C/"));
    EXPECT_EQ("\x81/", F::getDirName("\x81/x"));
}

TEST(ExistenceTest, ExistIsExistIsDir) {
    TempDir tmp;
    WriteFile(tmp.sub("file"), "x");
    mkdir(tmp.sub("dir").c_str(), 0755);
    symlink("dir", tmp.sub("linkdir").c_str());
    symlink("missing", tmp.sub("dangling").c_str());

    EXPECT_TRUE(F::exist(tmp.sub("file").c_str()));
    EXPECT_TRUE(F::exist(tmp.sub("dir").c_str()));  // a folder opens for reading too
    EXPECT_FALSE(F::exist(tmp.sub("missing").c_str()));
    EXPECT_FALSE(F::exist(""));
    EXPECT_FALSE(F::exist(nullptr));

    EXPECT_TRUE(F::isExist(tmp.sub("file").c_str()));
    EXPECT_TRUE(F::isExist(tmp.sub("dir").c_str()));
    EXPECT_FALSE(F::isExist(tmp.sub("missing").c_str()));
    EXPECT_FALSE(F::isExist(tmp.sub("dangling").c_str()));
    EXPECT_FALSE(F::isExist(""));
    EXPECT_FALSE(F::isExist(nullptr));

    EXPECT_TRUE(F::isDir(tmp.sub("dir").c_str()));
    EXPECT_TRUE(F::isDir(tmp.sub("dir/").c_str()));
    EXPECT_TRUE(F::isDir(tmp.sub("linkdir").c_str()));  // links are followed
    EXPECT_TRUE(F::isDir("/"));
    EXPECT_FALSE(F::isDir(tmp.sub("file").c_str()));
    EXPECT_FALSE(F::isDir(tmp.sub("file/").c_str()));
    EXPECT_FALSE(F::isDir(tmp.sub("missing").c_str()));
    EXPECT_FALSE(F::isDir(""));
    EXPECT_FALSE(F::isDir(nullptr));
}
