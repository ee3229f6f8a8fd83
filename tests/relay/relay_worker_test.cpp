// The relay worker end to end: a real pty on the COM side, the emulated Camera
// Link serial library on the other, and the test playing both the COM client
// (the pty master) and, where it matters, the camera (the emulated port's pty).
// Every case runs in both modes, which must relay alike and show the same
// lines, and the low-latency mode also with a library that has only the five
// functions the default mode needs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "tests/support/test_io.h"

using namespace clst;
using namespace clst::testing;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

// Index of the first byte that differs, or -1.
long FirstDifference(const std::vector<uint8_t>& sent, const std::string& got) {
    for (size_t i = 0; i < sent.size() && i < got.size(); ++i) {
        if (sent[i] != static_cast<uint8_t>(got[i]))
            return static_cast<long>(i);
    }
    return sent.size() == got.size() ? -1 : static_cast<long>(std::min(sent.size(), got.size()));
}

struct WorkerVariant {
    const char* name;
    RelayMode mode;
    bool countsBytes;  // the library has clGetNumBytesAvail
};
void PrintTo(const WorkerVariant& variant, std::ostream* out) {
    *out << variant.name;
}

class RelayWorkerTest : public ::testing::TestWithParam<WorkerVariant> {
  protected:
    // The COM side: the relay opens the pty's slave through a port link, the
    // test is the client on the master.
    void SetUp() override {
        ASSERT_EQ(mkdir(portDir_.c_str(), 0700), 0);
        ASSERT_EQ(symlink(pty_.slave.c_str(), (portDir_ + "/ZADURUV9").c_str()), 0);
        g_connectionError = false;
        g_echoEnabled = false;
        if (!GetParam().countsBytes) {
            fiveFunctions_ = ProcessClSerialLibrary();
            fiveFunctions_.numBytesAvail = nullptr;
            g_clSerPort = ClSerEndpoint(&fiveFunctions_);
        }
        ASSERT_EQ(g_clSerPort.CanCountBytes(), GetParam().countsBytes);
    }
    void TearDown() override {
        if (worker_)
            worker_->Stop();
        g_clSerPort = ClSerEndpoint();
        g_echoListBox = nullptr;
        if (camera_ >= 0)
            close(camera_);
    }

    // Starts a relay on an emulated port with the given camera settings.
    void StartRelay(const std::string& portKeys, bool echo, bool followLineRate = false) {
        std::ofstream(dir_ / "emulation.ini") << "[board0]\nname=EmuBoard\nports=1\n[port0]\n"
                                              << portKeys << "\n";
        emulation_.Set(dir_ / "emulation.ini");
        worker_ = std::make_unique<RelayWorker>("\\\\.\\ZADURUV9", 0, 128u, 921600u, 0, 8, 0);
        ASSERT_EQ(worker_->OpenClSerPort(), 0);
        ASSERT_EQ(worker_->OpenComPort(), 0);
        if (portKeys.find("camera=pty") != std::string::npos) {
            camera_ = OpenRawPort(dir_ / "cam0");
            ASSERT_GE(camera_, 0) << "camera link " << (dir_ / "cam0");
        }
        g_echoEnabled = echo;
        ASSERT_TRUE(worker_->Start(&sink_, {GetParam().mode, followLineRate}));
    }
    std::string ptyCamera() const { return "camera=pty\nlink=" + (dir_ / "cam0"); }

