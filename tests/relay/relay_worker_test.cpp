// The relay workers end to end: a real pty on the COM side, the emulated
// Camera Link serial library on the other, and the test playing both the COM
// client (the pty master) and, where it matters, the camera (the emulated
// port's pty). Where the two workers take different steps a case runs in both
// modes, which must relay alike and show the same lines; where the camera
// reads matter, both modes run also with a library that has only the five
// functions the default mode needs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "relay/low_latency_worker.h"
#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "tests/support/test_io.h"

using namespace clst;
using namespace clst::testing;
using namespace std::chrono_literals;
using LineList = std::vector<std::string>;

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(rng()); });
    return bytes;
}

struct WorkerVariant {
    const char* name;
    RelayMode mode;
    bool countsBytes;  // the library has clGetNumBytesAvail
    friend void PrintTo(const WorkerVariant& variant, std::ostream* out) { *out << variant.name; }
};
const WorkerVariant kDefault{"Default", RelayMode::kDefault, true};
const WorkerVariant kLowLatency{"LowLatency", RelayMode::kLowLatency, true};
const WorkerVariant kFiveFunctions{"LowLatencyFiveFunctions", RelayMode::kLowLatency, false};
const WorkerVariant kDefaultFiveFunctions{"DefaultFiveFunctions", RelayMode::kDefault, false};
const auto kName = [](const auto& info) { return std::string(info.param.name); };
using Side = LowLatencyPacer::Side;

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
    void StartRelay(const std::string& portKeys, bool followLineRate = false) {
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
        ASSERT_TRUE(worker_->Start(&sink_, {GetParam().mode, followLineRate}));
    }
    std::string ptyCamera() const { return "camera=pty\nlink=" + (dir_ / "cam0"); }

    // Lines produced so far (accumulated over calls).
    const LineList& Lines() {
        sink_.TakeLines(lines_);
        return lines_;
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
    LineList lines_;
    ClSerialLibrary fiveFunctions_;
    std::unique_ptr<RelayWorker> worker_;
};

// Cases where how a worker reads the camera matters.
INSTANTIATE_TEST_SUITE_P(Modes, RelayWorkerTest,
                         ::testing::Values(kDefault, kLowLatency, kFiveFunctions,
                                           kDefaultFiveFunctions),
                         kName);
// Cases where only the workers' own steps differ.
class RelayWorkerModeTest : public RelayWorkerTest {};
INSTANTIATE_TEST_SUITE_P(Modes, RelayWorkerModeTest, ::testing::Values(kDefault, kLowLatency),
                         kName);
// The endpoints do the same for both workers.
class RelayEndpointTest : public RelayWorkerTest {};
INSTANTIATE_TEST_SUITE_P(Modes, RelayEndpointTest, ::testing::Values(kDefault), kName);

}  // namespace

TEST(QueuedEchoSinkTest, ABoundCountsTheMemoryHeldWithTheBatchBeingPrinted) {
    // Room for two short lines as they are held: each takes a string object.
    QueuedEchoSink sink(2 * QueuedEchoSink::HeldBytes("aaaa"));
    LineList lines;
    for (const char* line : {"aaaa", "bbbb", "cccc"})
        sink.AddString(line);
    sink.TakeLines(lines);   // two fit; a notice stands for the third
    sink.AddString("dddd");  // no room while the batch taken is being printed
    sink.TakeLines(lines);   // that batch is done now
    sink.TakeLines(lines);   // and so is the one with the second notice
    sink.AddString("eeee");
    sink.AddString("ffff");
    sink.TakeLines(lines);
    const std::string notice = QueuedEchoSink::DroppedNotice(1);
    EXPECT_EQ(lines, (LineList{"aaaa", "bbbb", notice, notice, "eeee", "ffff"}));
    EXPECT_EQ(sink.produced(), 6) << "the count follows every line, dropped or not";
}

