// A pair's COM end as a COM port of Windows programs under Wine.
//
// Wine opens COM<n> through the link <prefix>/dosdevices/com<n>. Every time
// it starts, Wine itself links com1, com2, ... to the serial devices it finds
// (/dev/ttyS0.., then /dev/ttyUSB0.., then /dev/ttyACM0.., each run up to its
// first missing number) and overwrites whatever was there, so a pair can only
// keep a number above those. A link that Wine made for a device that has
// since gone (an unplugged adapter, a prefix copied from another machine) is
// Wine's leftover and may be replaced; anything else found in the place of
// com<n> belongs to the user and is left alone.
#pragma once

#include <string>
#include <vector>

namespace clst {

// The Wine prefix of this user's Windows programs: $WINEPREFIX, else
// $HOME/.wine; "" when neither is set.
std::string WinePrefixPath();

// The serial devices under `devDir` that Wine gives COM1, COM2, ... at its
// start, in that order.
std::vector<std::string> WineSerialDevices(const std::string& devDir);

// What mapping a pair's COM end into a prefix takes, decided before anything
// is changed so that a refusal leaves nothing half done.
struct WineComMapping {
    enum class Step {
        kCreate,   // com<n> does not exist
        kKeep,     // com<n> is the pair's already
        kReplace,  // com<n> is Wine's leftover for a device that is gone
        kRefuse,   // see `reason`
    };
    Step step = Step::kRefuse;
    std::string linkPath;  // <prefix>/dosdevices/com<n>
    std::string target;    // the pair's COM link in the port directory
    std::string replaced;  // kReplace: where com<n> pointed
    std::string reason;    // kRefuse: a sentence the user can act on
};

// Plans <prefix>/dosdevices/com<number> -> `pairComPath`. `devDir` is where
// Wine looks for serial devices. With `inPortTable` the number also goes
// into Wine's port table (wine_port_table.h), which keeps Wine's device scan
// away from it: then no number is taken by a device, and a link that Wine
// made for a device is Wine's to give up, present or not.
WineComMapping PlanWineComMapping(const std::string& prefix, int number,
                                  const std::string& pairComPath,
                                  const std::string& devDir = "/dev", bool inPortTable = false);

// Carries out a plan that is not kRefuse; false with `error` when the link
// could not be made (the place was taken meanwhile, no permission).
bool ApplyWineComMapping(const WineComMapping& mapping, std::string& error);

// Whether <prefix>/dosdevices/com<number> is a link to `pairComPath`.
bool IsWineComMapped(const std::string& prefix, int number, const std::string& pairComPath);

// Removes <prefix>/dosdevices/com<number> when, and only when, it is a link
// to `pairComPath`; `removed` says whether it was. False with `error` when
// such a link could not be removed.
bool RemoveWineComMapping(const std::string& prefix, int number, const std::string& pairComPath,
                          bool& removed, std::string& error);

}  // namespace clst
