#!/usr/bin/env bash
# Mutation check of the test suites. Each mutant below is a one-line change
# that a user would notice: a wrong constant or text, two steps swapped, an
# off-by-one, a dropped error path, a lock not taken. For each, the change is
# made in a scratch copy of the tree (the working tree as it is, uncommitted
# changes included), the copy is built and the fast suites run (every test
# but the benchmarks and the package test); the mutant is killed when a test
# fails. At the end: "killed K of N" and the survivors by name.
#
#   scripts/mutants.sh              all mutants (about a minute each)
#   scripts/mutants.sh --list       list them and check that each applies
#   scripts/mutants.sh 3 17         only these
#   scripts/mutants.sh --matrix     run every fast test against each mutant
#                                   and name the tests that kill it (slower;
#                                   shows which tests a mutant depends on)
#
# The scratch copy is $CLST_MUTANTS_DIR (default /tmp/clst-mutants); its
# build is kept between runs, so a second run starts faster.
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 - "$@" <<'PY'
import os
import subprocess
import sys
import time

# (file, the one line as it is, the line as the mutant has it, what a user meets)
MUTANTS = [
    # Relay: the workers, the endpoints, the echo lines.
    ("relay/relay_worker.h", "inline constexpr int kComWriteRetries = 10;",
     "inline constexpr int kComWriteRetries = 1;", "a stalled client gets one retry, not ten"),
    ("relay/relay_worker.cpp", "        if (byte >= 0x10) {", "        if (byte > 0x10) {",
     "byte 0x10 shows as '0[...]' instead of '10[...]'"),
    ("relay/relay_steps.cpp", '            EchoBlock("To ClSer:", run.record);',
     '            EchoBlock("To Com:", run.record);', "the echo list names the wrong direction"),
    ("relay/relay_steps.cpp", "        g_connectionError = true;",
     "        g_connectionError = false;",
     "a failed COM write never ends the connection"),
    ("relay/relay_steps.cpp",
     '        AddLine(Format("Error while reading from COM interface   error code: %d", readStatus));',
     '        AddLine(Format("Error while reading from COM interface error code: %d", readStatus));',
     "the COM read error line has the wrong text"),
    ("relay/low_latency_worker.cpp", "        count += more;", "        count = more;",
     "the low-latency worker drops the first byte of every block from the camera"),
    ("relay/low_latency_worker.cpp", "        if (toCamera.fatal || toCom.fatal) {",
     "        if (toCamera.fatal) {",
     "a failed COM write never ends a low-latency worker"),
    ("relay/relay_steps.cpp", "    for (uint64_t ask = wanted / 2; ask > 0; ask /= 2) {",
     "    for (uint64_t ask = wanted / 2; ask > 1; ask /= 2) {",
     "a lone byte a library kept on a time-out never arrives"),
    ("relay/clser_endpoint.cpp", "    keptOnTimeOut_ = status == kClErrTimeout && n == wanted;",
     "    keptOnTimeOut_ = status == kClErrTimeout && n > wanted;",
     "a library that copies nothing on a time-out floods the client with zero bytes"),
    ("relay/com_port_endpoint.cpp", "            return 13;", "            return 14;",
     "a port another program holds reports -14 instead of -13"),
    ("relay/com_port_endpoint.cpp", "    dcb.Flags &= ~kDcbClearMask;", "",
     "the COM port keeps the flow control it had"),
    ("relay/com_port_endpoint.cpp", "        return -2;", "        return -1;",
     "an oversize read reports -1 instead of -2"),
    ("relay/clser_endpoint.cpp", "    if (status >= 0 || status == kClErrTimeout) {",
     "    if (status >= 0) {", "every camera read time-out becomes an error line"),
    ("relay/clser_endpoint.cpp", "    return n == size ? 0 : kClSerShortWrite;",
     "    return 0;", "a short camera write goes unnoticed"),
    ("relay/echo_sink.cpp",
     "    if (maxHeldBytes_ != 0 && queuedBytes_ + takenBytes_ + held > maxHeldBytes_) {",
     "    if (maxHeldBytes_ != 0 && queuedBytes_ + takenBytes_ + held >= maxHeldBytes_) {",
     "a line that just fits the echo queue is dropped"),
    ("relay/echo_sink.cpp", "        takenBytes_ = queuedBytes_;", "        takenBytes_ = 0;",
     "the batch being printed is not counted: headless holds twice its bound"),
    ("relay/clser_library_search.cpp", "    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)",
     "    if ((st.st_mode & S_IWOTH) != 0)",
     "a CLSERIALPATH folder or library the group can write is loaded"),
    ("relay/clser_library_search.cpp", "    if (real.parent_path() != realDir)",
     "    if (real.parent_path() == realDir)",
     "a CLSERIALPATH library that links to another folder is loaded, its own refused"),
    ("relay/line_rate_follower.cpp", "            return 1u << i;", "            return 1u << (i + 1);",
     "--follow-baud switches the camera to twice the client's rate"),
    # Connections: settings, control, discovery, the runtime loader.
    ("connections/connection_settings.cpp",
     'constexpr const char* kParityTexts[] = {"n", "o", "e"};',
     'constexpr const char* kParityTexts[] = {"n", "e", "o"};',
     "odd and even parity are written back swapped"),
    ("connections/connection_settings.cpp",
     "    for (int32_t n = 1; n <= clserPortCount; ++n) {",
     "    for (int32_t n = 1; n < clserPortCount; ++n) {",
     "the last connection section is never found"),
    ("connections/connection_control.cpp",
     "    if (m_settings.devicePortName.size() < 2 || m_settings.clserPortIndex < 0) {",
     "    if (m_settings.devicePortName.size() < 1 || m_settings.clserPortIndex < 0) {",
     "a one-letter device port is connected instead of refused"),
    ("connections/connection_control.cpp",
     '        view_.ShowMessage("Connection error!", "", kMbOk | kMbIconExclamation);',
     '        view_.ShowMessage("Connection error", "", kMbOk | kMbIconExclamation);',
     "the connection error box has the wrong text"),
    ("connections/connection_control.cpp", "    if (m_bConnected && m_pRelay && !settingsPending_) {",
     "    if (m_bConnected && m_pRelay) {",
     "a followed rate replaces settings the user confirmed for the next connection"),
    ("connections/connection_control.cpp", "        TakeClientLineRate();", "",
     "a restarted --follow-baud relay ignores a client that stayed open at another rate"),
    ("connections/port_discovery.cpp", "                m_comPorts.erase(it);", "",
     "a port of a pair is listed twice"),
    ("connections/port_discovery.cpp",
     '                std::snprintf(entry, sizeof entry, "%d. %s_Port%d", running, name, p);',
     '                std::snprintf(entry, sizeof entry, "%d. %s Port%d", running, name, p);',
     "Camera Link ports are named wrongly"),
    ("connections/port_discovery.cpp", "        if (found >= boards) {",
     "        if (found > boards) {", "a board beyond the reported count is listed"),
    ("connections/frame_grabber_runtime.cpp",
     '    static const char* const kNames[] = {"bin", "dll", "Hardware Applets", "lib", "lib64"};',
     '    static const char* const kNames[] = {"bin", "dll", "Hardware Applets", "lib"};',
     "a runtime under lib64 is not found"),
    ("connections/frame_grabber_runtime.cpp", '    const char* env = std::getenv("MARODIR5_64");',
     '    const char* env = std::getenv("MARODIR5");',
     "MARODIR5_64 is ignored"),
    ("connections/frame_grabber_runtime.cpp",
     "        platform::InstalledLibraryDirectory(program).empty()) {", "        true) {",
     "an installed program takes its own tree for the maker's and ignores MARODIR5_64"),
    ("relay/clser_library_search.cpp", "    if (!installed && fs::exists(own, ec))",
     "    if (static_cast<void>(installed), fs::exists(own, ec))",
     "an installed program ignores CLSERIALPATH"),
    ("connections/serial_library_ports.cpp", "            ++running;", "",
     "every port of another maker's library gets number 0"),
    # User interface logic: command line, dialogs, headless.
    ("ui/command_line.cpp", "        if (!std::isdigit(c)) {", "        if (std::isdigit(c)) {",
     "the port index word is never taken"),
    ("ui/command_line.cpp",
     '    if (upper.size() >= 7 && upper.compare(0, 7, "AUTORUN") == 0) {',
     '    if (upper.size() >= 7 && upper.compare(0, 7, "AUTORUN") != 0) {',
     "any word but AUTORUN turns write-back on"),
    ("ui/command_line.cpp",
     "        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));",
     "        c = static_cast<char>(static_cast<unsigned char>(c));",
     "lower-case com5 is not taken as a COM port"),
    ("ui/port_settings_logic.cpp",
     "    if (port.find(kVirtualPortMarker) == std::string::npos) {",
     "    if (port.find(kVirtualPortMarker) != std::string::npos) {",
     "pairs are refused as physical ports"),
    ("ui/port_settings_logic.cpp",
     "                                                      kMbYesNo | kMbIconExclamation) != kIdYes)",
     "                                                      kMbYesNo | kMbIconExclamation) == kIdYes)",
     "answering Yes to different baud rates cancels"),
    ("ui/virtual_port_logic.cpp",
     "            pair.pairName.size() >= 3 ? LeadingNumber(pair.pairName.c_str() + 3) : 0;",
     "            pair.pairName.size() >= 3 ? LeadingNumber(pair.pairName.c_str() + 4) : 0;",
     "removing CNC12 removes CNC2"),
    ("ui/headless.cpp", "    clst::g_comPort.SetDiagnosticLines(&view.sink);", "",
     "headless ignores SIGTERM when its pair dies and nobody reads standard output"),
    ("ui/headless.cpp", "                exitCode = 1;", "                exitCode = 0;",
     "headless ends with 0 after a connection error: the service is not restarted"),
    # Platform: serial ports, profiles, directories.
    ("platform/serial_port.cpp",
     "        SetLastError(errno == EBUSY ? kErrorAccessDenied : Win32ErrorFromErrno(errno));",
     "        SetLastError(Win32ErrorFromErrno(errno));",
     "a second relay on a held port reports -16, not -13"),
    ("platform/serial_port.cpp",
     "            return n == 0 ? Fail(kErrorIoDevice) : FailErrno();",
     "            return Succeed();", "a relay whose pair died stays connected and idle"),
    ("platform/serial_port.cpp", "    if (dcb.StopBits == 1 && dcb.ByteSize != 5)",
     "    if (dcb.StopBits == 1 && dcb.ByteSize == 5)",
     "1.5 stop bits are refused where they exist and taken where they do not"),
    ("platform/profile.cpp", "    const std::string file = FollowLinks(path);",
     "    const std::string file = path.empty() ? FollowLinks(path) : path;",
     "a linked TolvaneConfig.ini is replaced by a plain file"),
    ("platform/profile.cpp", "            if (EqualNoCase(name, section)) {",
     "            if (name == section) {", "[Connection1] is not the section connection1"),
    ("platform/port_directory.cpp", "    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {",
     "    if ((st.st_mode & S_IWGRP) != 0) {",
     "a world-writable port directory is used"),
    ("platform/device_namespace.cpp",
     "        if (int n = usable ? NumberAfter(name, \"MAROCOM\") : 0) {",
     "        if (int n = usable ? NumberAfter(name, \"MAROCOMX\") : 0) {",
     "the start-up name MAROCOM<n> no longer finds the device end"),
    # The port-pair library and its host.
    ("emulation/portpairs/maro_virtual_com_port.cpp", "        kill(state.pid, SIGTERM);", "",
     "removing a pair waits for its host and then kills it hard"),
    ("emulation/portpairs/pair_end.cpp", "        ioctl(own_, TIOCNXCL);", "",
     "an end stays locked after its holder is gone"),
    ("emulation/portpairs/pair_flow.cpp", "    if (rate == seen_ || rate == B0) {",
     "    if (rate != seen_ || rate == B0) {",
     "a client's new line rate never reaches the relay"),
    ("emulation/portpairs/pair_host_main.cpp", "            if (g_slaves[i] == target) {",
     "            if (g_slaves[i] != target) {",
     "a removed pair leaves its port links behind"),
    # The emulated Camera Link serial library.
    ("emulation/clserial/demo_camera.cpp",
     '        std::snprintf(id, sizeof id, "EMUCAM-2000 SN%05d", serialIndex_);',
     '        std::snprintf(id, sizeof id, "EMUCAM-2000 SN%04d", serialIndex_);',
     "the demo camera gives a wrong serial number"),
    ("emulation/clserial/emulated_port.cpp",
     "    return n == wanted ? CL_ERR_NO_ERR : CL_ERR_TIMEOUT;",
     "    return CL_ERR_NO_ERR;", "a camera read that times out reports success"),
    ("emulation/clserial/clsermro.cpp", "            return CL_ERR_PORT_IN_USE;",
     "            return CL_ERR_NO_ERR;", "a Camera Link port can be opened twice"),
]

