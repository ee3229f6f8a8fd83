// Private-profile files: reads, in-place writes and the files the layer must
// refuse rather than damage. The configuration write-back on top of it is in
// the connections suite (matching sections, CR LF files, unwritable places:
// a directory in the file's place, a file in its directory's).
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/test_io.h"

using namespace clst::platform;
using clst::testing::ReadWholeFile;
using clst::testing::WriteWholeFile;

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    const clst::testing::ScratchDir dir_{"/tmp/clst-profile-XXXXXX"};
    const std::string path_ = dir_ / "t.ini";
};

TEST_F(ProfileTest, ReadsFindTheFirstSectionInAnyCaseAndAreCutToTheBuffer) {
    WriteWholeFile(path_,
                   "; comment\nstray=1\n[Connection1]\n  COM = com5  \nclser=0\nn=-12abc\n"
                   "empty=\nword=abc\n[connection1]\ncom=COM9\nlong=x\n");
    const struct {
        const char *section, *key, *fallback;
        size_t size;
        std::string expected;
    } rows[] = {
        {"CONNECTION1", "Com", "", 8, "com5"},  // trimmed, from the first section
        {"connection1", "com", "", 4, "com"},
        {"connection1", "long", "def", 8, "def"},   // not in the first section
        {"connection1", "stray", "def", 8, "def"},  // before any section
        {"connection2", "com", "0123456789", 4, "012"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ReadProfileString(row.section, row.key, row.fallback, row.size, path_),
                  row.expected)
            << row.section << " " << row.key << " " << row.size;
    }
    // Numbers as the Win32 call reads them.
    for (const auto& [key, expected] :
         {std::pair{"clser", 0}, {"n", -12}, {"empty", 5}, {"word", 0}, {"none", 5}})
        EXPECT_EQ(ReadProfileInt("connection1", key, 5, path_), expected) << key;
    EXPECT_EQ(ReadProfileString("x", "y", "def", 8, dir_ / "missing.ini"), "def");
}

TEST_F(ProfileTest, WriteChangesOrAddsOneLineAndKeepsEveryOtherByte) {
    const struct {
        std::string before, section, key, value, after;
    } rows[] = {
        // A key-like comment and another section's key are not the key; the
        // spaces before '=' stay.
        {"; hand made\r\n\r\n[other]\r\nbaudrate=1\r\n\r\n[Conn]\r\n; baudrate=300 slow\r\n"
         "BaudRate = 9600\r\nx=y ; note\r\n\r\n[tail]\r\nk=v",
         "conn", "baudrate", "115200",
         "; hand made\r\n\r\n[other]\r\nbaudrate=1\r\n\r\n[Conn]\r\n; baudrate=300 slow\r\n"
         "BaudRate =115200\r\nx=y ; note\r\n\r\n[tail]\r\nk=v"},
        // Added at the end of its section, with the file's own line ends.
        {"[a]\r\nk=1\r\n\r\n[b]\r\nm=2", "A", "new", "x", "[a]\r\nk=1\r\nnew=x\r\n\r\n[b]\r\nm=2"},
        {"[a]\r\nk=1\r\n\r\n[b]\r\nm=2", "b", "n", "3", "[a]\r\nk=1\r\n\r\n[b]\r\nm=2\r\nn=3\r\n"},
        {"[a]\nk=1\n", "z", "q", "", "[a]\nk=1\n[z]\nq=\n"},
    };
    for (const auto& row : rows) {
        WriteWholeFile(path_, row.before);
        ASSERT_TRUE(WriteProfileString(row.section, row.key, row.value, path_)) << row.before;
        EXPECT_EQ(ReadWholeFile(path_), row.after);
        EXPECT_EQ(ReadProfileString(row.section, row.key, "def", 8, path_), row.value);
    }
    const std::string fresh = dir_ / "fresh.ini";
    ASSERT_TRUE(WriteProfileString("s", "k", "v", fresh));
    EXPECT_EQ(ReadWholeFile(fresh), "[s]\r\nk=v\r\n");
}

// Names that would read back as another line (a section, a comment, a key
// with '=', NUL bytes) and lone CR line ends are the fuzz target's: every
// write it makes must read back, every refused one leave the file's bytes.
TEST_F(ProfileTest, RefusesWhatItCannotWriteSafelyAndLeavesTheFile) {
    const std::string plain = "[s]\nk=1\n";
    const struct {
        std::string content, section, key, value;
    } rows[] = {
        {std::string("[s]\nk=1\n\0\x01\xff", 11), "s", "k", "2"},  // binary data
        {"[s]\nk=" + std::string(kMaxProfileFileSize, 'x') + "\n", "s", "k", "2"},
        // A value that would add a line of its own.
        {plain, "s", "k", "2\n[evil]"},
    };
    for (const auto& row : rows) {
        WriteWholeFile(path_, row.content);
        EXPECT_FALSE(WriteProfileString(row.section, row.key, row.value, path_)) << row.value;
        EXPECT_TRUE(ReadWholeFile(path_) == row.content) << row.value;
        EXPECT_EQ(ReadProfileString("s", "k", "def", 8, path_), row.content == plain ? "1" : "def");
    }
}

TEST_F(ProfileTest, ReplacingWritesThroughLinksAndKeepsThePermissions) {
    WriteWholeFile(path_, "[s]\nk=1\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    const std::string link = dir_ / "link.ini", chain = dir_ / "chain.ini";
    ASSERT_EQ(::symlink("t.ini", link.c_str()), 0);  // relative, as users make them
    ASSERT_EQ(::symlink(link.c_str(), chain.c_str()), 0);
    ASSERT_TRUE(WriteProfileString("s", "k", "2", chain));
    EXPECT_EQ(ReadWholeFile(path_), "[s]\nk=2\n");
    EXPECT_TRUE(std::filesystem::is_symlink(chain));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3);
}

}  // namespace
