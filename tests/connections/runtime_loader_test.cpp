// Finding the maker's installation directory and loading its libraries on
// first use, against fake install trees built beside this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "connections/frame_grabber_runtime.h"
#include "platform/program_path.h"
#include "platform/spin_lock_variable_guard.h"
#include "tests/support/test_io.h"

using clst::FrameGrabberRuntime;

namespace {

class RuntimeLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override { FrameGrabberRuntime::ResetForTesting(); }
    void TearDown() override {
        FrameGrabberRuntime::SetProgramPathForTesting("");
        FrameGrabberRuntime::ResetForTesting();
    }
    static std::string Located(const std::string& programPath) {
        FrameGrabberRuntime::ResetForTesting();
        FrameGrabberRuntime::SetProgramPathForTesting(programPath);
        const char* dir = FrameGrabberRuntime::LocateInstallDir();
        return dir != nullptr ? dir : "<null>";
    }
    static std::string Tree(const char* name) {
        return clst::platform::ProgramDirectory() + "/" + name;
    }

    clst::testing::ScopedEnv env64_{"MARODIR5_64", std::nullopt};
    clst::testing::ScopedEnv env_{"MARODIR5", std::nullopt};
};

TEST_F(RuntimeLoaderTest, WalksUpToTheNearestInstallFolderInAnyCase) {
    EXPECT_EQ(Located("/opt/Maro/bin/tool"), "/opt/Maro");
    EXPECT_EQ(Located("/opt/Maro/Hardware Applets/Tool/tool"), "/opt/Maro");
    EXPECT_EQ(Located("/opt/Maro/BIN/tool"), "/opt/Maro");
    EXPECT_EQ(Located("/opt/Maro/Lib64/x/y/tool"), "/opt/Maro");
    EXPECT_EQ(Located("/opt/Maro/dll/tool"), "/opt/Maro");
    EXPECT_EQ(Located("/lib/Work/bin/tool"), "/lib/Work");  // nearest wins
    EXPECT_EQ(Located("/opt//Maro///bin//tool"), "/opt//Maro");
    EXPECT_EQ(Located("/opt/binary/tool"), "<null>");  // whole names only
    EXPECT_EQ(Located("/bin/tool"), "/");
}

TEST_F(RuntimeLoaderTest, EnvironmentIsTheFallBackAndItsTrailingSeparatorsGo) {
    EXPECT_EQ(Located("/tools/tool"), "<null>");
    EXPECT_EQ(Located("tool"), "<null>");  // no separator at all

    ::setenv("MARODIR5", "/opt/old", 1);
    EXPECT_EQ(Located("/tools/tool"), "/opt/old");
    ::setenv("MARODIR5_64", "/opt/Maro//", 1);
    EXPECT_EQ(Located("/tools/tool"), "/opt/Maro");  // _64 first
    ::setenv("MARODIR5_64", "/", 1);
    EXPECT_EQ(Located("/tools/tool"), "/");
    ::setenv("MARODIR5_64", "", 1);
    EXPECT_EQ(Located("/tools/tool"), "");

    // Too long a program path is not used; too long a value is cut.
    ::setenv("MARODIR5_64", std::string(2000, 'a').c_str(), 1);
    EXPECT_EQ(Located("/x/bin/" + std::string(1100, 'p')), std::string(1023, 'a'));
}

TEST_F(RuntimeLoaderTest, FoundDirectoryIsCachedButAMissOnlyUntilTheNextCall) {
    EXPECT_EQ(Located("/tools/tool"), "<null>");
    ::setenv("MARODIR5", "/opt/late", 1);
    const char* first = FrameGrabberRuntime::LocateInstallDir();  // searches again
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "/opt/late");
    ::setenv("MARODIR5", "/opt/other", 1);
    FrameGrabberRuntime::SetProgramPathForTesting("/opt/Maro/bin/tool");
    EXPECT_EQ(FrameGrabberRuntime::LocateInstallDir(), first);
    EXPECT_STREQ(FrameGrabberRuntime::LocateInstallDir(), "/opt/late");
}

