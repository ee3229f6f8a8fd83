#include "emulation/clserial/demo_camera.h"

#include <cstdio>

namespace clst::emulation {
namespace {

bool ParseNumber(const std::string& text, long lo, long hi, int& value) {
    if (text.empty() || text.size() > 9)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

DemoCamera::DemoCamera(int serialIndex) : serialIndex_(serialIndex) {}

void DemoCamera::Receive(uint8_t byte, std::vector<uint8_t>& reply) {
    if (byte == '\n')
        return;
    if (byte != '\r') {
        if (command_.size() >= kMaxCommand) {
            overlong_ = true;
        } else {
            command_.push_back(static_cast<char>(byte));
        }
        return;
    }
    std::string answer;
    if (overlong_) {
        answer = "ERR command too long";
    } else if (!command_.empty()) {
        answer = Execute(command_);
    }
    command_.clear();
    overlong_ = false;
    if (answer.empty())
        return;
    answer += "\r\n";
    reply.insert(reply.end(), answer.begin(), answer.end());
}

std::string DemoCamera::Execute(const std::string& command) {
    if (command == "id?") {
        char id[64];
        std::snprintf(id, sizeof id, "EMUCAM-2000 SN%05d", serialIndex_);
        return id;
    }
    if (command == "gain?")
        return "gain=" + std::to_string(gain_);
    if (command == "exposure?")
        return "exposure=" + std::to_string(exposure_);
    if (command == "mode?")
        return "mode=" + mode_;
    if (command == "baud?")
        return "baud=" + std::to_string(lineRate_);
    if (command.rfind("gain=", 0) == 0) {
        return ParseNumber(command.substr(5), 0, 100, gain_) ? "OK" : "ERR bad value";
    }
    if (command.rfind("exposure=", 0) == 0) {
        return ParseNumber(command.substr(9), 10, 1000000, exposure_) ? "OK" : "ERR bad value";
    }
    if (command.rfind("mode=", 0) == 0) {
        const std::string mode = command.substr(5);
        if (mode != "free" && mode != "trigger")
            return "ERR bad value";
        mode_ = mode;
        return "OK";
    }
    return "ERR unknown command";
}

}  // namespace clst::emulation
