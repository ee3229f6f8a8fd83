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
#include "tests/support/test_io.h"

using namespace clst::platform;

namespace {

const std::string kDescriptionKey = "\\StringFileInfo\\040704b0\\FileDescription";
const std::string kVersionKey = "\\StringFileInfo\\040704b0\\FileVersion";

std::vector<char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
    const clst::testing::ScratchDir scratch("/tmp/clst-version-XXXXXX");
    auto file = [&](const std::string& name, const std::vector<char>& bytes) {
        clst::testing::WriteWholeFile(scratch / name, std::string(bytes.begin(), bytes.end()));
        return scratch / name;
    };
    EXPECT_EQ(GetFileVersionInfoSize("/nonexistent/clsertolvane"), 0u);
    EXPECT_EQ(GetFileVersionInfoSize("/bin/sh"), 0u);  // an ELF file without the table

    EXPECT_EQ(GetFileVersionInfoSize(file("text", {'h', 'e', 'l', 'l', 'o'})), 0u);
    EXPECT_EQ(GetFileVersionInfoSize(file("empty", {})), 0u);

    std::vector<char> self = ReadAll(ProgramPath());
    ASSERT_GT(self.size(), 8192u);
    // Cut before the section headers (they sit at the end of the file).
    EXPECT_EQ(GetFileVersionInfoSize(file("cut", {self.begin(), self.begin() + self.size() / 2})),
              0u);

    // A damaged magic makes the table unreadable, not half-read.
    // The table itself: the magic followed by its first key (the bare magic
    // also sits among the program's constants).
    const std::string magic = std::string(kVersionMagic, sizeof(kVersionMagic)) + kDescriptionKey;
    auto at = std::search(self.begin(), self.end(), magic.begin(), magic.end());
    ASSERT_NE(at, self.end());
    *at = 'X';
    const std::string damaged = file("damaged", self);
    EXPECT_EQ(GetFileVersionInfoSize(damaged), 0u);
    std::vector<uint8_t> block;
    EXPECT_FALSE(GetFileVersionInfo(damaged, 4096, block));
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
