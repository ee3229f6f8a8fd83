// Version data embedded at build time and read back from the program file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/program_path.h"
#include "platform/version_info.h"

using namespace clst::platform;

namespace {

const std::string kDescriptionKey = "\\StringFileInfo\\040704b0\\FileDescription";
const std::string kVersionKey = "\\StringFileInfo\\040704b0\\FileVersion";

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TempFile {
  public:
    explicit TempFile(const std::vector<char>& bytes) {
        char name[] = "/tmp/clst-version-XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            if (!bytes.empty()) {
                EXPECT_EQ(write(fd, bytes.data(), bytes.size()),
                          static_cast<ssize_t>(bytes.size()));
            }
            close(fd);
        }
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace

TEST(VersionInfo, ReadsTheTableEmbeddedInThisProgram) {
    const std::string self = ProgramPath();
    const uint32_t size = GetFileVersionInfoSize(self);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block;
    ASSERT_TRUE(GetFileVersionInfo(self, size, block));

    std::string value;
    ASSERT_TRUE(VerQueryValue(block, kVersionKey, value));
    EXPECT_EQ(value, CLST_TEST_PROJECT_VERSION);
    ASSERT_TRUE(VerQueryValue(block, kDescriptionKey, value));
    EXPECT_FALSE(value.empty());

    // Only the exact key of the language block matches.
    std::string untouched = "unchanged";
    EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo\\040904b0\\FileVersion", untouched));
    EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo\\040704b0\\File", untouched));
    EXPECT_FALSE(VerQueryValue(block, "", untouched));
    EXPECT_EQ(untouched, "unchanged");
}

TEST(VersionInfo, FilesWithoutUsableDataGiveZero) {
    EXPECT_EQ(GetFileVersionInfoSize("/nonexistent/clsertolvane"), 0u);
    EXPECT_EQ(GetFileVersionInfoSize("/bin/sh"), 0u);  // an ELF file without the table

    TempFile text(std::vector<char>{'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(GetFileVersionInfoSize(text.path()), 0u);
    TempFile empty(std::vector<char>{});
    EXPECT_EQ(GetFileVersionInfoSize(empty.path()), 0u);

    std::vector<char> self = ReadAll(ProgramPath());
    ASSERT_GT(self.size(), 8192u);
    // Cut before the section headers (they sit at the end of the file).
    TempFile truncated(std::vector<char>(self.begin(), self.begin() + self.size() / 2));
    EXPECT_EQ(GetFileVersionInfoSize(truncated.path()), 0u);

    // A damaged magic makes the table unreadable, not half-read.
    // The table itself: the magic followed by its first key (the bare magic
    // also sits among the program's constants).
    const std::string magic = std::string(kVersionMagic, sizeof(kVersionMagic)) + kDescriptionKey;
    auto at = std::search(self.begin(), self.end(), magic.begin(), magic.end());
    ASSERT_NE(at, self.end());
    *at = 'X';
    TempFile damaged(self);
    EXPECT_EQ(GetFileVersionInfoSize(damaged.path()), 0u);
    std::vector<uint8_t> block;
    EXPECT_FALSE(GetFileVersionInfo(damaged.path(), 4096, block));
}

TEST(VersionInfo, MalformedBlocksAreRefused) {
    std::string value;
    auto block = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    const std::string magic(kVersionMagic, sizeof(kVersionMagic));
    EXPECT_TRUE(VerQueryValue(block(magic + std::string("k\0v\0\0", 5)), "k", value));
    EXPECT_EQ(value, "v");
    // A value without its terminator, a missing end key, a bare magic.
    EXPECT_FALSE(VerQueryValue(block(magic + std::string("k\0v", 3)), "k", value));
    EXPECT_FALSE(VerQueryValue(block(magic + std::string("k\0v\0", 4)), "k", value));
    EXPECT_FALSE(VerQueryValue(block(magic), "k", value));
    EXPECT_FALSE(VerQueryValue({}, "k", value));
}
