// One open port of the emulated board: the serial line between the grabber
// and its camera, paced at the line rate in both directions, and the camera
// behind it. A thread per open port moves the bytes; it sleeps until the
// next byte is due, so an idle port costs no CPU.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulation/clserial/demo_camera.h"
#include "emulation/common/emulation_config.h"

namespace clst::emulation {

class EmulatedPort {
  public:
    explicit EmulatedPort(const PortConfig& config);
    ~EmulatedPort();
    EmulatedPort(const EmulatedPort&) = delete;
    EmulatedPort& operator=(const EmulatedPort&) = delete;

    // Creates the camera (the pty and its link for camera=pty) and starts
    // the line thread. Returns a Camera Link status.
    int32_t Start();
    // Stops the thread, removes the pty link. Wakes blocked readers/writers.
    void Stop();

    int32_t SetBaudCode(uint32_t code);
    // Standard read/write semantics; counts in/out.
    int32_t Read(char* buffer, uint32_t& count, uint32_t timeoutMs);
    int32_t Write(const char* buffer, uint32_t& count, uint32_t timeoutMs);
    uint32_t BytesAvailable();
    void Flush();
    uint32_t OverflowCount();

    static constexpr size_t kTransmitQueue = 65536;
    // Bytes taken from the pty camera ahead of the line, and bytes held for
    // it when it does not read: small, so back-pressure reaches the caller.
    static constexpr size_t kCameraBacklog = 4096;

  private:
    using Clock = std::chrono::steady_clock;

    void Run();
    void Wake();
    void DeliverToCamera(uint8_t byte, Clock::time_point now);
    bool CameraCanTake() const;
    // When to wake for a direction whose first of `queued` bytes went on
    // the line at `lineClock`.
    Clock::time_point NextWake(Clock::time_point lineClock, size_t queued,
                               Clock::time_point now) const;
    void ServicePty();
    bool CreatePty();
    void RemovePty();

    const PortConfig config_;
    std::mutex mutex_;
    std::condition_variable rxReady_;
    std::condition_variable txSpace_;
    bool stopping_ = false;
    bool started_ = false;
    std::thread thread_;
    int wakeFd_ = -1;

    Clock::duration byteTime_;
    uint32_t lineRate_ = 9600;
    std::deque<uint8_t> txQueue_;  // written by the grabber, not yet on the line
    Clock::time_point txClock_;    // when the byte now on the line started
    std::deque<uint8_t> lineOut_;  // sent by the camera, not yet on the line
    Clock::time_point rxClock_;
    std::deque<uint8_t> rxBuffer_;  // arrived, waiting for clSerialRead
    uint32_t overflow_ = 0;
    uint64_t reads_ = 0;

    DemoCamera demo_;
    std::vector<uint8_t> reply_;

    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the line discipline raw between clients
    bool hangUp_ = false;
    std::string slaveName_;
    std::deque<uint8_t> ptyOut_;  // for the pty camera, not yet written to it
};

}  // namespace clst::emulation