scratch = os.environ.get("CLST_MUTANTS_DIR", "/tmp/clst-mutants")
args = sys.argv[1:]
listing = args == ["--list"]
matrix = "--matrix" in args
chosen = [int(a) for a in args if a.isdigit()]


def applies(root, index):
    path, old, _, _ = MUTANTS[index]
    with open(os.path.join(root, path)) as f:
        lines = f.read().split("\n")
    return lines.count(old) == 1


if listing:
    bad = 0
    for i, (path, _, _, what) in enumerate(MUTANTS, 1):
        ok = applies(".", i - 1)
        bad += not ok
        print(f"{i:3}  {'      ' if ok else 'STALE '}{path}: {what}")
    print(f"{len(MUTANTS)} mutants, {bad} that no longer apply")
    sys.exit(1 if bad else 0)


def run(cmd, **kwargs):
    return subprocess.run(cmd, cwd=scratch, **kwargs)


# The scratch copy: the tracked files as they are in the working tree.
os.makedirs(scratch, exist_ok=True)
# A file is copied only when its contents differ, and then gets a new time,
# so the scratch build sees exactly what changed (also a mutant left behind
# by an interrupted run).
tracked = set(filter(None, subprocess.run(["git", "ls-files", "-z"], capture_output=True,
                                          check=True, text=True).stdout.split("\0")))
