// Version data embedded at build time and read back from the program file,
// as the about box reads it.
#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/program_path.h"
#include "tests/support/test_io.h"

using namespace clst::platform;

namespace {

const std::string kKey = "\\StringFileInfo\\040704b0\\File";
const std::string kMagic(kVersionMagic, sizeof kVersionMagic);

std::vector<uint8_t> Block(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(VersionInfo, ReadsTheTableEmbeddedInThisProgramByItsExactKeys) {
    std::vector<uint8_t> block;
    ASSERT_TRUE(GetFileVersionInfo(ProgramPath(), GetFileVersionInfoSize(ProgramPath()), block));
    std::string value;
    ASSERT_TRUE(VerQueryValue(block, kKey + "Version", value));
    EXPECT_EQ(value, CLST_TEST_PROJECT_VERSION);
    for (const std::string& key :
         {std::string("\\StringFileInfo\\040904b0\\FileVersion"), kKey, {}})
        EXPECT_FALSE(VerQueryValue(block, key, value)) << key;
    EXPECT_EQ(value, CLST_TEST_PROJECT_VERSION);  // left alone
    // Blocks without the end key, or with a value without its end, give none.
    EXPECT_TRUE(VerQueryValue(Block(kMagic + std::string("k\0v\0\0", 5)), "k", value));
    EXPECT_EQ(value, "v");
    for (const std::string& bad : {kMagic + std::string("k\0v", 3),
                                   kMagic + std::string("k\0v\0", 4), kMagic, std::string()})
        EXPECT_FALSE(VerQueryValue(Block(bad), "k", value)) << bad.size();
}

TEST(VersionInfo, FilesWithoutUsableDataGiveNone) {
    const clst::testing::ScratchDir scratch("/tmp/clst-version-XXXXXX");
    const std::string self = clst::testing::ReadWholeFile(ProgramPath());
    // A damaged magic makes the table unreadable, not half-read. The table
    // is the magic followed by its first key (the bare magic also sits among
    // the program's constants).
    std::string damaged = self;
    const size_t table = damaged.find(kMagic + kKey + "Description");
    ASSERT_NE(table, std::string::npos);
    damaged[table] = 'X';
    // A missing file, an ELF file without the table, then made ones.
    std::vector<std::string> paths = {"/nonexistent/clsertolvane", "/bin/sh"};
    for (const auto& [name, content] : {std::pair<std::string, std::string>{"text", "hello"},
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

}  // namespace
