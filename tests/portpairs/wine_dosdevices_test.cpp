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
        ASSERT_TRUE(fs::create_directories(dev_) &&
                    fs::create_directories(prefix_ + "/dosdevices"));
        // Wine numbers these COM1 to COM3; ttyS3 is not reached past the gap.
        for (const char* device : {"ttyS0", "ttyS1", "ttyS3", "ttyUSB0"})
            WriteWholeFile(dev_ + "/" + device, "");
    }
    std::string Link(int number) const {
        return prefix_ + "/dosdevices/com" + std::to_string(number);
    }

    ScratchDir root_{"/tmp/clst-wine-XXXXXX"};
    const std::string dev_ = root_ / "dev", prefix_ = root_ / "prefix";
    const std::string pair_ = root_ / "ports/COM7";
};

TEST_F(WineDosdevicesTest, WhatIsFoundAtComNDecidesTheStep) {
    const std::string gone = dev_ + "/ttyS6";
    const struct {
        std::string prefix;
        int number;
        std::string linkTo;  // "" nothing there, "-" a plain file
        Step step;
        std::string reasonPart;
        bool inPortTable = false;
    } rows[] = {
        {prefix_, 7, "", Step::kCreate, ""},
        {prefix_, 7, "-", Step::kRefuse, "not a link"},
        {prefix_, 7, pair_, Step::kKeep, ""},
        {prefix_, 7, gone, Step::kReplace, ""},                 // Wine's leftover
        {prefix_, 7, dev_ + "/ttyS1", Step::kRefuse, "ttyS1"},  // a device still there
        {prefix_, 7, dev_ + "/ttyX6", Step::kRefuse, "ttyX6"},  // no name Wine makes
        {prefix_, 7, "/elsewhere/COM7", Step::kRefuse, "/elsewhere/COM7"},
        // Wine restores its own COM1..COM3 at every start.
        {prefix_, 2, "", Step::kRefuse, "ttyS1"},
        {prefix_, 3, "", Step::kRefuse, "ttyUSB0"},
        {prefix_, 4, "", Step::kCreate, ""},
        {prefix_, 0, "", Step::kRefuse, "COM0"},
        // In Wine's port table the number is the pair's, whatever Wine had there.
        {prefix_, 2, "", Step::kCreate, "", true},
        {prefix_, 7, dev_ + "/ttyS1", Step::kReplace, "", true},
        {prefix_, 7, "/elsewhere/COM7", Step::kRefuse, "/elsewhere/COM7", true},
        {root_ / "none", 7, "", Step::kRefuse, "wineboot -i"},
        {"relative/prefix", 7, "", Step::kRefuse, "absolute"},
        {"", 7, "", Step::kRefuse, "WINEPREFIX"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prefix + " " + std::to_string(row.number) + " " + row.linkTo);
        fs::remove(Link(row.number));
        if (row.linkTo == "-")
            WriteWholeFile(Link(row.number), "x");
        else if (!row.linkTo.empty())
            fs::create_symlink(row.linkTo, Link(row.number));
        const WineComMapping plan =
            PlanWineComMapping(row.prefix, row.number, pair_, dev_, row.inPortTable);
        ASSERT_EQ(plan.step, row.step) << plan.reason;
        EXPECT_NE(plan.reason.find(row.reasonPart), std::string::npos) << plan.reason;
        EXPECT_EQ(plan.replaced, row.step == Step::kReplace ? row.linkTo : "");
        std::string error;
        EXPECT_EQ(ApplyWineComMapping(plan, error), row.step != Step::kRefuse) << error;
        // Refused: untouched. Otherwise: the pair's.
        EXPECT_EQ(IsWineComMapped(row.prefix, row.number, pair_), row.step != Step::kRefuse);
        if (row.step == Step::kRefuse && row.linkTo.size() > 1) {
            EXPECT_EQ(fs::read_symlink(Link(row.number)).string(), row.linkTo);
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

TEST_F(WineDosdevicesTest, RemovingTakesOnlyThePairsOwnLink) {
    for (const auto& [target, removed] : {std::pair<std::string, bool>{pair_, true},
                                          {root_ / "ports/COM70", false},
                                          {"/dev/ttyS6", false},
                                          {"", false}}) {
        fs::remove(Link(7));
        if (!target.empty())
            fs::create_symlink(target, Link(7));
        bool wasRemoved = !removed;
        std::string error;
        EXPECT_TRUE(RemoveWineComMapping(prefix_, 7, pair_, wasRemoved, error)) << error;
        EXPECT_EQ(wasRemoved, removed) << target;
        EXPECT_EQ(fs::is_symlink(Link(7)), !target.empty() && !removed) << target;
    }
}

}  // namespace
}  // namespace clst::testing
