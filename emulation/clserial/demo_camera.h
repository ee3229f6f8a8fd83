// The demo camera: an ASCII command/reply protocol of the kind real Camera
// Link cameras speak. Commands end with CR (LF is ignored); every reply
// ends with CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clst::emulation {

class DemoCamera {
  public:
    explicit DemoCamera(int serialIndex);

    // One byte from the line; a completed command appends its reply.
    void Receive(uint8_t byte, std::vector<uint8_t>& reply);
    // The rate the grabber set, for "baud?".
    void SetLineRate(uint32_t bitsPerSecond) { lineRate_ = bitsPerSecond; }

    static constexpr size_t kMaxCommand = 256;

  private:
    std::string Execute(const std::string& command);

    int serialIndex_;
    uint32_t lineRate_ = 9600;
    std::string command_;
    bool overlong_ = false;
    int gain_ = 5;
    int exposure_ = 1000;
    std::string mode_ = "free";
};

}  // namespace clst::emulation
