#!/usr/bin/python3
"""Faults and a hostile environment, end to end: clsertolvane --headless on a
real port pair with pyserial as the camera tool, while the client comes and
goes, the pair disappears, the emulated camera misbehaves, libraries are
missing and the environment is planted with traps. Every case checks what was
relayed before the fault and ends with the program gone and no pair host left."""
import os
import random
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest

import serial

import e2e_support
from e2e_support import E2ETestCase, cpu_seconds, open_serial, write_file

BIN = e2e_support.take_bin_argument()
LIB = os.path.join(os.path.dirname(BIN), "lib")
FAST = "921600,N,8,1"


def random_bytes(count, seed, alphabet=256):
    rng = random.Random(seed)
    return bytes(rng.randrange(alphabet) for _ in range(count))


def read_exactly(port, count, timeout=10):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        data += port.read(count - len(data))
    return data


def read_until_quiet(port, quiet=0.5):
    data = b""
    port.timeout = quiet
    while chunk := port.read(4096):
        data += chunk
    return data


def libc_path():
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if re.search(r"/libc[.-][^/]*so", path):
                return path
    raise unittest.SkipTest("libc not found in /proc/self/maps")


class OutsideUnchanged:
    """Records the places outside the test's own directory that the system
    could write to, and checks in the clean-up that none of them changed."""

    NAMES = re.compile(r"(?i)clsertolvane|tolvaneconfig|maro|zaduruv|^com\d|^cnc\d")

    def snapshot(self):
        seen = {}
        for where in (tempfile.gettempdir(), "/dev/shm",
                      os.environ.get("XDG_RUNTIME_DIR", "/nonexistent")):
            try:
                names = os.listdir(where)
            except OSError:
                continue
            for name in names:
                if self.NAMES.search(name) and not name.startswith("clst-"):
                    try:
                        seen[os.path.join(where, name)] = os.lstat(
                            os.path.join(where, name)).st_mtime_ns
                    except OSError:
                        pass
        return seen

    def watch_outside(self):
        before = self.snapshot()
        self.addCleanup(lambda: self.assertEqual(self.snapshot(), before,
                                                 "written outside the test's directory"))


class FaultsCase(OutsideUnchanged, E2ETestCase):
    def setUp(self):
        super().setUp()
        self.watch_outside()