    // Lines produced so far (accumulated over calls).
    const std::vector<std::string>& Lines() {
        sink_.TakeLines(lines_);
        return lines_;
    }
    size_t CountLines(const std::string& prefix) {
        return static_cast<size_t>(
            std::count_if(Lines().begin(), Lines().end(),
                          [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
    }
    // True once the worker has left its loop (it holds the port lock until then).
    bool WorkerEnded() {
        if (!worker_ || !worker_->ended() || !g_portLock.try_lock())
            return false;
        g_portLock.unlock();
        return true;
    }

    ScratchDir dir_{"/tmp/clst-relay-XXXXXX"};
    std::string portDir_ = dir_ / "ports";
    ScopedEnv portEnv_{"CLSERTOLVANE_PORT_DIR", portDir_};
    ScopedEnv emulation_{"MARO_EMULATION", std::nullopt};
    Pty pty_;
    const int master_ = pty_.master;
    int camera_ = -1;
    QueuedEchoSink sink_;
    std::vector<std::string> lines_;
    ClSerialLibrary fiveFunctions_;
    std::unique_ptr<RelayWorker> worker_;
};

INSTANTIATE_TEST_SUITE_P(
    Modes, RelayWorkerTest,
    ::testing::Values(WorkerVariant{"Default", RelayMode::kDefault, true},
                      WorkerVariant{"LowLatency", RelayMode::kLowLatency, true},
                      WorkerVariant{"LowLatencyFiveFunctions", RelayMode::kLowLatency, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

TEST(EchoLineTest, EveryByteValueFormatsAsHexAndRawCharacter) {
    for (int value = 0; value < 256; ++value) {
        const uint8_t byte = static_cast<uint8_t>(value);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%x", value);
        std::string expected = std::string(hex) + "[";
        if (value != 0)
            expected.push_back(static_cast<char>(byte));
        expected += "] ";
        EXPECT_EQ(FormatEchoLine(&byte, 1), expected) << "byte " << value;
    }
    const uint8_t block[] = {0x41, 0x42, 0x0A, 0xE9, 0x00, 0x0D};
    EXPECT_EQ(FormatEchoLine(block, sizeof block), "41[A] 42[B] a[\n] e9[\xe9] 0[] d[\r] ");
    EXPECT_EQ(FormatEchoLine(block, 0), "");
}

TEST(EchoLineTest, EchoBytesScrollsSoTheTenthLineFromTheEndIsOnTop) {
    QueuedEchoSink sink;
    g_echoListBox = &sink;
    EchoRecord record;
    record.count = 1;
    record.data[0] = 'x';
    for (int i = 0; i < 9; ++i)
        EchoBytes(record);
    EXPECT_EQ(sink.topIndex(), -1) << "fewer than ten lines: the negative index is refused";
    for (int i = 0; i < 16; ++i)
        EchoBytes(record);
    EXPECT_EQ(sink.produced(), 25);
    EXPECT_EQ(sink.topIndex(), 15);
    std::vector<std::string> lines;
    sink.TakeLines(lines);
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines.back(), "78[x] ");
    g_echoListBox = nullptr;
    EchoBytes(record);  // no list: nothing happens, no crash
}

TEST(QueuedEchoSinkTest, ABoundedQueueDropsLinesInPlaceOfANoticeAndCountsAllOfThem) {
    QueuedEchoSink sink(10);
    std::vector<std::string> lines;
    for (const char* line : {"aaaa", "bbbb", "cccc", "dddd"})
        sink.AddString(line);
    sink.TakeLines(lines);  // two fit; the notice follows them
    sink.AddString("eeee");
    sink.AddString("ffff");
    sink.TakeLines(lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"aaaa", "bbbb", QueuedEchoSink::DroppedNotice(2),
                                               "eeee", "ffff"}));
    EXPECT_EQ(sink.produced(), 6) << "the count follows every line, dropped or not";
    EXPECT_EQ(sink.TakeLines(lines), 0u);
}

TEST_P(RelayWorkerTest, RelaysRandomPayloadBothWaysAtOnceByteExact) {
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera(), false));
    const auto toCamera = RandomBytes(64 * 1024, 1);
    const auto toCom = RandomBytes(64 * 1024, 2);

    std::thread clientWriter(
        [&] { EXPECT_TRUE(WriteAll(master_, toCamera.data(), toCamera.size(), 20s)); });
    std::thread cameraWriter(
        [&] { EXPECT_TRUE(WriteAll(camera_, toCom.data(), toCom.size(), 20s)); });
    std::string atCamera, atCom;
    std::thread cameraReader([&] { atCamera = ReadFor(camera_, toCamera.size(), 20s); });
    atCom = ReadFor(master_, toCom.size(), 20s);
    cameraReader.join();
    clientWriter.join();
    cameraWriter.join();

    ASSERT_EQ(atCamera.size(), toCamera.size());
    ASSERT_EQ(atCom.size(), toCom.size());
    EXPECT_EQ(FirstDifference(toCamera, atCamera), -1) << "COM to camera";
    EXPECT_EQ(FirstDifference(toCom, atCom), -1) << "camera to COM";
    EXPECT_TRUE(Lines().empty()) << "echo off: no line at all, first: " << Lines().front();
    EXPECT_FALSE(g_connectionError.load());
}

TEST_P(RelayWorkerTest, EchoShowsDirectionAndByteLines) {
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera(), true));
    ASSERT_TRUE(WriteAll(master_, "AB"));
    EXPECT_EQ(ReadFor(camera_, 2, 3s), "AB");
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 2; }, 3s));
    EXPECT_EQ(Lines()[0], "To ClSer:");
    EXPECT_EQ(Lines()[1], "41[A] 42[B] ");

    ASSERT_TRUE(WriteAll(camera_, std::string("\n\xe9\0", 3)));
    EXPECT_EQ(ReadFor(master_, 3, 3s), std::string("\n\xe9\0", 3));
    ASSERT_TRUE(WaitFor([&] { return Lines().size() >= 4; }, 3s));
    EXPECT_EQ(Lines()[2], "To Com:");
    EXPECT_EQ(Lines()[3], "a[\n] e9[\xe9] 0[] ");

    // Switching echo off takes effect with the next block.
    g_echoEnabled = false;
    ASSERT_TRUE(WriteAll(master_, "quiet"));
    EXPECT_EQ(ReadFor(camera_, 5, 3s), "quiet");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Lines().size(), 4u);
}