// Which side the low-latency worker waits on, and for how long, as bytes move.
TEST(LowLatencyPacerTest, WaitsWhereTheNextBytesAreDue) {
    // What happened, when the pass ended, whether bytes went to the camera and
    // to COM, whether a camera read failed; the wait that follows.
    const std::tuple<const char*, int, bool, bool, bool, LowLatencyPacer::Wait> passes[] = {
        {"nothing moved yet: quiet", 0, false, false, false, {Side::kCom, 10, 0}},
        {"a command went out: answer due", 5, true, false, false, {Side::kCamera, 1, 0}},
        {"no answer yet", 60, false, false, false, {Side::kCamera, 1, 0}},
        {"none for the busy span", 105, false, false, false, {Side::kCamera, 10, 0}},
        {"the answer went out: command due", 110, false, true, false, {Side::kCom, 1, 0}},
        {"more of the answer", 111, false, true, false, {Side::kCom, 1, 0}},
        {"both ways: a stream, pause", 115, true, true, false, {Side::kCamera, 1, 1}},
        {"camera read failed: default pace", 120, false, false, true, {Side::kCom, 100, 0}},
        {"then back to the side due", 230, false, false, false, {Side::kCamera, 10, 0}},
    };
    const auto start = LowLatencyPacer::Clock::now();
    LowLatencyPacer pacer;
    for (const auto& [what, endsAtMs, toCamera, toCom, cameraReadFailed, wait] : passes) {
        const auto at = start + std::chrono::milliseconds(endsAtMs);
        pacer.Passed(toCamera, toCom, cameraReadFailed, at);
        const auto next = pacer.Next(at);
        EXPECT_EQ(std::tuple(next.side, next.ms, next.pauseMs),
                  std::tuple(wait.side, wait.ms, wait.pauseMs))
            << what;
    }
}

TEST_P(RelayWorkerTest, RelaysBothWaysByteExactAndEchoesOnlyWhileAsked) {
    g_echoEnabled = true;
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera()));
    ASSERT_TRUE(WriteAll(master_, "AB"));
    EXPECT_EQ(ReadFor(camera_, 2, 3s), "AB");
    const std::string answer("\n\xe9\0", 3);
    ASSERT_TRUE(WriteAll(camera_, answer));
    EXPECT_EQ(ReadFor(master_, 3, 3s), answer);  // echoed before it was written

    // Echo off takes effect with the next block; a lot both ways at once.
    g_echoEnabled = false;
    const std::string toCamera = RandomBytes(64 * 1024, 1), toCom = RandomBytes(64 * 1024, 2);
    std::thread clientWriter(
        [&] { EXPECT_TRUE(WriteAll(master_, toCamera.data(), toCamera.size(), 20s)); });
    std::thread cameraWriter(
        [&] { EXPECT_TRUE(WriteAll(camera_, toCom.data(), toCom.size(), 20s)); });
    std::string atCamera;
    std::thread cameraReader([&] { atCamera = ReadFor(camera_, toCamera.size(), 20s); });
    const std::string atCom = ReadFor(master_, toCom.size(), 20s);
    cameraReader.join();
    clientWriter.join();
    cameraWriter.join();
    EXPECT_TRUE(atCamera == toCamera) << "COM to camera: " << atCamera.size() << " bytes";
    EXPECT_TRUE(atCom == toCom) << "camera to COM: " << atCom.size() << " bytes";
    // Each block shows as its direction, then its bytes; how bytes fall into
    // blocks depends on when they arrive.
    std::map<std::string, std::string> echoed;
    for (size_t i = 0; i < Lines().size(); i += 2)
        echoed[Lines()[i]] += i + 1 < Lines().size() ? Lines()[i + 1] : "<none>";
    EXPECT_EQ(echoed, (std::map<std::string, std::string>{{"To ClSer:", "41[A] 42[B] "},
                                                          {"To Com:", "a[\n] e9[\xe9] 0[] "}}));
    EXPECT_FALSE(g_connectionError.load());
}

// Some makers' libraries copy nothing when a read times out and keep the
// bytes for a later read: none is invented, and every one still arrives.
TEST_P(RelayWorkerTest, ALibraryThatCopiesNothingOnATimeOutInventsAndLosesNoByte) {
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera() + "\ntimeout_copies_nothing=1"));
    // Each reply follows a command, so that the low-latency worker waits on
    // the camera side too.
    for (const size_t size : {1, 2, 7, 300, 1023, 1024, 1025, 5000}) {
        const std::string reply = RandomBytes(size, static_cast<unsigned>(size));
        ASSERT_TRUE(WriteAll(master_, "?"));
        ASSERT_EQ(ReadFor(camera_, 1, 3s), "?");
        ASSERT_TRUE(WriteAll(camera_, reply));
        EXPECT_TRUE(ReadFor(master_, size, 3s) == reply) << size << " bytes";
    }
    EXPECT_EQ(ReadFor(master_, 1, 300ms), "") << "a quiet line gives nothing";
    EXPECT_TRUE(Lines().empty());
}

