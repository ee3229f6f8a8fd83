// Library loading, program paths and the port directory's safety rules.
// What a user meets when these refuse is in faults_end_to_end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <tuple>

#include "platform/dynamic_library.h"
#include "platform/port_directory.h"
#include "platform/program_path.h"
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

TEST(ProgramPathTest, ParentDirectoryAndLibraryDirectory) {
    for (const auto& [path, parent] :
         {std::pair{"/a/b/c", "/a/b"}, {"/a/b/", "/a"}, {"/a", "/"}, {"name", ""}})
        EXPECT_EQ(ParentDirectory(path), parent) << path;
    const std::string exe = ProgramPath();
    ASSERT_EQ(exe.substr(0, 1), "/");
    EXPECT_EQ(access(exe.c_str(), X_OK), 0);
    EXPECT_EQ(ProgramLibraryDirectory(), ParentDirectory(ProgramDirectory()) + "/lib");
}

TEST(PortDirectoryTest, LookupOrder) {
    const std::string own = "/tmp/clsertolvane-" + std::to_string(getuid());
    for (const auto& [variable, runtime, expected] :
         {std::tuple<const char*, const char*, std::string>{"/x/ports", "/run/user/1", "/x/ports"},
          {nullptr, "/run/user/1", "/run/user/1/clsertolvane"},
          {nullptr, nullptr, own}}) {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR",
                    variable ? std::optional<std::string>(variable) : std::nullopt);
        ScopedEnv b("XDG_RUNTIME_DIR",
                    runtime ? std::optional<std::string>(runtime) : std::nullopt);
        EXPECT_EQ(PortDirectoryPath(), expected);
    }
}

TEST(PortDirectoryTest, CreatesAPrivateDirectoryAndRefusesUnsafeOnes) {
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
    }
    ASSERT_EQ(symlink((base / "ports").c_str(), (base / "link").c_str()), 0);
    clst::testing::WriteWholeFile(base / "file", "");
    const bool root = getuid() == 0;
    // Root can own a directory in another user's name; test the refusal.
    if (root) {
        ASSERT_EQ(mkdir((base / "foreign").c_str(), 0700), 0);
        ASSERT_EQ(chown((base / "foreign").c_str(), 12345, 12345), 0);
    }
    for (const auto& [where, reason] :
         {std::pair<std::string, std::string>{base / "group", "is writable by other users"},
          {base / "others", "is writable by other users"},
          {base / "link", "is not a directory"},
          {base / "file", "is not a directory"},
          {"relative/dir", "is not an absolute path"},
          {root ? base / "foreign" : "/", "belongs to another user"}}) {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", where);
        EXPECT_FALSE(EnsurePortDirectory(path, error)) << where;
        EXPECT_NE(error.find("\"" + where + "\" " + reason), std::string::npos) << error;
    }
}