TEST_P(RelayWorkerTest, CameraReadFailureAddsLineAndRelayGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=echo\nread_error_every=3", false));
    // Every third camera read fails and takes nothing; the echoes of a few
    // commands take more reads than that in either mode.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(WriteAll(master_, "still here"));
        ASSERT_EQ(ReadFor(master_, 10, 3s), "still here") << "command " << i;
    }
    EXPECT_GT(CountLines("Error reading from clser interface   error code: -"), 0u);
    EXPECT_EQ(CountLines(""), CountLines("Error reading from clser interface   error code: -"));
    EXPECT_FALSE(WorkerEnded());
    EXPECT_FALSE(g_connectionError.load());
}

TEST_P(RelayWorkerTest, CameraShortWriteEndsWorkerWithoutConnectionError) {
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=silent\nshort_write=2", false));
    ASSERT_TRUE(WriteAll(master_, "ABCDEF"));
    ASSERT_TRUE(WaitFor([&] { return !Lines().empty() && WorkerEnded(); }, 3s));
    EXPECT_EQ(Lines(),
              std::vector<std::string>{"Error writing to clser interface   error code: -5"});
    EXPECT_FALSE(g_connectionError.load());
}

TEST_P(RelayWorkerTest, FollowsTheClientsLineRateOnlyWhenAsked) {
    // The client sets its rate (here straight on the relay's pty, as the
    // pair host does), then asks the demo camera for the rate of its line.
    auto ask = [&](speed_t speed, const std::string& reply) {
        termios t{};
        EXPECT_EQ(tcgetattr(master_, &t), 0);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        EXPECT_EQ(tcsetattr(master_, TCSANOW, &t), 0);
        EXPECT_TRUE(WriteAll(master_, "baud?\r"));
        EXPECT_EQ(ReadFor(master_, reply.size() + 2, 3s), reply + "\r\n");
    };
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=demo", false));
    ask(B9600, "baud=921600");  // without the option the rate stays as connected
    worker_->Stop();
    worker_.reset();
    Lines();
    lines_.clear();

    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=demo", false, true));
    const struct {
        speed_t speed;
        const char* reply;
    } steps[] = {{B9600, "baud=9600"},
                 {B4800, "baud=9600"},  // no Camera Link rate: kept, said once
                 {B4800, "baud=9600"},
                 {B115200, "baud=115200"}};
    for (const auto& step : steps)
        ask(step.speed, step.reply);
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{
                  "Line rate changed from 921600 to 9600 bit/s: the Camera Link port follows the "
                  "COM port",
                  "The COM port changed to 4800 bit/s, which the Camera Link port cannot run: it "
                  "stays at 9600 bit/s",
                  "Line rate changed from 9600 to 115200 bit/s: the Camera Link port follows the "
                  "COM port"}));
    EXPECT_EQ(worker_->lineRate(), 115200u);
}

