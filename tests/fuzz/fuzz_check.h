// Shared by the fuzz targets: a check that stops the run with a message, so
// that libFuzzer keeps the input that broke a property.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                             \
        }                                                                                 \
    } while (0)

namespace clst::fuzz {

// Splits `text` at every `separator`; a trailing separator gives no empty
// last piece.
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece, separator);)
        pieces.push_back(piece);
    return pieces;
}

}  // namespace clst::fuzz