for path in tracked:
    target = os.path.join(scratch, path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        with open(target, "rb") as f:
            same = f.read() == data
    except OSError:
        same = False
    if not same:
        os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, os.stat(path).st_mode)
# Files the tree no longer has go too: the test folders list their sources.
for top, dirs, files in os.walk(scratch):
    if top == scratch:
        dirs[:] = [d for d in dirs if d not in ("build", "Testing")]
    for name in files:
        path = os.path.relpath(os.path.join(top, name), scratch)
        if path not in tracked:
            os.remove(os.path.join(top, name))
env = dict(os.environ, CCACHE_BASEDIR=os.path.dirname(scratch))
build = ["cmake", "--build", "--preset", "default", "-j2"]
tests = ["ctest", "--preset", "default", "-j2", "-LE", "bench|package", "--timeout", "300"]
if not matrix:
    tests.append("--stop-on-failure")
print(f"=== scratch copy in {scratch}: baseline build and suites")
if run(["cmake", "--preset", "default"], env=env, stdout=subprocess.DEVNULL).returncode or \
        run(build, env=env, stdout=subprocess.DEVNULL).returncode:
    sys.exit("the scratch copy does not build")
if run(tests, env=env, stdout=subprocess.DEVNULL).returncode:
    sys.exit("the fast suites fail without any mutant: fix that first")