TEST_P(RelayWorkerTest, StoppedComOutputGivesOneRetryLineThenTheWriteErrorLine) {
    // Opened before the relay holds the port in exclusive mode.
    int control = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(control, 0);
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera(), false));
    ASSERT_TRUE(WriteAll(camera_, "0123456789"));
    ASSERT_EQ(ReadFor(master_, 10, 3s), "0123456789");

    // Suspend output on the relay's side of the pty: every write now delivers
    // nothing, as into a peer whose buffer is full.
    ASSERT_EQ(tcflow(control, TCOOFF), 0);
    const auto stalledAt = Clock::now();
    ASSERT_TRUE(WriteAll(camera_, "abcdefghij"));
    ASSERT_TRUE(WaitFor([&] { return g_connectionError.load(); }, 6s));
    const auto took = Clock::now() - stalledAt;
    tcflow(control, TCOON);
    close(control);

    const auto& lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Retry after TotalBytesWritten: 10");
    int code = -1, written = -1, toWrite = -1;
    ASSERT_EQ(std::sscanf(lines[1].c_str(),
                          "Error writing to COM interface  error code: %d  TotalBytesWritten: %d  "
                          "TotalBytesToWrite: %d",
                          &code, &written, &toWrite),
              3)
        << lines[1];
    EXPECT_EQ(code, 0);
    EXPECT_EQ(written, 10);
    EXPECT_GT(toWrite, 10);
    EXPECT_LE(toWrite, 20);
    EXPECT_EQ(lines[1].back(), '\n');
    EXPECT_GE(took, 2000ms) << "ten retries 200 ms apart";
    EXPECT_TRUE(WaitFor([&] { return WorkerEnded(); }, 1s));
}

TEST_P(RelayWorkerTest, UndrainedComPeerEndsInWriteErrorAndRaisesFlag) {
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera(), false));
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const auto chunk = RandomBytes(4096, 3);
        while (!stop.load()) {
            if (!WriteAll(camera_, chunk.data(), chunk.size(), 100ms))
                continue;
        }
    });
    const bool raised = WaitFor([&] { return g_connectionError.load(); }, 20s);
    stop = true;
    flood.join();
    ASSERT_TRUE(raised);
    EXPECT_TRUE(WaitFor([&] { return WorkerEnded(); }, 1s));
    ASSERT_FALSE(Lines().empty());
    EXPECT_EQ(Lines().back().rfind("Error writing to COM interface  error code: ", 0), 0u)
        << Lines().back();
    // A write that delivered nothing is retried once per block; a partial one is not retried.
    EXPECT_LE(CountLines("Retry after TotalBytesWritten: "), 1u);
}

TEST_P(RelayWorkerTest, StopWhileQuietReturnsPromptlyAndClosesBothPorts) {
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=silent", false));
    std::this_thread::sleep_for(150ms);
    const auto before = Clock::now();
    worker_->Stop();
    const auto took = Clock::now() - before;
    EXPECT_LT(took, 500ms) << "one COM read and one short camera read at most";
    EXPECT_FALSE(g_comPort.IsOpen());
    EXPECT_FALSE(g_clSerPort.IsOpen());
    EXPECT_FALSE(g_relayRunning.load());
    // The COM side is free again: another open of the same port succeeds.
    EXPECT_EQ(worker_->OpenComPort(), 0);
    EXPECT_EQ(g_comPort.Close(), 0);
    worker_.reset();
}
