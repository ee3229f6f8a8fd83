// The Camera Link serial port list as the serial libraries themselves report
// it, for machines that have a maker's serial library but not the maker's
// board runtime.
#pragma once

#include <string>
#include <vector>

#include "relay/clser_endpoint.h"
#include "relay/clser_library_search.h"

namespace clst {

// A library claiming more ports than this is taken to be broken.
inline constexpr uint32_t kMaxSerialLibraryPorts = 256;

struct SerialLibraryPorts {
    // "%d. %s_Port%d": running number, the maker's name, the library's own
    // serial index; then " (%s)" with the port's identifier when the library
    // gives one.
    std::vector<std::string> names;
    std::vector<ClSerPortRoute> routes;  // one per name
    std::vector<std::string> refused;    // why a library adds no port
};

// Lists the ports of every usable library, library by library in the order
// given, each port by its serial index. A library needs clGetNumSerialPorts
// and clGetManufacturerInfo to be listed; libraries that failed to bind are
// left out silently (their loader already said why).
SerialLibraryPorts ListSerialLibraryPorts(const std::vector<const ClSerialLibrary*>& libraries);

}  // namespace clst