killed, survivors, invalid = 0, [], []
indices = [i - 1 for i in chosen] if chosen else range(len(MUTANTS))
for i in indices:
    path, old, new, what = MUTANTS[i]
    name = f"{i + 1:3} {path}: {what}"
    target = os.path.join(scratch, path)
    with open(target) as f:
        original = f.read()
    lines = original.split("\n")
    if lines.count(old) != 1:
        invalid.append(name + " (does not apply)")
        print(f"{name}: DOES NOT APPLY", flush=True)
        continue
    lines[lines.index(old)] = new
    began = time.monotonic()
    try:
        with open(target, "w") as f:
            f.write("\n".join(lines))
        if run(build, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
            invalid.append(name + " (does not build)")
            verdict = "DOES NOT BUILD"
        elif (result := run(tests, env=env, capture_output=True, text=True)).returncode:
            killed += 1
            verdict = "killed"
            if matrix:
                failed = [line.split(" - ", 1)[1].split(" (")[0]
                          for line in result.stdout.splitlines() if " - " in line and
                          line.strip()[:1].isdigit()]
                verdict += " by " + ", ".join(failed)
        else:
            survivors.append(name)
            verdict = "SURVIVED"
    finally:
        with open(target, "w") as f:
            f.write(original)
    print(f"{name}: {verdict} ({time.monotonic() - began:.0f} s)", flush=True)

# The scratch build matches the tree again for the next run.
run(build, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
valid = len(indices) - len(invalid)
print(f"\nkilled {killed} of {valid}")
for name in survivors:
    print(f"  survived: {name}")
for name in invalid:
    print(f"  not counted: {name}")
sys.exit(0 if not invalid else 1)
PY
