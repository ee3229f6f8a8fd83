// How the relay workers add their lines to the echo list: the default worker
// and the low-latency worker show the same direction, byte, retry and error
// lines.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "relay/relay_worker.h"

namespace clst {

// Adds one line to the echo list; without a list the line is dropped.
void AddLine(std::string_view line);

// The numbers of every line are printed as signed 32-bit decimals.
template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[256];
    int n = std::snprintf(text, sizeof text, format, args...);
    if (n < 0) {
        return {};
    }
    return std::string(
        text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

// The direction line ("To ClSer:" or "To Com:"), then the block's byte line.
void EchoBlock(const char* direction, const EchoRecord& record);

}  // namespace clst
