// An emulation configuration as one text (all but its source), so that a
// whole result is compared at once: by the tests and the fuzz target.
#pragma once

#include <string>

#include "emulation/common/emulation_config.h"

namespace clst::emulation {

inline std::string Describe(const EmulationConfig& c) {
    std::string s = "limit " + std::to_string(c.deviceLimit);
    for (const BoardConfig& b : c.boards) {
        s += "\nboard" + std::to_string(b.deviceIndex) + (b.hasName ? " '" + b.name + "'" : "") +
             " ports " + std::to_string(b.ports) + " from " + std::to_string(b.firstSerialIndex);
    }
    for (const PortConfig& p : c.ports) {
        s += "\nport" + std::to_string(p.index) + " " + p.camera + " " + p.link + "|" +
             std::to_string(p.initError) + std::to_string(p.baudError) + " " +
             std::to_string(p.readErrorEvery) + " " + std::to_string(p.shortWrite) + " " +
             std::to_string(p.stalledReceiver) + " rx " + std::to_string(p.rxBuffer) +
             (p.timeoutCopiesNothing ? " copies nothing on a time-out" : "");
    }
    return s;
}

}  // namespace clst::emulation
