# Shared set-up of the end-to-end suites: a private temporary directory with
# its own port directory and pair, the headless program started, watched until
# it reports "Connected:" and stopped, and a check that every case leaves no
# program or pair host behind.
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import serial

BIN = None  # the build's bin directory, taken from the command line
ID = b"EMUCAM-2000 SN00000\r\n"  # the demo camera's answer to "id?"
FAST = "921600,N,8,1"


def take_bin_argument():
    global BIN  # before unittest reads sys.argv
    BIN = os.path.abspath(sys.argv.pop(1))
    return BIN


def host_pids(ports, timeout=5):
    """Pids of the pair hosts of the port directory `ports` still there after
    `timeout` (a stopped host may still be ending when its lock is released)."""
    deadline = time.monotonic() + timeout
    while True:
        found = subprocess.run(["pgrep", "-f", f"^[^ ]*clsertolvane-pairhost {ports}( |$)"],
                               capture_output=True, text=True).stdout.split()
        if not found or time.monotonic() > deadline:
            return [int(pid) for pid in found]
        time.sleep(0.05)


def wait_for(what, condition, timeout=20):
    """The first true result of `condition`, polled for `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout} s in vain for {what}")
        time.sleep(0.05)
    return result


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# Byte by byte, so that no line waits in a buffer that select cannot see.
def read_line(stream, timeout):
    """One line from a pipe; without its line end when the pipe ended or
    `timeout` seconds passed first."""
    line, deadline = b"", time.monotonic() + timeout
    while not line.endswith(b"\n"):
        ready = select.select([stream], [], [], max(0, deadline - time.monotonic()))[0]
        byte = os.read(stream.fileno(), 1) if ready else b""
        if not byte:
            break
        line += byte
    return line.decode(errors="replace")


def wait_connected(proc, timeout=10, marker="Connected:"):
    """Reads the program's standard error until a line starts with `marker`:
    (True once one did, what it printed there so far)."""
    text, deadline = "", time.monotonic() + timeout
    while (line := read_line(proc.stderr, deadline - time.monotonic())).endswith("\n"):
        text += line
        if line.startswith(marker):
            return True, text
    return False, text + line


# serial.Serial, tried again while the port is still busy: a pair frees an
# end a moment after its holder closed it (its host sees the close).
def open_serial(path, *args, **kwargs):
    deadline = time.monotonic() + 1
    while True:
        try:
            return serial.Serial(path, *args, **kwargs)
        except serial.SerialException as e:
            if e.errno != 16 or time.monotonic() > deadline:
                raise
            time.sleep(0.005)


def ask(path, command=b"id?\r", timeout=2, baud=115200):
    with open_serial(path, baud, timeout=timeout) as port:
        port.write(command)
        return port.read_until(b"\n")


# Each case gets self.dir, self.ports, self.env (with the port directory set
# and MARO_EMULATION cleared) and pair PAIR installed. Programs started with
# start() are cleaned up; one still running or a pair host left over fails the
# case.
class E2ETestCase(unittest.TestCase):
    PAIR = 7
    MODE = ("--headless",)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clst-e2e-")
        self.ports = os.path.join(self.dir, "ports")
        self.env = dict(os.environ, CLSERTOLVANE_PORT_DIR=self.ports)
        self.env.pop("MARO_EMULATION", None)
        self.procs, self.pairs = [], []
        self.addCleanup(self._clean_up)
        if self.PAIR:
            self.install_pair(self.PAIR)

    def _clean_up(self):
        left = [proc.args for proc in self.procs if proc.poll() is None]
        for proc in self.procs:
            proc.kill()
            proc.communicate(timeout=10)
        for number in self.pairs:
            self.run_tool("clsertolvane-pairs", "remove", f"CNC{number}")
        hosts = host_pids(self.ports)
        for pid in hosts:
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(left, [], "programs still running at the end of the case")
        self.assertEqual(hosts, [], "pair hosts left over")

    def com(self, number=None):
        return os.path.join(self.ports, f"COM{number or self.PAIR}")

    def run_tool(self, name, *args, env=None):
        return subprocess.run([os.path.join(BIN, name), *args], env=env or self.env,
                              capture_output=True, text=True, errors="replace", timeout=30)

    def through_run(self, *args):
        """A command line started through clsertolvane-run."""
        return [os.path.join(BIN, "clsertolvane-run"), *args]

    def background(self, args, env=None, **kwargs):
        """A helper process, ended (SIGTERM) at the end of the case."""
        proc = subprocess.Popen(args, env=env or self.env, **kwargs)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        return proc

    def install_pair(self, number):
        result = self.run_tool("clsertolvane-pairs", "install", str(number))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.append(number)

    def echo_board(self, keys="", camera="echo"):
        """An emulated board of one port whose camera (unless told otherwise,
        one that echoes every byte) has the keys `keys`."""
        self.env["MARO_EMULATION"] = os.path.join(self.dir, "emulation.ini")
        pathlib.Path(self.env["MARO_EMULATION"]).write_text(
            f"[board0]\nname=EchoBoard\nports=1\n[port0]\ncamera={camera}\n" + keys)

    def start(self, *words, env=None):
        proc = subprocess.Popen([os.path.join(BIN, "clsertolvane"), *self.MODE, *words],
                                env=env or self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, errors="replace")
        proc.early_err = ""
        self.procs.append(proc)
        return proc

    def finish(self, proc):
        """Waits for the program's end: (exit code, stdout, stderr)."""
        out, err = proc.communicate(timeout=20)
        return proc.returncode, out, proc.early_err + err

    def wait_connected(self, proc, marker="Connected:"):
        """True once the program reports the connection (a line starting with
        `marker`) on standard error; what it printed there so far is kept."""
        connected, text = wait_connected(proc, 20, marker)
        proc.early_err += text
        return connected

    def start_connected(self, *words, **kwargs):
        proc = self.start(*words, **kwargs)
        self.assertTrue(self.wait_connected(proc), proc.early_err)
        return proc

    def stop(self, proc, sig=signal.SIGTERM):
        proc.send_signal(sig)
        return self.finish(proc)

    def assert_stops_cleanly(self, proc, sig=signal.SIGTERM):
        code, out, err = self.stop(proc, sig)
        self.assertEqual(code, 0, err)
        return out, err
