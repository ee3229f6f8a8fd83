// Library loading and the port directory's lookup and safety rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <tuple>

#include "platform/dynamic_library.h"
#include "platform/port_directory.h"
#include "tests/support/test_io.h"

using namespace clst::platform;
using clst::testing::ScopedEnv;

TEST(DynamicLibraryTest, LoadsOnlyAbsolutePaths) {
    DynamicLibrary lib;
    for (const auto& [path, reason] :
         {std::pair{"libc.so.6", "relative path"},
          {"./libc.so.6", "relative path"},
          {"", "relative path"},
          {"/nonexistent/libnothing.so", "/nonexistent/libnothing.so"}}) {
        EXPECT_FALSE(lib.Load(path)) << path;
        EXPECT_NE(lib.error().find(reason), std::string::npos) << lib.error();
        EXPECT_FALSE(lib.IsLoaded());
        EXPECT_EQ(lib.Symbol("strlen"), nullptr);
    }
}

TEST(PortDirectoryTest, LookupOrder) {
    using Value = std::optional<std::string>;
    for (const auto& [variable, runtime, expected] :
         {std::tuple<Value, Value, std::string>{"/x/ports", "/run/user/1", "/x/ports"},
          {std::nullopt, "/run/user/1", "/run/user/1/clsertolvane"},
          {std::nullopt, std::nullopt, "/tmp/clsertolvane-" + std::to_string(getuid())}}) {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR", variable);
        ScopedEnv b("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(PortDirectoryPath(), expected);
    }
}

// Links, relative paths and other users' directories are refused end to end
// (faults_end_to_end); here: write permission for the group or for others.
TEST(PortDirectoryTest, CreatesAPrivateDirectoryAndRefusesOneOthersCanWrite) {
    const clst::testing::ScratchDir base("/tmp/clst-pd-XXXXXX");
    ASSERT_FALSE(base.path().empty());
    std::string path, error;
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", base / "ports/");
        ASSERT_TRUE(EnsurePortDirectory(path, error)) << error;
        EXPECT_EQ(path, base / "ports");
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_TRUE(EnsurePortDirectory(path, error)) << error;  // the one it made
    }
    for (const auto& [name, mode] : {std::pair{"group", 0720}, {"others", 0702}}) {
        ASSERT_EQ(mkdir((base / name).c_str(), 0700), 0);
        ASSERT_EQ(chmod((base / name).c_str(), static_cast<mode_t>(mode)), 0);
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", base / name);
        EXPECT_FALSE(EnsurePortDirectory(path, error));
        EXPECT_NE(error.find("\"" + base / name + "\" is writable by other users"),
                  std::string::npos)
            << error;
    }
}