TEST_F(RuntimeLoaderTest, NoDirectoryOrNoLibraryGivesTheUnavailableResults) {
    FrameGrabberRuntime::SetProgramPathForTesting("/tools/tool");
    char buffer[16] = "";
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FrameGrabberRuntime::MHalDeviceLimit(), -2130);
    EXPECT_EQ(FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, 1000, 0, 0, buffer, &length),
              -2130);
    EXPECT_EQ(FrameGrabberRuntime::MHalOpenDevice(0), nullptr);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardInt(nullptr, "cl"), -2130);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardText(nullptr, "board/name"), nullptr);
    FrameGrabberRuntime::MHalCloseDevice(nullptr);  // does nothing, must not crash
    EXPECT_EQ(FrameGrabberRuntime::LoadRuntime(), -2130);
    EXPECT_EQ(FrameGrabberRuntime::LoadHardwareAbstraction(), -2130);

    // A directory without the libraries: found and cached, loads still fail.
    ::setenv("MARODIR5", "/nonexistent-maro", 1);
    EXPECT_EQ(FrameGrabberRuntime::MHalDeviceLimit(), -2130);
    EXPECT_STREQ(FrameGrabberRuntime::LocateInstallDir(), "/nonexistent-maro");
    EXPECT_EQ(FrameGrabberRuntime::LoadHardwareAbstraction(), -2130);

    // A relative directory is never loaded from.
    EXPECT_EQ(FrameGrabberRuntime::LoadRuntime("fake_full"), -2130);
}

TEST_F(RuntimeLoaderTest, LoadsOnFirstUseAndForwardsArgumentsAndResults) {
    FrameGrabberRuntime::SetProgramPathForTesting(Tree("fake_full") + "/bin/tool");
    EXPECT_EQ(FrameGrabberRuntime::MHalDeviceLimit(), 4);
    EXPECT_EQ(FrameGrabberRuntime::MHalOpenDevice(0), nullptr);
    void* device = FrameGrabberRuntime::MHalOpenDevice(2);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardInt(device, "ports/serial"), 2);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardInt(device, "cl"), 0);
    EXPECT_STREQ(FrameGrabberRuntime::MHalQueryBoardText(device, "board/name"), "FakeBoard");
    FrameGrabberRuntime::MHalCloseDevice(device);

    char buffer[16] = "";
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, 1000, 0, 0, buffer, &length), 0);
    EXPECT_STREQ(buffer, "1");
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, 999, 0, 0, buffer, &length), -1);
}

TEST_F(RuntimeLoaderTest, GivenDirectoryReplacesTheLocatedOne) {
    FrameGrabberRuntime::SetProgramPathForTesting("/tools/tool");
    EXPECT_EQ(FrameGrabberRuntime::LoadRuntime(Tree("fake_full").c_str()), 0);
    char buffer[16] = "";
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, 1000, 0, 0, buffer, &length), 0);
    EXPECT_EQ(FrameGrabberRuntime::LocateInstallDir(), nullptr);  // nothing was located
}

TEST_F(RuntimeLoaderTest, LibraryWithoutMarkerOrExportStillServesWhatItHas) {
    ::setenv("MARODIR5_64", Tree("fake_partial").c_str(), 1);
    FrameGrabberRuntime::SetProgramPathForTesting("/tools/tool");
    // Without its marker the library is loaded again at every call, and each
    // present entry still works.
    EXPECT_EQ(FrameGrabberRuntime::MHalDeviceLimit(), 7);
    EXPECT_EQ(FrameGrabberRuntime::MHalDeviceLimit(), 7);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardInt(nullptr, "cl"), 11);
    EXPECT_EQ(FrameGrabberRuntime::MHalOpenDevice(0), nullptr);
    EXPECT_EQ(FrameGrabberRuntime::MHalQueryBoardText(nullptr, "board/name"), nullptr);
    FrameGrabberRuntime::MHalCloseDevice(nullptr);
    // The runtime is absent from this tree.
    char buffer[16] = "";
    uint32_t length = sizeof buffer;
    EXPECT_EQ(FrameGrabberRuntime::Acq_QuerySystemInfo(nullptr, 1000, 0, 0, buffer, &length),
              -2130);
}

TEST(SpinLockVariableGuardTest, ExcludesOtherThreadsAndLetsTheOwnerReEnter) {
    using maro::templates::platform::SpinLockVariableGuard;
    std::atomic<int32_t> lock{0};
    std::atomic<uint32_t> owner{0};
    {
        SpinLockVariableGuard outer(&lock, &owner);
        EXPECT_TRUE(outer.OwnsLock());
        EXPECT_EQ(lock.load(), 1);
        EXPECT_EQ(owner.load(), SpinLockVariableGuard::CurrentThreadId());
        {
            SpinLockVariableGuard inner(&lock, &owner);  // would spin forever if it locked
            EXPECT_FALSE(inner.OwnsLock());
        }
        EXPECT_EQ(lock.load(), 1);  // the inner guard released nothing
    }
    EXPECT_EQ(lock.load(), 0);
    EXPECT_EQ(owner.load(), 0u);

    // Plain lock without an owner word: counted increments by several
    // threads come out exact only when the lock excludes.
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                SpinLockVariableGuard guard(&lock);
                const long seen = counter;
                counter = seen + 1;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(lock.load(), 0);
}

}  // namespace
