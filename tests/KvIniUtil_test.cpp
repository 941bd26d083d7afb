// The INI reader: header and key-line parsing, length limits, lookups and the
// buffer cut, failed re-opens, and the dump format.
#include "common/KvIniUtil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <string>

#include "support/TempDir.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Writes `content` to a file in `dir` and opens a reader on it.
int OpenText(KvIniReader& reader, const TempDir& dir, const std::string& content) {
    std::string path = dir.sub("test.ini");
    WriteFile(path, content);
    return reader.open(path.c_str());
}

// The value of section/key, or the result code as "#<code>".
std::string Get(KvIniReader& reader, const char* section, const char* key, int size = 512) {
    std::string buf(static_cast<size_t>(size), '\0');
    int len = size;
    int rc = reader.getValue(section, key, &buf[0], &len);
    if (rc != IDD_ERR_ZERO) {
        return "#" + std::to_string(rc);
    }
    EXPECT_EQ(static_cast<size_t>(len), std::strlen(buf.c_str()));
    return std::string(buf.c_str());
}

std::string Code(int rc) {
    return "#" + std::to_string(rc);
}

std::string Dump(KvIniReader& reader) {
    testing::internal::CaptureStdout();
    reader.dumpStdout();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(KvIniReader, EmptyFileAndEndMarkOnlyHoldNoSections) {
    TempDir dir;
    for (const char* content : {"", "[END]\n", "[END]", "\n\n[END]\n[S]\nk=v\n"}) {
        KvIniReader reader;
        ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, content)) << content;
        EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "S", "k")) << content;
        EXPECT_EQ(IDD_ERR_SECTION_NOTFOUND, reader.getValueCount("S", "k"));
        EXPECT_EQ("[END]\n", Dump(reader));
    }
}

TEST(KvIniReader, EndMarkStopsReadingOnlyWhenExact) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO,
              OpenText(reader, dir, "[A]\nk=1\n[END] \nk=2\n[end]\nk=3\n[END]\r\n[B]\nk=4\n"));
    EXPECT_EQ("1", Get(reader, "A", "k"));
    // "[END] " is the header of a section named "END"; "[end]" names "end".
    EXPECT_EQ("2", Get(reader, "END", "k"));
    EXPECT_EQ("3", Get(reader, "end", "k"));
    // The real end mark (its CR LF stripped) ends the file.
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "B", "k"));
}

TEST(KvIniReader, HeadersOnlyInColumnOneAndCutAtLastBracket) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir,
                                     "k=before\n"
                                     "[S]\n"
                                     "  [T]\n"
                                     "  [U]=x\n"
                                     "[a]b]tail\n"
                                     "k=ab\n"
                                     "[ sp ]\n"
                                     "k=blank\n"
                                     "[nobracket\n"
                                     "k=stillsp\n"));
    // The key line before the first header belongs to nothing.
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", "k"));
    // Indented brackets are a key line: skipped without "=", kept with it.
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "T", "k"));
    EXPECT_EQ("x", Get(reader, "S", "  [U]"));
    EXPECT_EQ(1, reader.getValueCount("S", "  [U]"));
    EXPECT_EQ("ab", Get(reader, "a]b", "k"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "a", "k"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "sp", "k"));
    // A "[" line without "]" is skipped; the section before it goes on.
    EXPECT_EQ(2, reader.getValueCount(" sp ", "k"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "nobracket", "k"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "nobracke", "k"));
}

TEST(KvIniReader, KeyLinesSplitAtFirstEqualsWithoutTrimming) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir,
                                     "[S]\n"
                                     "; comment\n"
                                     "; a=b\n"
                                     "noequals\n"
                                     " k = v \n"
                                     "url=a=b=c\n"
                                     "=emptyname\n"
                                     "emptyvalue=\n"
                                     "Name=upper\n"));
    EXPECT_EQ(" v ", Get(reader, "S", " k "));
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", "k"));
    EXPECT_EQ("b", Get(reader, "S", "; a"));
    EXPECT_EQ(0, reader.getValueCount("S", "; comment"));
    EXPECT_EQ(0, reader.getValueCount("S", "noequals"));
    EXPECT_EQ("a=b=c", Get(reader, "S", "url"));
    EXPECT_EQ("emptyname", Get(reader, "S", ""));
    EXPECT_EQ("", Get(reader, "S", "emptyvalue"));
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", "name"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "s", "Name"));
}

