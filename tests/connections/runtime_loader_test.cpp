// Finding the maker's installation directory. Loading its libraries from
// there is checked end to end (tests/tools/faults_test.py), with the emulated
// runtime, without it, and with libraries that lack its functions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "connections/frame_grabber_runtime.h"
#include "platform/program_path.h"
#include "tests/support/test_io.h"

using Runtime = clst::FrameGrabberRuntime;

namespace {

class RuntimeLoaderTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Runtime::SetProgramPathForTesting("");
        Runtime::ResetForTesting();
    }
    static std::string Located(const std::string& programPath) {
        Runtime::ResetForTesting();
        Runtime::SetProgramPathForTesting(programPath);
        const char* dir = Runtime::LocateInstallDir();
        return dir != nullptr ? dir : "<null>";
    }

    clst::testing::ScopedEnv env64_{"MARODIR5_64", std::nullopt};
    clst::testing::ScopedEnv env_{"MARODIR5", std::nullopt};
    clst::testing::ScopedEnv library_{"CLSERIAL_LIBRARY", std::nullopt};
    clst::testing::ScopedEnv searchPath_{"CLSERIALPATH", std::nullopt};
};

TEST_F(RuntimeLoaderTest, NearestInstallFolderAboveTheProgramElseTheEnvironment) {
    const std::string longProgram = "/x/bin/" + std::string(1100, 'p');
    const std::string longValue(2000, 'a');
    // Program path, MARODIR5_64, MARODIR5, what is found.
    const std::tuple<std::string, const char*, const char*, std::string> cases[] = {
        {"/opt/Maro/bin/tool", "/env", "/env", "/opt/Maro"},
        {"/opt/Maro/Hardware Applets/Tool/tool", nullptr, nullptr, "/opt/Maro"},
        {"/opt/Maro/BIN/tool", nullptr, nullptr, "/opt/Maro"},
        {"/opt/Maro/Lib64/x/y/tool", nullptr, nullptr, "/opt/Maro"},
        {"/opt/Maro/dll/tool", nullptr, nullptr, "/opt/Maro"},
        {"/lib/Work/bin/tool", nullptr, nullptr, "/lib/Work"},  // the nearest
        {"/opt//Maro///bin//tool", nullptr, nullptr, "/opt//Maro"},
        {"/opt/binary/tool", nullptr, nullptr, "<null>"},  // whole names only
        {"/bin/tool", nullptr, nullptr, "/"},
        {"tool", nullptr, nullptr, "<null>"},
        {"/tools/tool", nullptr, "/opt/old", "/opt/old"},
        {"/tools/tool", "/opt/Maro//", "/opt/old", "/opt/Maro"},
        {"/tools/tool", "/", nullptr, "/"},
        {"/tools/tool", "", nullptr, ""},
        // Too long a program path is not used; too long a value is cut.
        {longProgram, longValue.c_str(), nullptr, longValue.substr(0, 1023)},
    };
    for (const auto& [program, env64, env, found] : cases) {
        env64_.Set(env64 ? std::optional<std::string>(env64) : std::nullopt);
        env_.Set(env ? std::optional<std::string>(env) : std::nullopt);
        EXPECT_EQ(Located(program), found) << program.substr(0, 40);
    }
}

// An installed program (its private folder lib/clsertolvane beside bin/)
// takes a maker's installation from the environment only, and loads the
// emulated runtime it brings along while no maker's library is named.
TEST_F(RuntimeLoaderTest, InstalledProgramTakesTheMakersFromTheEnvironmentElseItsOwn) {
    clst::testing::ScratchDir tree;
    const std::string own = tree / "lib/clsertolvane", program = tree / "bin/tool";
    std::filesystem::create_directories(own);
    // Private folder filled, MARODIR5_64, CLSERIALPATH, what is found, what
    // the loaders return.
    const std::tuple<bool, const char*, const char*, std::string, int32_t> cases[] = {
        {false, nullptr, nullptr, "<null>", Runtime::kNotAvailable},
        {true, nullptr, nullptr, "<null>", 0},
        {true, "/opt/Maro", nullptr, "/opt/Maro", Runtime::kNotAvailable},
        {true, nullptr, "/opt/other", "<null>", Runtime::kNotAvailable},
    };
    for (const auto& [filled, env64, searchPath, found, loaded] : cases) {
        for (const char* name : {"/libacqlib5.so", "/libmaro_hal.so"}) {
            if (filled && !std::filesystem::exists(own + name)) {
                ASSERT_EQ(symlink((clst::platform::ProgramLibraryDirectory() + name).c_str(),
                                  (own + name).c_str()),
                          0);
            }
        }
        env64_.Set(env64 ? std::optional<std::string>(env64) : std::nullopt);
        searchPath_.Set(searchPath ? std::optional<std::string>(searchPath) : std::nullopt);
        const std::string row = std::string(env64 ? env64 : "") + (searchPath ? searchPath : "");
        EXPECT_EQ(Located(program), found) << row;
        EXPECT_EQ(Runtime::LoadRuntime(), loaded) << row;
        EXPECT_EQ(Runtime::LoadHardwareAbstraction(), loaded) << row;
        EXPECT_EQ(Runtime::Loaded(), loaded == 0) << row;
    }
}

TEST_F(RuntimeLoaderTest, FoundDirectoryIsCachedButAMissOnlyUntilTheNextCall) {
    EXPECT_EQ(Located("/tools/tool"), "<null>");
    env_.Set("/opt/late");
    const char* first = Runtime::LocateInstallDir();  // searches again
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "/opt/late");
    env_.Set("/opt/other");
    Runtime::SetProgramPathForTesting("/opt/Maro/bin/tool");
    EXPECT_EQ(Runtime::LocateInstallDir(), first);
    EXPECT_STREQ(Runtime::LocateInstallDir(), "/opt/late");
}

}  // namespace
