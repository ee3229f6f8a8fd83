// Library loading, program paths and the port directory's safety rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/dynamic_library.h"
#include "platform/port_directory.h"
#include "platform/program_path.h"
#include "tests/support/test_io.h"

using namespace clst::platform;

using clst::testing::ScopedEnv;

TEST(DynamicLibraryTest, RefusesRelativePathsAndReportsMissingSymbols) {
    DynamicLibrary lib;
    EXPECT_FALSE(lib.Load("libc.so.6"));
    EXPECT_NE(lib.error().find("relative"), std::string::npos);
    EXPECT_FALSE(lib.Load("./libc.so.6"));
    EXPECT_FALSE(lib.Load(""));
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_EQ(lib.Symbol("strlen"), nullptr);

    EXPECT_FALSE(lib.Load("/nonexistent/libnothing.so"));
    EXPECT_FALSE(lib.error().empty());
}

TEST(ProgramPathTest, ParentDirectoryAndLibraryDirectory) {
    EXPECT_EQ(ParentDirectory("/a/b/c"), "/a/b");
    EXPECT_EQ(ParentDirectory("/a/b/"), "/a");
    EXPECT_EQ(ParentDirectory("/a"), "/");
    EXPECT_EQ(ParentDirectory("name"), "");

    const std::string exe = ProgramPath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_EQ(access(exe.c_str(), X_OK), 0);
    EXPECT_EQ(ProgramLibraryDirectory(), ParentDirectory(ProgramDirectory()) + "/lib");
}

TEST(PortDirectoryTest, LookupOrder) {
    {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR", "/x/ports");
        ScopedEnv b("XDG_RUNTIME_DIR", "/run/user/1");
        EXPECT_EQ(PortDirectoryPath(), "/x/ports");
    }
    {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR", std::nullopt);
        ScopedEnv b("XDG_RUNTIME_DIR", "/run/user/1");
        EXPECT_EQ(PortDirectoryPath(), "/run/user/1/clsertolvane");
    }
    {
        ScopedEnv a("CLSERTOLVANE_PORT_DIR", std::nullopt);
        ScopedEnv b("XDG_RUNTIME_DIR", std::nullopt);
        EXPECT_EQ(PortDirectoryPath(), "/tmp/clsertolvane-" + std::to_string(getuid()));
    }
}

TEST(PortDirectoryTest, CreatesPrivateDirectoryAndRefusesUnsafeOnes) {
    const clst::testing::ScratchDir scratch("/tmp/clst-pd-XXXXXX");
    const std::string& base = scratch.path();
    ASSERT_FALSE(base.empty());
    std::string path, error;

    const std::string fresh = base + "/ports/";
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", fresh.c_str());
        ASSERT_TRUE(EnsurePortDirectory(path, error)) << error;
        EXPECT_EQ(path, base + "/ports");
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        // A second call accepts the directory it made.
        EXPECT_TRUE(EnsurePortDirectory(path, error)) << error;
    }

    const std::string open = base + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", open.c_str());
        EXPECT_FALSE(EnsurePortDirectory(path, error));
        EXPECT_NE(error.find("writable"), std::string::npos) << error;
    }

    const std::string link = base + "/link";
    ASSERT_EQ(symlink(fresh.c_str(), link.c_str()), 0);
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", link.c_str());
        EXPECT_FALSE(EnsurePortDirectory(path, error));
        EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
    }

    const std::string file = base + "/file";
    ASSERT_EQ(close(creat(file.c_str(), 0600)), 0);
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", file.c_str());
        EXPECT_FALSE(EnsurePortDirectory(path, error));
    }
    {
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", "relative/dir");
        EXPECT_FALSE(EnsurePortDirectory(path, error));
    }
    if (getuid() == 0) {
        // Root can own a directory in another user's name; test the refusal.
        const std::string foreign = base + "/foreign";
        ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(chown(foreign.c_str(), 12345, 12345), 0);
        ScopedEnv env("CLSERTOLVANE_PORT_DIR", foreign.c_str());
        EXPECT_FALSE(EnsurePortDirectory(path, error));
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
    }
}
