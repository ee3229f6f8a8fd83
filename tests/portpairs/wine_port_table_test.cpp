// Reading Wine's port table: the value of exactly COM<n> in reg's output and
// in the saved registry, whatever else is there, and what the table takes.
#include "portpairs/wine_port_table.h"

#include <gtest/gtest.h>

#include "tests/support/test_io.h"

namespace clst::testing {
namespace {

TEST(WinePortTableTest, FindsExactlyComNInRegOutputAndSavedRegistry) {
    ScratchDir root{"/tmp/clst-winereg-XXXXXX"};
    const std::string query =
        "\r\nHKEY_LOCAL_MACHINE\\Software\\Wine\\Ports\r\n"
        "    COM70    REG_SZ    /other/COM70\r\n"
        "    COM7    REG_SZ    /run/user/1000/my ports/COM7\r\n\r\n";
    const std::string saved =
        "[Software\\\\Wine\\\\Ports] 1796658117\n#time=1dd86617de8654a\n"
        "\"COM70\"=\"/other/COM70\"\n\"COM7\"=\"/a "
        "b\\\\c\\\"d/COM7\"\n\"COM9\"=\"/x\\xe9/COM9\"\n\n"
        "[Software\\\\Wine\\\\Ports\\\\Other] 1796658117\n\"COM8\"=\"/not/the/table\"\n"
        "[Software\\\\Wow6432Node\\\\Wine\\\\Ports] 1796658093\n\"COM4\"=\"/link/view\"\n";
    WriteWholeFile(root / "system.reg", saved);
    const struct {
        int number;
        std::string fromQuery, fromSaved;  // "": not there
    } rows[] = {
        {7, "/run/user/1000/my ports/COM7", "/a b\\c\"d/COM7"},
        {70, "/other/COM70", "/other/COM70"},
        {8, "", ""},  // another key's
        {4, "", ""},  // the 32-bit view's link, not the table
        {9, "", ""},  // bytes that reg cannot give back
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.number);
        std::string value;
        EXPECT_EQ(ParseRegQueryValue(query, row.number, value), !row.fromQuery.empty());
        EXPECT_EQ(row.fromQuery.empty() ? "" : value, row.fromQuery);
        value.clear();
        EXPECT_EQ(SavedWinePortEntry(root.path(), row.number, value), !row.fromSaved.empty());
        EXPECT_EQ(value, row.fromSaved);
    }
    std::string value;
    EXPECT_FALSE(SavedWinePortEntry(root / "none", 7, value));
}

TEST(WinePortTableTest, TakesComOneTo255WithPrintablePaths) {
    const struct {
        int number;
        std::string path;
        bool takes;
    } rows[] = {{1, "/run/user/1000/clsertolvane/COM1", true},
                {255, "/p/COM255", true},
                {256, "/p/COM256", false},    // Wine would ignore it
                {1000, "/p/COM1000", false},  // and would stop reading its table
                {0, "/p/COM0", false},
                {7, "/home/jos\xc3\xa9/COM7", false},
                {7, "/p\n/COM7", false}};
    for (const auto& row : rows) {
        std::string reason;
        EXPECT_EQ(WinePortTableTakes(row.number, row.path, reason), row.takes) << row.path;
        EXPECT_EQ(reason.empty(), row.takes) << reason;
    }
}

}  // namespace
}  // namespace clst::testing
