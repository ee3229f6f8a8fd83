// Version data embedded at build time and read back from the program file.
#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/program_path.h"
#include "tests/support/test_io.h"

using namespace clst::platform;

namespace {

const std::string kDescriptionKey = "\\StringFileInfo\\040704b0\\FileDescription";
std::vector<uint8_t> Block(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(VersionInfo, ReadsTheTableEmbeddedInThisProgramByItsExactKeys) {
    const std::string self = ProgramPath();
    const uint32_t size = GetFileVersionInfoSize(self);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block;
    ASSERT_TRUE(GetFileVersionInfo(self, size, block));
    std::string value;
    ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040704b0\\FileVersion", value));
    EXPECT_EQ(value, CLST_TEST_PROJECT_VERSION);
    ASSERT_TRUE(VerQueryValue(block, kDescriptionKey, value));
    EXPECT_FALSE(value.empty());
    for (const char* key :
         {"\\StringFileInfo\\040904b0\\FileVersion", "\\StringFileInfo\\040704b0\\File", ""}) {
        value = "unchanged";
        EXPECT_FALSE(VerQueryValue(block, key, value)) << key;
        EXPECT_EQ(value, "unchanged");
    }
}

TEST(VersionInfo, FilesWithoutUsableDataGiveNone) {
    const clst::testing::ScratchDir scratch("/tmp/clst-version-XXXXXX");
    const std::string self = clst::testing::ReadWholeFile(ProgramPath());
    ASSERT_GT(self.size(), 8192u);
    // A damaged magic makes the table unreadable, not half-read. The table
    // is the magic followed by its first key (the bare magic also sits
    // among the program's constants).
    std::string damaged = self;
    const size_t table =
        damaged.find(std::string(kVersionMagic, sizeof kVersionMagic) + kDescriptionKey);
    ASSERT_NE(table, std::string::npos);
    damaged[table] = 'X';
    // A missing file and an ELF file without the table, then made ones.
    std::vector<std::string> paths = {"/nonexistent/clsertolvane", "/bin/sh"};
    for (const auto& [name, content] : {std::pair<std::string, std::string>{"text", "hello"},
                                        {"empty", ""},
                                        {"cut", self.substr(0, self.size() / 2)},
                                        {"damaged", damaged}}) {
        clst::testing::WriteWholeFile(scratch / name, content);
        paths.push_back(scratch / name);
    }
    for (const std::string& path : paths) {
        EXPECT_EQ(GetFileVersionInfoSize(path), 0u) << path;
        std::vector<uint8_t> block;
        EXPECT_FALSE(GetFileVersionInfo(path, 4096, block)) << path;
    }
}

TEST(VersionInfo, MalformedBlocksAreRefused) {
    const std::string magic(kVersionMagic, sizeof kVersionMagic);
    std::string value;
    EXPECT_TRUE(VerQueryValue(Block(magic + std::string("k\0v\0\0", 5)), "k", value));
    EXPECT_EQ(value, "v");
    // A value without its terminator, a missing end key, a bare magic.
    for (const std::string& bad :
         {magic + std::string("k\0v", 3), magic + std::string("k\0v\0", 4), magic, std::string()})
        EXPECT_FALSE(VerQueryValue(Block(bad), "k", value)) << bad.size();
}

}  // namespace