TEST(KvIniReader, DuplicateKeysKeptAndOnlyFirstSectionSearched) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO,
              OpenText(reader, dir, "[S]\nk=1\nk=2\nother=o\nk=3\n[E]\n[S]\nx=1\nk=9\n"));
    EXPECT_EQ("1", Get(reader, "S", "k"));
    EXPECT_EQ(3, reader.getValueCount("S", "k"));
    char out[16];
    for (int index = 0; index < 3; ++index) {
        int len = sizeof(out);
        ASSERT_EQ(IDD_ERR_ZERO, reader.getValueAt("S", "k", out, &len, index));
        EXPECT_EQ(std::to_string(index + 1), out);
        EXPECT_EQ(1, len);
    }
    std::strcpy(out, "keep");
    int len = sizeof(out);
    EXPECT_EQ(IDD_ERR_VALUE_NOTFOUND, reader.getValueAt("S", "k", out, &len, 3));
    EXPECT_EQ(IDD_ERR_VALUE_NOTFOUND, reader.getValueAt("S", "k", out, &len, -1));
    EXPECT_STREQ("keep", out);
    EXPECT_EQ(static_cast<int>(sizeof(out)), len);
    // The second [S] holds x, but it is never searched.
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", "x"));
    EXPECT_EQ(0, reader.getValueCount("S", "x"));
    // An empty section answers "not found" and a count of 0.
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "E", "k"));
    EXPECT_EQ(0, reader.getValueCount("E", "k"));
    EXPECT_EQ(IDD_ERR_SECTION_NOTFOUND, reader.getValueCount("missing", "k"));
}

TEST(KvIniReader, LineEndsStripAtMostTwoCharacters) {
    TempDir dir;
    KvIniReader lf;
    KvIniReader crlf;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(lf, dir, "[S]\na=1\nb=2\n[T]\nc=3"));
    const std::string lfDump = Dump(lf);
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(crlf, dir, "[S]\r\na=1\r\nb=2\r\n[T]\r\nc=3\r\n"));
    EXPECT_EQ(lfDump, Dump(crlf));
    EXPECT_EQ("1", Get(crlf, "S", "a"));

    KvIniReader odd;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(odd, dir, "[S]\na=1\r\n\nb=2\r\r\nc=3\r\n\r\n"));
    EXPECT_EQ("1", Get(odd, "S", "a"));
    // Three line-end characters: the first CR stays in the value.
    EXPECT_EQ("2\r", Get(odd, "S", "b"));
    EXPECT_EQ("3", Get(odd, "S", "c"));
}

TEST(KvIniReader, NameAndValueLengthLimits) {
    TempDir dir;
    const std::string n62(62, 'a');
    const std::string n63(63, 'b');
    const std::string n64(64, 'c');
    const std::string v254(254, 'x');
    const std::string v255(255, 'y');
    const std::string v256(256, 'z');
    const std::string h62(62, 'h');
    const std::string h63 = h62 + "i";
    const std::string h70 = std::string(70, 'j');
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir,
                                     "[S]\n" + n62 + "=v62\n" + n63 + "=v63\n" + n64 + "=v64\n" +
                                         "a=" + v254 + "\nb=" + v255 + "\nc=" + v256 + "\n" + "[" +
                                         h63 + "]\nk=long\n" + "[" + h70 + "]\nk=longer\n"));
    EXPECT_EQ("v62", Get(reader, "S", n62.c_str()));
    // 63 characters are stored as the first 62 ...
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", n63.c_str()));
    EXPECT_EQ("v63", Get(reader, "S", n63.substr(0, 62).c_str()));
    // ... 64 make the line disappear.
    EXPECT_EQ(0, reader.getValueCount("S", n64.substr(0, 62).c_str()));
    EXPECT_EQ(v254, Get(reader, "S", "a"));
    EXPECT_EQ(v255.substr(0, 254), Get(reader, "S", "b"));
    EXPECT_EQ(Code(IDD_ERR_VALUE_NOTFOUND), Get(reader, "S", "c"));
    // Section names are cut silently at 62 characters whatever their length.
    EXPECT_EQ("long", Get(reader, h62.c_str(), "k"));
    EXPECT_EQ("longer", Get(reader, h70.substr(0, 62).c_str(), "k"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, h63.c_str(), "k"));
}

TEST(KvIniReader, LongPhysicalLinesArriveInPieces) {
    TempDir dir;
    // 1023 characters fill one piece; the rest of the line is a piece of its own.
    const std::string first = "k=" + std::string(1021, 'p');
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[S]\n" + first + "tail=t\nafter=1\n"));
    EXPECT_EQ(0, reader.getValueCount("S", "k"));  // value over 255 characters
    EXPECT_EQ("t", Get(reader, "S", "tail"));
    EXPECT_EQ("1", Get(reader, "S", "after"));
}

TEST(KvIniReader, OutputBufferCutAndTooSmallSizesRefused) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[S]\nk=0123456789\n"));
    char out[16];
    std::memset(out, '#', sizeof(out));
    int len = 8;
    ASSERT_EQ(IDD_ERR_ZERO, reader.getValue("S", "k", out, &len));
    EXPECT_STREQ("012345", out);
    EXPECT_EQ(6, len);
    EXPECT_EQ('#', out[7]);  // nothing written past the copy limit

    len = 2;
    ASSERT_EQ(IDD_ERR_ZERO, reader.getValue("S", "k", out, &len));
    EXPECT_STREQ("", out);
    EXPECT_EQ(0, len);

    // Sizes below 2 leave no room for the NUL: refused, nothing touched.
    for (int size : {1, 0, -1, -1000}) {
        std::memset(out, '#', sizeof(out));
        len = size;
        EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValue("S", "k", out, &len)) << size;
        EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValueAt("S", "k", out, &len, 0)) << size;
        EXPECT_EQ(size, len);
        EXPECT_EQ('#', out[0]);
    }

    // Lookups that fail leave out and *ioLen as they were.
    std::strcpy(out, "keep");
    len = 16;
    EXPECT_EQ(IDD_ERR_VALUE_NOTFOUND, reader.getValue("S", "missing", out, &len));
    EXPECT_EQ(IDD_ERR_SECTION_NOTFOUND, reader.getValue("T", "k", out, &len));
    EXPECT_STREQ("keep", out);
    EXPECT_EQ(16, len);
}

