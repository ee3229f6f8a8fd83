#include "relay/line_rate_follower.h"

#include "platform/serial_port.h"
#include "relay/relay_lines.h"
#include "relay/relay_state.h"

namespace clst {

uint32_t ClSerBaudCodeFromRate(uint32_t bitsPerSecond) {
    constexpr uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == bitsPerSecond)
            return 1u << i;
    }
    return 0;
}

void LineRateFollower::Follow() {
    platform::Dcb dcb;
    if (!platform::GetCommState(g_comPort.handle(), dcb) || dcb.BaudRate == rate_.load()) {
        return;
    }
    const auto newRate = static_cast<int32_t>(dcb.BaudRate);
    const auto oldRate = static_cast<int32_t>(rate_.load());
    const uint32_t code = ClSerBaudCodeFromRate(dcb.BaudRate);
    if (code == 0) {
        if (dcb.BaudRate != reported_) {
            reported_ = dcb.BaudRate;
            AddLine(
                Format("The COM port changed to %d bit/s, which the Camera Link port cannot "
                       "run: it stays at %d bit/s",
                       newRate, oldRate));
        }
        return;
    }
    const int32_t status = g_clSerPort.SetBaudRate(code);
    if (status < 0) {
        if (dcb.BaudRate != reported_) {
            reported_ = dcb.BaudRate;
            AddLine(
                Format("Changing the Camera Link port to %d bit/s failed   error code: %d  "
                       "it stays at %d bit/s",
                       newRate, status, oldRate));
        }
        return;
    }
    reported_ = 0;
    rate_ = dcb.BaudRate;
    AddLine(
        Format("Line rate changed from %d to %d bit/s: the Camera Link port follows the COM "
               "port",
               oldRate, newRate));
}

}  // namespace clst
