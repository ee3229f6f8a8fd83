// How an echo list line is shown: one row of text. The stored line keeps the
// raw bytes the relay put between the brackets ("a[<LF>] "); shown raw, a line
// feed splits the row in two and other control characters vanish or move
// the cursor of a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace clst {

// The one-row display text of a stored echo list line, in UTF-8. Control
// characters are written as escapes: \t, \n and \r, any other as \x and two
// hex digits (DEL and the C1 controls 0x80..0x9F included). Escapes rather
// than Unicode's control pictures, which many desktop fonts lack and which
// grep on a journal cannot type. The other bytes are Latin-1 characters. A
// line end closing the line (the COM write error line has one) is not shown.
std::string EchoDisplayText(std::string_view line);

// The characters EchoDisplayText(line) shows, without making it: the echo
// list sizes its horizontal scroll range from every line it holds.
size_t EchoDisplayWidth(std::string_view line);
// The same for the echo line of `bytes` (as the relay formats them).
size_t EchoBytesDisplayWidth(std::string_view bytes);

// The echo list's first line once its oldest lines have been dropped.
std::string EchoDroppedNote(uint64_t count, size_t maxBytes);

}  // namespace clst