class RelayFaultsTest(FaultsCase):
    """The client, the pair and the program itself fail under a running relay."""

    def test_client_closes_and_reopens_com_mid_stream(self):
        self.echo_board()
        proc = self.start_connected("COM7", "0", FAST)
        last = b""
        for cycle in range(3):
            before = random_bytes(4096, cycle)
            in_flight = random_bytes(2048, 100 + cycle)
            with open_serial(self.com(), 921600, timeout=5) as port:
                # Opening flushes what waited; what is left is the tail of the
                # echo under way at the close, in order.
                self.assertTrue(last.endswith(read_until_quiet(port)))
                port.timeout = 5
                port.write(before)
                self.assertEqual(read_exactly(port, len(before)), before)
                port.write(in_flight)  # closed at once: its echo is under way
            last = in_flight
        with open_serial(self.com(), 921600, timeout=5) as port:
            self.assertTrue(last.endswith(read_until_quiet(port)))
            port.timeout = 5
            after = random_bytes(8192, 99)
            port.write(after)
            self.assertEqual(read_exactly(port, len(after)), after)
        self.assertIsNone(proc.poll())
        self.assert_stops_cleanly(proc)

    def test_pair_removed_or_host_killed_while_connected(self):
        # The relay's end hangs up: a failed COM read ends the worker, and
        # headless ends with 1 so that a service manager starts it again.
        def remove():
            result = self.run_tool("clsertolvane-pairs", "remove", "CNC7")
            self.assertEqual(result.returncode, 0, result.stderr)

        def kill_host():
            os.kill(self.host_pid(), signal.SIGKILL)

        for name, fault in (("remove", remove), ("SIGKILL the host", kill_host)):
            with self.subTest(name):
                proc = self.start_connected("COM7", "0", "115200,N,8,1")
                with open_serial(self.com(), 115200, timeout=2) as port:
                    port.write(b"id?\r")
                    self.assertEqual(port.read_until(b"\n"), b"EMUCAM-2000 SN00000\r\n")
                    fault()
                    self.assertEqual(self.wait_for_no_hosts(), [])
                    code, out, err = self.finish(proc)
                self.assertEqual(code, 1, err)
                self.assertIn("Error while reading from COM interface   error code: -5", out)
                self.assertIn("the relay stopped after the error above", err)
                # The leftovers go with the next listing; the number is free again.
                listing = self.run_tool("clsertolvane-pairs", "list")
                self.assertEqual(listing.returncode, 0, listing.stderr)
                self.assertNotIn("CNC7", listing.stdout)
                self.assertEqual(sorted(os.listdir(self.ports)), [".pairs.lock",
                                                                  "clsertolvanemutex0.lock"])
                self.install_pair(7)
                again = self.start_connected("COM7", "0", "115200,N,8,1")
                with open_serial(self.com(), 115200, timeout=2) as port:
                    port.write(b"id?\r")
                    self.assertEqual(port.read_until(b"\n"), b"EMUCAM-2000 SN00000\r\n")
                self.assert_stops_cleanly(again)

    def test_sigterm_during_a_busy_transfer_both_ways(self):
        self.echo_board()
        proc = self.start_connected("COM7", "0", FAST)
        sent = random_bytes(300000, 7, alphabet=250)  # 250..255 stay free for the marker
        written = []
        port = open_serial(self.com(), 921600, timeout=0.2, write_timeout=1)

        def writer():
            try:
                for at in range(0, len(sent), 1024):
                    written.append(port.write(sent[at:at + 1024]))
            except (serial.SerialTimeoutException, serial.SerialException):
                pass

        thread = threading.Thread(target=writer, daemon=True)
        thread.start()
        received = read_exactly(port, 30000)
        self.assertEqual(len(received), 30000)
        code, out, err, took = self.stop(proc)
        received += read_until_quiet(port)
        thread.join(10)
        self.assertFalse(thread.is_alive())
        port.close()
        self.assertEqual(code, 0, err)
        self.assertLess(took, 5)
        self.assertLess(len(received), sum(written))  # it was stopped mid-stream
        self.assertEqual(received, sent[:len(received)])
        # Both ports were closed: a second instance relays on the same pair.
        again = self.start_connected("COM7", "0", FAST)
        with open_serial(self.com(), 921600, timeout=5) as port:
            port.write(b"\xfa\xfbmark\xfc\xfd")
            self.assertTrue(port.read_until(b"\xfc\xfd").endswith(b"\xfa\xfbmark\xfc\xfd"))
        self.assert_stops_cleanly(again)


HOLDER = """
import fcntl, os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
if sys.argv[2] == "excl":
    fcntl.ioctl(fd, termios.TIOCEXCL)  # as screen does
elif sys.argv[2] == "flock":
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # pyserial's exclusive=True
print("held", flush=True)
sys.stdin.read()
"""


class ExclusiveEndsTest(FaultsCase):
    """Each end of a pair is held by one program at a time, and the claim
    ends with its holder however the holder ends."""

    def setUp(self):
        super().setUp()
        if os.geteuid() == 0:
            self.skipTest("root ignores exclusive mode; run as an ordinary user")

    def ask(self):
        with open_serial(self.com(), 115200, timeout=2) as port:
            port.write(b"id?\r")
            return port.read_until(b"\n")

    def test_a_killed_relay_frees_its_end_for_the_next_one(self):
        for cycle, sig in enumerate([signal.SIGKILL] * 5 + [signal.SIGHUP]):
            proc = self.start_connected("COM7", "0", "115200,N,8,1")
            self.assertEqual(self.ask(), b"EMUCAM-2000 SN00000\r\n", cycle)
            if cycle == 0:
                code, _, err = self.finish(self.start("COM7", "0", "115200,N,8,1"))
                self.assertEqual(code, 1, err)
                self.assertIn("Cannot open the serial port\nError code: -13", err)
            proc.send_signal(sig)
            self.assertEqual(self.finish(proc)[0], -sig)
        self.assert_stops_cleanly(self.start_connected("COM7", "0", "115200,N,8,1"))

    def test_clients_hold_com_alone_and_free_it_however_they_end(self):
        for mode, end in (("plain", "exit"), ("plain", signal.SIGKILL), ("excl", "exit"),
                          ("excl", signal.SIGKILL), ("flock", signal.SIGHUP)):
            with self.subTest(mode=mode, end=end):
                holder = subprocess.Popen(["/usr/bin/python3", "-c", HOLDER, self.com(), mode],
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          text=True)
                self.procs.append(holder)
                self.assertEqual(holder.stdout.readline(), "held\n")
                # The pair's host claims the end a moment after the open.
                deadline = time.monotonic() + 2
                while time.monotonic() < deadline:
                    try:
                        os.close(os.open(self.com(), os.O_RDWR | os.O_NOCTTY))
                    except OSError as refused:
                        self.assertEqual(refused.errno, 16)
                        break
                    time.sleep(0.01)
                else:
                    self.fail("a second program opened the held end")
                if end != "exit":
                    holder.send_signal(end)
                holder.communicate(timeout=10)  # an exit when its input ends
                open_serial(self.com(), 115200).close()