TEST(KvIniReader, NullArguments) {
    TempDir dir;
    KvIniReader reader;
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.open(nullptr));
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[S]\nk=v\n"));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.open(nullptr));
    char out[8];
    int len = sizeof(out);
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValue(nullptr, "k", out, &len));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValue("S", nullptr, out, &len));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValue("S", "k", nullptr, &len));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValue("S", "k", out, nullptr));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValueAt("S", "k", out, nullptr, 0));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValueCount(nullptr, "k"));
    EXPECT_EQ(IDD_ERR_NULL_ARGUMENT, reader.getValueCount("S", nullptr));
    // A null path did not clear what was read.
    EXPECT_EQ("v", Get(reader, "S", "k"));
}

TEST(KvIniReader, FailedReopenKeepsContentAndCloseEmpties) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[S]\nk=first\n"));
    // Nothing but a regular file is read: a folder holds no lines, and a FIFO
    // or a device could block the reader or never end. Each is refused at
    // once, with errno saying why (the test hangs if one is read).
    const std::string fifo = dir.sub("fifo.ini");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    const std::string link = dir.sub("zero.ini");
    ASSERT_EQ(0, symlink("/dev/zero", link.c_str()));
    const struct {
        std::string path;
        int error;
    } refused[] = {{dir.sub("missing.ini"), ENOENT},
                   {dir.path(), EISDIR},
                   {fifo, EINVAL},
                   {"/dev/zero", EINVAL},
                   {link, EINVAL}};
    for (const auto& c : refused) {
        errno = 0;
        EXPECT_EQ(IDD_ERR_INIFILE_OPENFAILED, reader.open(c.path.c_str())) << c.path;
        EXPECT_EQ(c.error, errno) << c.path;
    }
    EXPECT_EQ("first", Get(reader, "S", "k"));

    // A successful re-open replaces everything.
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[T]\nk=second\n"));
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "S", "k"));
    EXPECT_EQ("second", Get(reader, "T", "k"));

    EXPECT_EQ(0, reader.close());
    EXPECT_EQ(Code(IDD_ERR_SECTION_NOTFOUND), Get(reader, "T", "k"));
    EXPECT_EQ("[END]\n", Dump(reader));
    ASSERT_EQ(IDD_ERR_ZERO, OpenText(reader, dir, "[U]\nk=third\n"));
    EXPECT_EQ("third", Get(reader, "U", "k"));
}

TEST(KvIniReader, DumpListsSectionsAndValuesInFileOrder) {
    TempDir dir;
    KvIniReader reader;
    ASSERT_EQ(IDD_ERR_ZERO,
              OpenText(reader, dir, "lost=1\n[A]\nx=1\nx=2\ny==\n[B]\n[A]\nz=3\n[END]\n[C]\n"));
    EXPECT_EQ("[A]\nx=1\nx=2\ny==\n\n[B]\n\n[A]\nz=3\n\n[END]\n", Dump(reader));
}

TEST(KvIniReader, ErrorDescriptions) {
    EXPECT_STREQ("IDD_ERR_ZERO", getIDDErrDesc(IDD_ERR_ZERO));
    EXPECT_STREQ("IDD_ERR_INVALID_VALUE", getIDDErrDesc(IDD_ERR_INVALID_VALUE));
    EXPECT_STREQ("IDD_ERR_VALUE_NAME_OVERSIZE", getIDDErrDesc(IDD_ERR_VALUE_NAME_OVERSIZE));
    EXPECT_STREQ("IDD_ERR_VALUE_OVERSIZE", getIDDErrDesc(IDD_ERR_VALUE_OVERSIZE));
    EXPECT_STREQ("IDD_ERR_VALUE_NOTFOUND", getIDDErrDesc(IDD_ERR_VALUE_NOTFOUND));
    EXPECT_STREQ("IDD_ERR_SECTION_NOTFOUND", getIDDErrDesc(IDD_ERR_SECTION_NOTFOUND));
    EXPECT_STREQ("IDD_ERR_INIFILE_OPENFAILED", getIDDErrDesc(IDD_ERR_INIFILE_OPENFAILED));
    for (int code : {static_cast<int>(IDD_ERR_NULL_ARGUMENT), 1, -1, -99, -107, 12345}) {
        ASSERT_NE(nullptr, getIDDErrDesc(code));
        EXPECT_STREQ("IDD_ERR_Unknown", getIDDErrDesc(code)) << code;
    }
}
