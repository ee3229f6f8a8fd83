// Private-profile files: reads, in-place writes and the files the layer must
// refuse rather than damage.
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/test_io.h"

using namespace clst::platform;

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    void Put(const std::string& content) { clst::testing::WriteWholeFile(path_, content); }
    std::string Get() const { return clst::testing::ReadWholeFile(path_); }
    int FilesInDir() const {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            (void)e, ++n;
        return n;
    }

    const clst::testing::ScratchDir scratch_{"/tmp/clst-profile-XXXXXX"};
    const std::string& dir_ = scratch_.path();
    const std::string path_ = dir_ + "/t.ini";
};

TEST_F(ProfileTest, ReadsAreCaseInsensitiveAndFirstSectionWins) {
    Put("; comment\nstray=1\n[Connection1]\n  COM = com5  \nclser=0\n[connection1]\ncom=COM9\n");
    EXPECT_EQ(ReadProfileString("connection1", "com", "", 8, path_), "com5");
    EXPECT_EQ(ReadProfileString("CONNECTION1", "Com", "", 8, path_), "com5");
    EXPECT_EQ(ReadProfileInt("connection1", "clser", -1, path_), 0);
    EXPECT_EQ(ReadProfileString("connection1", "stray", "d", 8, path_), "d");  // before any section
    EXPECT_EQ(ReadProfileString("connection2", "com", "none", 8, path_), "none");
    EXPECT_EQ(ReadProfileInt("connection2", "clser", -1, path_), -1);
    EXPECT_EQ(ReadProfileString("x", "y", "def", 8, dir_ + "/missing.ini"), "def");
}

TEST_F(ProfileTest, ReadIsCutToTheBufferAndIntsParseLikeWin32) {
    Put("[s]\nlong=ABCDEFGHIJ\nn=-12abc\nempty=\nword=abc\n");
    EXPECT_EQ(ReadProfileString("s", "long", "", 8, path_), "ABCDEFG");
    EXPECT_EQ(ReadProfileString("s", "long", "", 1, path_), "");
    EXPECT_EQ(ReadProfileString("s", "long", "", 0, path_), "");
    EXPECT_EQ(ReadProfileString("s", "none", "0123456789", 4, path_), "012");
    EXPECT_EQ(ReadProfileInt("s", "n", 5, path_), -12);
    EXPECT_EQ(ReadProfileInt("s", "empty", 5, path_), 5);
    EXPECT_EQ(ReadProfileInt("s", "word", 5, path_), 0);
}

TEST_F(ProfileTest, WriteReplacesInPlaceAndKeepsEveryOtherByte) {
    const std::string before =
        "; maintained by hand\r\n\r\n[other]\r\nbaudrate=1\r\n\r\n[Conn]\r\n"
        "; baudrate=300 was too slow\r\ncom=COM5\r\nBaudRate = 9600\r\nx=y ; note\r\n"
        "\r\n[tail]\r\nk=v";
    Put(before);
    ASSERT_TRUE(WriteProfileString("conn", "baudrate", "115200", path_));
    std::string expected = before;
    expected.replace(expected.find("BaudRate = 9600"), 15, "BaudRate =115200");
    EXPECT_EQ(Get(), expected);
    EXPECT_EQ(ReadProfileString("other", "baudrate", "", 8, path_), "1");
    EXPECT_EQ(FilesInDir(), 1);  // no temporary file left behind
}

TEST_F(ProfileTest, WriteAddsKeySectionAndFileWithTheFilesLineEnds) {
    Put("[a]\r\nk=1\r\n\r\n[b]\r\nm=2");
    ASSERT_TRUE(WriteProfileString("A", "new", "x", path_));
    EXPECT_EQ(Get(), "[a]\r\nk=1\r\nnew=x\r\n\r\n[b]\r\nm=2");
    ASSERT_TRUE(WriteProfileString("b", "n", "3", path_));
    EXPECT_EQ(Get(), "[a]\r\nk=1\r\nnew=x\r\n\r\n[b]\r\nm=2\r\nn=3\r\n");
    ASSERT_TRUE(WriteProfileString("c", "p", "4", path_));
    EXPECT_EQ(Get(), "[a]\r\nk=1\r\nnew=x\r\n\r\n[b]\r\nm=2\r\nn=3\r\n[c]\r\np=4\r\n");

    Put("[a]\nk=1\n");
    ASSERT_TRUE(WriteProfileString("z", "q", "", path_));
    EXPECT_EQ(Get(), "[a]\nk=1\n[z]\nq=\n");

    // A last line ending in a lone CR ends no line for the reader: what is
    // added after it must not run on in the same line.
    Put("\r");
    ASSERT_TRUE(WriteProfileString("", "c", "", path_));
    EXPECT_EQ(Get(), "\r\n[]\r\nc=\r\n");
    EXPECT_EQ(ReadProfileString("", "c", "def", 8, path_), "");
    Put("[a]\nk=1\r");
    ASSERT_TRUE(WriteProfileString("a", "n", "2", path_));
    EXPECT_EQ(Get(), "[a]\nk=1\r\nn=2\n");
    EXPECT_EQ(ReadProfileString("a", "n", "def", 8, path_), "2");

    const std::string fresh = dir_ + "/fresh.ini";
    ASSERT_TRUE(WriteProfileString("s", "k", "v", fresh));
    EXPECT_EQ(ReadProfileString("s", "k", "", 8, fresh), "v");
}

