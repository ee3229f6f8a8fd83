// What the pair host of a virtual port pair publishes about the pair's two
// ends in "<port dir>/CNC<n>.lines" (maro_vcp::PairLines): whether a program
// holds the COM end, and the rate that program set there. A relay that
// starts while a client already holds the COM end learns the client's rate
// only from here: the host carries changes of the rate, not the rate itself.
#pragma once

#include <string>

#include "emulation/portpairs/pair_names.h"

namespace clst {

// Reads the line file of the pair whose device end this program opens as
// `devicePortName` (ZADURUV<n> or MAROCOM<n>, with or without "\\.\"), in
// the port directory when that passes its checks. False when the name is no
// pair's device end, or the file is missing, is not a plain file of this
// user that only this user can write, or is malformed.
bool ReadPairLines(const std::string& devicePortName, maro_vcp::PairLines& lines);

}  // namespace clst