TEST_P(RelayWorkerTest, CameraReadFailureAddsLineAndRelayGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=echo\nread_error_every=3"));
    // Every third camera read fails and takes nothing; the echoes of a few
    // commands take more reads than that in either mode.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(WriteAll(master_, "still here"));
        ASSERT_EQ(ReadFor(master_, 10, 3s), "still here") << "command " << i;
    }
    const auto failed = ::testing::StartsWith("Error reading from clser interface   error code: -");
    EXPECT_THAT(Lines(), ::testing::AllOf(::testing::Contains(failed), ::testing::Each(failed)));
    EXPECT_FALSE(WorkerEnded() || g_connectionError.load()) << "the relay goes on";
}

TEST_P(RelayWorkerModeTest, CameraShortWriteEndsWorkerWithoutConnectionError) {
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=silent\nshort_write=2"));
    ASSERT_TRUE(WriteAll(master_, "ABCDEF"));
    ASSERT_TRUE(WaitFor([&] { return !Lines().empty() && WorkerEnded(); }, 3s));
    EXPECT_EQ(Lines(), LineList{"Error writing to clser interface   error code: -5"});
    EXPECT_FALSE(g_connectionError.load());
}

TEST_P(RelayWorkerModeTest, StoppedComOutputGivesOneRetryLineThenTheWriteErrorLine) {
    // Opened before the relay holds the port in exclusive mode.
    int control = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(control, 0);
    ASSERT_NO_FATAL_FAILURE(StartRelay(ptyCamera()));
    ASSERT_TRUE(WriteAll(camera_, "0123456789"));
    ASSERT_EQ(ReadFor(master_, 10, 3s), "0123456789");

    // Suspend output on the relay's side of the pty: every write now delivers
    // nothing, as into a peer whose buffer is full.
    ASSERT_EQ(tcflow(control, TCOOFF), 0);
    const auto stalledAt = Clock::now();
    ASSERT_TRUE(WriteAll(camera_, "abcdefghij"));
    ASSERT_TRUE(WaitFor([&] { return g_connectionError.load(); }, 10s));
    EXPECT_GE(Clock::now() - stalledAt, 2000ms) << "ten retries 200 ms apart";
    tcflow(control, TCOON);
    close(control);
    // The block taken may be part of the ten bytes.
    EXPECT_THAT(Lines(), ::testing::ElementsAre(
                             "Retry after TotalBytesWritten: 10",
                             ::testing::MatchesRegex("Error writing to COM interface  error code: "
                                                     "0  TotalBytesWritten: 10  "
                                                     "TotalBytesToWrite: (1[1-9]|20)\n")));
    EXPECT_TRUE(WaitFor([&] { return WorkerEnded(); }, 3s));
}

TEST_P(RelayEndpointTest, FollowsTheClientsLineRateOnlyWhenAsked) {
    // The client sets its rate (here straight on the relay's pty, as the
    // pair host does), then asks the demo camera for the rate of its line.
    auto ask = [&](speed_t speed, const std::string& reply) {
        EXPECT_TRUE(SetSpeed(master_, speed) && WriteAll(master_, "baud?\r"));
        EXPECT_EQ(ReadFor(master_, reply.size() + 2, 3s), reply + "\r\n");
    };
    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=demo"));
    ask(B9600, "baud=921600");  // without the option the rate stays as connected
    worker_->Stop();
    EXPECT_TRUE(Lines().empty());

    ASSERT_NO_FATAL_FAILURE(StartRelay("camera=demo", true));
    ask(B9600, "baud=9600");
    ask(B4800, "baud=9600");  // no Camera Link rate: kept, said once
    ask(B4800, "baud=9600");
    ask(B115200, "baud=115200");
    const std::string follows = " bit/s: the Camera Link port follows the COM port";
    EXPECT_EQ(Lines(), (LineList{"Line rate changed from 921600 to 9600" + follows,
                                 "The COM port changed to 4800 bit/s, which the Camera Link port "
                                 "cannot run: it stays at 9600 bit/s",
                                 "Line rate changed from 9600 to 115200" + follows}));
}
