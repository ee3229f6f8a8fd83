// Wine's own port table: values "COM<n>" = <Unix path> under the registry key
// HKLM\Software\Wine\Ports of a prefix, changed with Wine's own `wine reg`.
//
// Every time Wine starts, its mount manager gives each COM<n> of the table to
// that path (it makes dosdevices/com<n> itself), lists it in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where Windows port pickers look, and
// keeps its scan of /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* away from those
// numbers. The table is read only at that start.
#pragma once

#include <chrono>
#include <string>

namespace clst {

// Wine's mount manager takes COM1 to COM255 from the table; it ignores higher
// numbers, and a value name longer than "COM255" even ends its reading of the
// table (its name buffer is too short), losing the entries after it.
inline constexpr int kWinePortTableMax = 255;

// Whether COM<number> = `path` can go into the table; otherwise `reason` is
// a sentence saying why not (the number is above 255; the path has bytes
// other than printable ASCII, which reg.exe would pass through the console
// code page).
bool WinePortTableTakes(int number, const std::string& path, std::string& reason);

// The data of the value COM<number> in the output of `reg query`; false when
// the output has none.
bool ParseRegQueryValue(const std::string& output, int number, std::string& value);

// COM<number> as the prefix's saved registry (<prefix>/system.reg) has it,
// read without starting Wine. Wine saves the registry when it ends and now
// and then while it runs, so a value set a moment ago may not be there yet.
bool SavedWinePortEntry(const std::string& prefix, int number, std::string& value);

// The table of one prefix, through the programs `wine` and `wineserver`.
class WinePortTable {
  public:
    WinePortTable(std::string wine, std::string wineserver, std::string prefix);

    // False with `error` (what Wine said) when reg failed.
    bool Set(int number, const std::string& path, std::string& error);
    bool Query(int number, bool& present, std::string& value, std::string& error);
    bool Delete(int number, std::string& error);

    // Waits at most `limit` for the prefix's Wine to end (it ends a moment
    // after its last program, here the reg command), so that the next Windows
    // program starts a Wine that reads the table. False when Windows programs
    // keep it running.
    bool WaitForWineToEnd(std::chrono::milliseconds limit) const;

  private:
    bool Reg(const std::string& verb, int number, const std::string& data, std::string& output,
             std::string& error) const;

    std::string wine_;
    std::string wineserver_;
    std::string prefix_;
};

}  // namespace clst