TEST_F(ProfileTest, RefusesWhatItCannotWriteSafely) {
    // A directory named like the file, binary data, an oversized file.
    const std::string asDir = dir_ + "/d.ini";
    ASSERT_EQ(::mkdir(asDir.c_str(), 0755), 0);
    EXPECT_FALSE(WriteProfileString("s", "k", "v", asDir));
    EXPECT_EQ(ReadProfileString("s", "k", "def", 8, asDir), "def");

    const std::string binary = std::string("[s]\nk=1\n\0\x01\xff", 11);
    Put(binary);
    EXPECT_FALSE(WriteProfileString("s", "k", "2", path_));
    EXPECT_EQ(ReadProfileString("s", "k", "def", 8, path_), "def");
    EXPECT_EQ(Get(), binary);

    const std::string huge = "[s]\nk=" + std::string(kMaxProfileFileSize, 'x') + "\n";
    Put(huge);
    EXPECT_FALSE(WriteProfileString("s", "k", "2", path_));
    EXPECT_EQ(ReadProfileString("s", "k", "def", 8, path_), "def");
    EXPECT_EQ(Get().size(), huge.size());

    // Names or values that would break the file's lines.
    Put("[s]\nk=1\n");
    EXPECT_FALSE(WriteProfileString("s", "k", "2\n[evil]", path_));
    EXPECT_FALSE(WriteProfileString("s]x", "k", "2", path_));
    EXPECT_FALSE(WriteProfileString("s", "a=b", "2", path_));
    EXPECT_FALSE(WriteProfileString("s", "", "2", path_));
    // A key line read as a section or a comment, a NUL byte anywhere.
    EXPECT_FALSE(WriteProfileString("s", "[b", "c", path_));
    EXPECT_FALSE(WriteProfileString("s", ";b", "c", path_));
    EXPECT_FALSE(WriteProfileString(std::string("a\0", 2), "k", "2", path_));
    EXPECT_FALSE(WriteProfileString("s", std::string("k\0", 2), "2", path_));
    EXPECT_FALSE(WriteProfileString("s", "k", std::string("2\0", 2), path_));
    EXPECT_EQ(Get(), "[s]\nk=1\n");
    EXPECT_EQ(ReadProfileString("s", "k", "def", 8, path_), "1");

    // A directory that cannot exist: its parent is a regular file.
    EXPECT_FALSE(WriteProfileString("s", "k", "v", path_ + "/sub.ini"));
    EXPECT_EQ(Get(), "[s]\nk=1\n");
}

TEST_F(ProfileTest, ReplacingKeepsTheFilesPermissions) {
    Put("[s]\nk=1\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    ASSERT_TRUE(WriteProfileString("s", "k", "2", path_));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Get(), "[s]\nk=2\n");
}

TEST_F(ProfileTest, WritesThroughALinkToItsTargetAndKeepsTheLink) {
    Put("[s]\nk=1\n");
    const std::string link = dir_ + "/link.ini";
    const std::string chain = dir_ + "/chain.ini";
    ASSERT_EQ(::symlink("t.ini", link.c_str()), 0);  // relative, as users make them
    ASSERT_EQ(::symlink(link.c_str(), chain.c_str()), 0);
    ASSERT_TRUE(WriteProfileString("s", "k", "2", chain));
    EXPECT_EQ(Get(), "[s]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(::lstat(chain.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(FilesInDir(), 3);
}

}  // namespace