class CameraFaultsTest(FaultsCase):
    """The emulated camera's faults (MARO_EMULATION keys)."""

    def test_read_errors_are_reported_and_lose_no_bytes(self):
        self.echo_board("read_error_every=3\n")
        proc = self.start_connected("COM7", "0", FAST)
        data = random_bytes(30000, 3)
        with open_serial(self.com(), 921600, timeout=5) as port:
            port.write(data)
            self.assertEqual(read_exactly(port, len(data), timeout=30), data)
        self.assertIsNone(proc.poll())
        out, err = self.assert_stops_cleanly(proc)
        self.assertIn("Error reading from clser interface   error code: -10009", out)
        self.assertNotIn("Connection error!", err)

    def test_camera_write_faults_end_the_worker_and_the_headless_program(self):
        # A camera that takes only part of a block (short_write) or nothing
        # (stalled) ends the relay worker with a line. It is no connection
        # error (the window stays connected), but headless ends with 1 so
        # that a service manager restarts it.
        for keys, small, status in (("short_write=16\n", 16, -5),
                                    ("stalled=1\n", 0, -10004)):
            with self.subTest(keys):
                self.echo_board(keys)
                proc = self.start_connected("COM7", "0", FAST)
                with open_serial(self.com(), 921600, timeout=5) as port:
                    if small:
                        command = random_bytes(small, 5)
                        port.write(command)
                        self.assertEqual(read_exactly(port, small), command)
                    port.write(random_bytes(200, 6))
                    code, out, err = self.finish(proc, timeout=6)
                self.assertEqual(code, 1, err)
                self.assertIn(f"Error writing to clser interface   error code: {status}", out)
                self.assertIn("the relay stopped after the error above", err)
                self.assertNotIn("Connection error!", err)
                # Both ports were closed: the pair takes a new connection.
                self.assert_stops_cleanly(self.start_connected("COM7", "0", FAST))

    def test_init_and_baud_errors_are_refused_and_leave_the_ports_free(self):
        for keys, status in (("init_error=1\n", -10009), ("baud_error=1\n", -10008)):
            with self.subTest(keys):
                self.echo_board(keys)
                code, _, err = self.finish(self.start("COM7", "0", FAST))
                self.assertEqual(code, 1, err)
                self.assertIn(f"Connecting to CamaraLink port failed\nError code: {status}", err)
                self.assertIn("not connected (the connection failed)", err)
        self.echo_board()
        proc = self.start_connected("COM7", "0", FAST)
        with open_serial(self.com(), 921600, timeout=5) as port:
            port.write(b"free")
            self.assertEqual(read_exactly(port, 4), b"free")
        self.assert_stops_cleanly(proc)


