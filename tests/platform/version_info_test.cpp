// Version data embedded at build time and read back from the program file,
// as the about box reads it.
#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/program_path.h"

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
    // A program file that is gone (an upgrade replaced it under the running
    // program) gives none.
    EXPECT_EQ(GetFileVersionInfoSize("/nonexistent/clsertolvane"), 0u);
    EXPECT_FALSE(GetFileVersionInfo("/nonexistent/clsertolvane", 4096, block));
}

}  // namespace
