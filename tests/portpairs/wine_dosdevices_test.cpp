// Mapping a pair's COM end into a Wine prefix: what is found in the place of
// com<n> decides between making, keeping, replacing and refusing, and only
// the pair's own link is ever removed.
#include "portpairs/wine_dosdevices.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_io.h"

namespace clst::testing {
namespace {

namespace fs = std::filesystem;
using Step = WineComMapping::Step;

class WineDosdevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(root_.path().empty());
        fs::create_directories(dev_);
        fs::create_directories(prefix_ + "/dosdevices");
        // Wine numbers these COM1 to COM3; ttyS3 is not reached past the gap.
        for (const char* device : {"ttyS0", "ttyS1", "ttyS3", "ttyUSB0"})
            WriteWholeFile(dev_ + "/" + device, "");
    }

    std::string Link(int number) const {
        return prefix_ + "/dosdevices/com" + std::to_string(number);
    }

    ScratchDir root_{"/tmp/clst-wine-XXXXXX"};
    const std::string dev_ = root_.path() + "/dev";
    const std::string prefix_ = root_.path() + "/prefix";
    const std::string pair_ = root_.path() + "/ports/COM7";
};

TEST_F(WineDosdevicesTest, WhatIsFoundAtComNDecidesTheStep) {
    EXPECT_EQ(WineSerialDevices(dev_),
              (std::vector<std::string>{dev_ + "/ttyS0", dev_ + "/ttyS1", dev_ + "/ttyUSB0"}));
    const std::string gone = dev_ + "/ttyS6";
    const struct {
        std::string linkTo;  // "" nothing there
        bool plainFile;
        Step step;
        std::string reasonPart;
    } rows[] = {
        {"", false, Step::kCreate, ""},
        {"", true, Step::kRefuse, "not a link"},
        {pair_, false, Step::kKeep, ""},
        {gone, false, Step::kReplace, ""},                 // Wine's leftover
        {dev_ + "/ttyS1", false, Step::kRefuse, "ttyS1"},  // a device still there
        {dev_ + "/ttyX6", false, Step::kRefuse, "ttyX6"},  // no name Wine makes
        {"/elsewhere/COM7", false, Step::kRefuse, "/elsewhere/COM7"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.linkTo);
        fs::remove(Link(7));
        if (row.plainFile)
            WriteWholeFile(Link(7), "x");
        else if (!row.linkTo.empty())
            fs::create_symlink(row.linkTo, Link(7));
        const WineComMapping plan = PlanWineComMapping(prefix_, 7, pair_, dev_);
        ASSERT_EQ(plan.step, row.step) << plan.reason;
        EXPECT_NE(plan.reason.find(row.reasonPart), std::string::npos) << plan.reason;
        std::string error;
        EXPECT_EQ(ApplyWineComMapping(plan, error), row.step != Step::kRefuse) << error;
        // Refused: untouched. Otherwise: the pair's.
        EXPECT_EQ(IsWineComMapped(prefix_, 7, pair_), row.step != Step::kRefuse);
        if (row.step == Step::kReplace) {
            EXPECT_EQ(plan.replaced, gone);
        }
        if (row.step == Step::kRefuse && !row.plainFile) {
            EXPECT_EQ(fs::read_symlink(Link(7)).string(), row.linkTo);
        }
    }
    // The place was taken between plan and link: not overwritten.
    const WineComMapping plan = PlanWineComMapping(prefix_, 8, pair_, dev_);
    ASSERT_EQ(plan.step, Step::kCreate);
    fs::create_symlink("/users/own", Link(8));
    std::string error;
    EXPECT_FALSE(ApplyWineComMapping(plan, error));
    EXPECT_EQ(fs::read_symlink(Link(8)).string(), "/users/own");
}

TEST_F(WineDosdevicesTest, PrefixesAndNumbersThatCannotTakeTheMapping) {
    const struct {
        std::string prefix;
        int number;
        const char* reasonPart;
    } rows[] = {
        {root_.path() + "/none", 7, "wineboot -i"},
        {"relative/prefix", 7, "absolute"},
        {"", 7, "WINEPREFIX"},
        {prefix_, 2, "ttyS1"},  // Wine restores its own COM1..COM3 at every start
        {prefix_, 3, "ttyUSB0"},
        {prefix_, 0, "COM0"},
    };
    for (const auto& row : rows) {
        const WineComMapping plan = PlanWineComMapping(row.prefix, row.number, pair_, dev_);
        EXPECT_EQ(plan.step, Step::kRefuse) << row.prefix << " " << row.number;
        EXPECT_NE(plan.reason.find(row.reasonPart), std::string::npos) << plan.reason;
    }
    EXPECT_EQ(PlanWineComMapping(prefix_, 4, pair_, dev_).step, Step::kCreate);
}

TEST_F(WineDosdevicesTest, RemovingTakesOnlyThePairsOwnLink) {
    const struct {
        std::string target;  // "" none
        bool removed;
    } rows[] = {
        {pair_, true}, {root_.path() + "/ports/COM70", false}, {"/dev/ttyS6", false}, {"", false}};
    for (const auto& row : rows) {
        fs::remove(Link(7));
        if (!row.target.empty())
            fs::create_symlink(row.target, Link(7));
        bool removed = true;
        std::string error;
        EXPECT_TRUE(RemoveWineComMapping(prefix_, 7, pair_, removed, error)) << error;
        EXPECT_EQ(removed, row.removed) << row.target;
        EXPECT_EQ(fs::is_symlink(Link(7)), !row.target.empty() && !row.removed) << row.target;
    }
}

}  // namespace
}  // namespace clst::testing