class MissingLibrariesTest(FaultsCase):
    """The maker's libraries missing, unloadable or lacking functions."""

    def tiny_library(self):
        """A library with clSerialInit and VcpInitialize and nothing else."""
        compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
        if compiler is None:
            self.skipTest("no C compiler")
        source = write_file(os.path.join(self.dir, "tiny.c"),
                            "int clSerialInit(unsigned i, void** r) { (void)i; *r = 0; "
                            "return 0; }\nint VcpInitialize(void) { return 1; }\n")
        library = os.path.join(self.dir, "libtiny.so")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", library, source], check=True,
                       timeout=60, capture_output=True)
        return library

    def private_install(self, libraries):
        """A copy of the program in <dir>/inst/app with its libraries in
        <dir>/inst/lib: no folder above it is an install folder, so the
        runtime comes from MARODIR5_64 / MARODIR5."""
        root = os.path.join(self.dir, "inst")
        if {"bin", "dll", "lib", "lib64", "hardware applets"} & {
                part.lower() for part in root.split("/")}:
            self.skipTest("the temporary directory lies below an install folder")
        os.makedirs(os.path.join(root, "app"))
        os.makedirs(os.path.join(root, "lib"))
        program = os.path.join(root, "app", "clsertolvane")
        shutil.copy2(os.path.join(BIN, "clsertolvane"), program)
        for name, target in libraries.items():
            os.symlink(target, os.path.join(root, "lib", name))
        return program

    def runtime_dir(self, name, acqlib, hal):
        root = os.path.join(self.dir, name)
        os.makedirs(os.path.join(root, "lib"))
        os.symlink(acqlib, os.path.join(root, "lib", "libacqlib5.so"))
        os.symlink(hal, os.path.join(root, "lib", "libmaro_hal.so"))
        return root

    def test_camera_link_serial_library(self):
        tiny = self.tiny_library()
        for value, text, status in (
                ("/nonexistent/libclsermro.so", "/nonexistent/libclsermro.so", -10098),
                ("lib/libclsermro.so", "must be an absolute path", -10098),
                (self.dir, self.dir, -10098),
                ("/" + "x" * 5000, "Camera Link serial library: ", -10098),
                (libc_path(), "no function clSerialInit", -10099),
                (tiny, tiny + ": no function clSetBaudRate", -10099)):
            with self.subTest(value[:60]):
                env = dict(self.env, CLSERIAL_LIBRARY=value)
                code, _, err = self.finish(self.start("COM7", "0", env=env))
                self.assertEqual(code, 1, err)
                self.assertIn(text, err)
                self.assertIn(f"Connecting to CamaraLink port failed\nError code: {status}", err)
        # Nothing was left holding the pair.
        self.assert_stops_cleanly(self.start_connected("COM7", "0"))

    def test_frame_grabber_runtime_and_port_pair_library(self):
        tiny = self.tiny_library()
        libc = libc_path()
        emulated = {name: os.path.join(LIB, name) for name in os.listdir(LIB)
                    if name.endswith(".so")}
        runtime = self.runtime_dir("runtime", emulated["libacqlib5.so"],
                                   emulated["libmaro_hal.so"])
        empty = self.runtime_dir("libc-runtime", libc, libc)
        # Another maker's serial library, with no runtime of that maker.
        makers = os.path.join(self.dir, "makers")
        os.mkdir(makers)
        os.symlink(emulated["libclserxyz.so"], os.path.join(makers, "libclserxyz.so"))
        no_boards = "Cannot find any CameraLink boards"
        boards = "0. EmuBoard_Port0"
        own_library = "0. MaroEmu_Port0 (EmuBoard_Port0)"
        other_maker = "0. XyzEmu_Port0 (EmuBoard_Port0)"
        without_pairs = {k: v for k, v in emulated.items() if k != "libMaroVirtualComPort.so"}
        without_serial = {k: v for k, v in emulated.items() if k != "libclsermro.so"}
        pair_text = "virtual COM port library \"" + os.path.join(self.dir, "inst", "lib",
                                                                  "libMaroVirtualComPort.so")
        # Without the runtime the serial library lists its own ports.
        for name, libraries, variables, text in (
                ("MARODIR5_64", emulated, {"MARODIR5_64": runtime}, boards),
                ("MARODIR5", emulated, {"MARODIR5": runtime}, boards),
                ("5000 slashes cut to the same folder", emulated,
                 {"MARODIR5_64": runtime + "/" * 5000}, boards),
                ("no runtime", emulated, {}, own_library),
                ("a missing folder", emulated, {"MARODIR5_64": runtime + "-missing"},
                 own_library),
                ("5000 characters", emulated, {"MARODIR5_64": "/" + "x" * 4999}, own_library),
                ("a runtime without its functions", emulated, {"MARODIR5_64": empty},
                 own_library),
                ("CLSERIALPATH ignored beside the own library", emulated,
                 {"CLSERIALPATH": makers}, own_library),
                ("another maker through CLSERIALPATH", without_serial,
                 {"CLSERIALPATH": makers}, other_maker),
                ("no runtime and no serial library", without_serial, {}, no_boards),
                ("no port-pair library", without_pairs, {"MARODIR5_64": runtime},
                 "Cannot load the " + pair_text),
                ("a port-pair library without its entries",
                 dict(without_pairs, **{"libMaroVirtualComPort.so": tiny}),
                 {"MARODIR5_64": runtime}, pair_text + "\" has no entry VcpGetPairCount")):
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.dir, "inst"), ignore_errors=True)
                program = self.private_install(libraries)
                env = {k: v for k, v in self.env.items()
                       if k not in ("MARODIR5_64", "MARODIR5", "CLSERIALPATH")}
                env.update(variables)
                listing = self.run_tool("clsertolvane", "--list", program=program, env=env)
                proc = self.start("COM7", "0", program=program, env=env)
                if text in (boards, own_library, other_maker):
                    self.assertEqual(listing.returncode, 0, listing.stderr)
                    self.assertIn(f"  {text}\n", listing.stdout)
                    self.assertIn("  COM7-ZADURUV7 (pair CNC7)\n", listing.stdout)
                    self.assertTrue(self.wait_connected(proc), self.err)
                    self.assertIn(f"Connected: COM7<->{text}", self.err)
                    with serial.Serial(self.com(), 9600, timeout=2) as port:
                        port.write(b"id?\r")
                        self.assertEqual(port.read_until(b"\n"), b"EMUCAM-2000 SN00000\r\n")
                    self.assert_stops_cleanly(proc)
                    continue
                code, _, err = self.finish(proc)
                self.assertEqual(code, 1, err)
                self.assertIn(text, err)
                if text == no_boards:
                    self.assertEqual(listing.returncode, 1, listing.stdout)
                    self.assertIn(text, listing.stderr)


class HostileEnvironmentTest(FaultsCase):
    """Port directories, planted links and emulation files meant to break things."""

    def setUp(self):
        super().setUp()
        self.outside = os.path.join(self.dir, "outside")
        os.mkdir(self.outside)

    def test_unusable_port_directories_are_refused(self):
        private = os.path.join(self.dir, "private")
        os.mkdir(private, 0o700)
        linked = os.path.join(self.dir, "linked")
        os.symlink(private, linked)

        # Root gives the test's directory away; a user meets one of root's.
        def other_owner():
            if os.geteuid() == 0:
                os.chown(self.ports, 65534, 65534)
                return lambda: os.chown(self.ports, 0, 0)
            return None
        others = self.ports if os.geteuid() == 0 else "/usr"

        def world_writable():
            os.chmod(self.ports, 0o777)
            return lambda: os.chmod(self.ports, 0o700)

        for name, prepare, directory, text in (
                ("another user's", other_owner, others, "belongs to another user"),
                ("world-writable", world_writable, self.ports, "writable by other users"),
                ("a symbolic link", lambda: None, linked, "is not a directory"),
                ("relative", lambda: None, "ports", "is not an absolute path")):
            with self.subTest(name):
                undo = prepare()
                try:
                    env = dict(self.env, CLSERTOLVANE_PORT_DIR=directory)
                    code, _, err = self.finish(self.start("COM7", "0", env=env))
                    listing = self.run_tool("clsertolvane-pairs", "install", "8", env=env)
                    relay = self.run_tool("clsertolvane-relay", "ZADURUV7", "0", env=env)
                finally:
                    if undo:
                        undo()
                self.assertEqual(code, 1, err)
                self.assertIn(text, err)
                self.assertEqual(relay.returncode, 1, relay.stderr)
                self.assertIn(text, relay.stderr)
                self.assertEqual(listing.returncode, 1)
                self.assertIn(text, listing.stderr)
                self.assertEqual(os.listdir(private), [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "ports", "COM8")))

    def test_planted_links_are_refused_or_replaced_never_written_through(self):
        def existing_file(path):
            write_file(path, "precious\n")

        def directory(path):
            os.mkdir(path)

        occupied = "This port number is occupied"
        for link, target_kind, refusal in (
                ("COM8", existing_file, occupied),
                ("ZADURUV8", None, None),  # a dangling link of a dead pair
                ("MAROCOM8", directory, occupied),
                ("CNC8.pair", existing_file, None),
                (".pairs.lock", None, "Cannot open the lock file"),
                (".pairs.lock", existing_file, "Cannot open the lock file")):
            with self.subTest(link=link, target=target_kind and target_kind.__name__):
                target = os.path.join(self.outside, "target")
                planted = os.path.join(self.ports, link)
                try:
                    if target_kind:
                        target_kind(target)
                    before = self.outside_state()
                    if os.path.lexists(planted):
                        os.unlink(planted)
                    os.symlink(target, planted)
                    result = self.run_tool("clsertolvane-pairs", "install", "8")
                    self.assertEqual(result.returncode, 1 if refusal else 0, result.stderr)
                    self.assertIn(refusal or "", result.stderr)
                    self.assertEqual(self.outside_state(), before)
                    if refusal:
                        self.assertEqual(os.readlink(planted), target)
                        continue
                    self.pairs.append(8)
                    self.assertTrue(os.readlink(self.com(8)).startswith("/dev/pts/"))
                    with open_serial(self.com(8), timeout=2) as a, \
                            open_serial(os.path.join(self.ports, "ZADURUV8"), timeout=2) as b:
                        a.write(b"through")
                        self.assertEqual(read_exactly(b, 7, 2), b"through")
                    removed = self.run_tool("clsertolvane-pairs", "remove", "CNC8")
                    self.assertEqual(removed.returncode, 0, removed.stderr)
                    self.pairs.remove(8)
                    self.assertEqual(self.outside_state(), before)
                finally:
                    if os.path.islink(planted):
                        os.unlink(planted)
                    shutil.rmtree(self.outside)
                    os.mkdir(self.outside)

    def outside_state(self):
        state = {}
        for base, dirs, files in os.walk(self.outside):
            for name in dirs + files:
                path = os.path.join(base, name)
                content = None
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        content = f.read()
                state[path] = (stat.S_IFMT(os.lstat(path).st_mode), content,
                               os.lstat(path).st_mtime_ns)
        return state

    def test_planted_instance_lock_is_not_written_through(self):
        target = os.path.join(self.outside, "slot")
        os.symlink(target, os.path.join(self.ports, "clsertolvanemutex0.lock"))
        self.assert_stops_cleanly(self.start_connected("COM7", "0"))
        self.assertEqual(os.listdir(self.outside), [])

    def test_bad_emulation_files_fall_back_to_the_built_in_board(self):
        fifo = os.path.join(self.dir, "fifo.ini")
        os.mkfifo(fifo)
        garbage = os.path.join(self.dir, "garbage.ini")
        with open(garbage, "wb") as f:
            f.write(random_bytes(4000, 11) + b"\0")
        huge = os.path.join(self.dir, "huge.ini")
        with open(huge, "wb") as f:
            f.write(b"[board0]\nname=" + b"x" * (10 << 20) + b"\n")
        long_line = write_file(os.path.join(self.dir, "long.ini"), ";" + "y" * 5000 + "\n")
        for path, reason in ((self.outside, "not a regular file"),
                             (fifo, "not a regular file"),
                             ("/dev/zero", "not a regular file"),
                             (garbage, "binary data"),
                             (huge, "larger than 1048576 bytes"),
                             (long_line, "line 1: "),
                             (os.path.join(self.dir, "missing.ini"), "No such file")):
            with self.subTest(path):
                env = dict(self.env, MARO_EMULATION=path)
                proc = self.start_connected("COM7", "0", env=env)
                self.assertIn("EmuBoard_Port0", self.err)
                with open_serial(self.com(), 9600, timeout=2) as port:
                    port.write(b"id?\r")
                    self.assertEqual(port.read_until(b"\n"), b"EMUCAM-2000 SN00000\r\n")
                _, err = self.assert_stops_cleanly(proc)
                self.assertRegex(err, f"clsermro: {re.escape(path)}: .*{reason}.*; "
                                      "using the built-in board")


if __name__ == "__main__":
    unittest.main()
