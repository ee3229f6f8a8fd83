"""Shared set-up of the end-to-end suites: a private temporary directory with
its own port directory, port pairs made and removed with clsertolvane-pairs,
the headless program started and watched until it reports "Connected:",
ser2net serving a pair over RFC 2217, and a check that every case leaves no
program, pair or pair host behind."""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import serial

BIN = None  # the build's bin directory, taken from the command line
SER2NET_EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "etc",
                               "ser2net-clsertolvane.yaml")


def take_bin_argument():
    """Removes the bin directory from sys.argv (before unittest reads it)."""
    global BIN
    BIN = os.path.abspath(sys.argv.pop(1))
    return BIN


def host_pids(ports):
    """Pids of the pair hosts serving the port directory `ports`."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        if len(args) >= 2 and args[0].endswith(b"clsertolvane-pairhost") \
                and args[1] == os.fsencode(ports):
            pids.append(int(entry))
    return pids


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_connected(proc, timeout=10, marker="Connected:"):
    """Reads the program's standard error until a line starts with `marker`:
    (True once one did, what it printed there so far)."""
    text = ""
    deadline = time.time() + timeout
    while time.time() < deadline:
        ready, _, _ = select.select([proc.stderr], [], [], 0.1)
        if ready:
            line = proc.stderr.readline()
            if not line:
                break
            text += line
            if line.startswith(marker):
                return True, text
    return False, text


def open_serial(path, *args, **kwargs):
    """serial.Serial, tried again while the port is still busy: a pair frees
    an end a moment after its holder closed it (its host sees the close)."""
    deadline = time.monotonic() + 1
    while True:
        try:
            return serial.Serial(path, *args, **kwargs)
        except serial.SerialException as e:
            if e.errno != 16 or time.monotonic() > deadline:
                raise
            time.sleep(0.005)


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether a socket listens on 127.0.0.1:`port`, read from /proc instead
    of trying a connection (which would make ser2net open its port)."""
    local = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as f:
        return any(fields[1] == local and fields[3] == "0A"
                   for fields in (line.split() for line in f.readlines()[1:]))


def write_file(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


class E2ETestCase(unittest.TestCase):
    """Each case gets self.dir, self.ports, self.env (with the port directory
    set and MARO_EMULATION cleared) and pair PAIR installed. Programs started
    with start() and pairs installed with install_pair() are cleaned up; a
    program still running or a pair host left over fails the case."""

    PAIR = 7
    PREFIX = "clst-e2e-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.PREFIX)
        self.ports = os.path.join(self.dir, "ports")
        self.env = dict(os.environ, CLSERTOLVANE_PORT_DIR=self.ports)
        self.env.pop("MARO_EMULATION", None)
        self.procs = []
        self.pairs = []
        self.err = ""
        self.addCleanup(self._clean_up)
        if self.PAIR:
            self.install_pair(self.PAIR)

    def _clean_up(self):
        left = []
        for proc in self.procs:
            if proc.poll() is None:
                left.append(proc.args)
                proc.kill()
            proc.communicate(timeout=10)
        for number in self.pairs:
            self.run_tool("clsertolvane-pairs", "remove", f"CNC{number}")
        hosts = self.wait_for_no_hosts()
        for pid in hosts:
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.assertEqual(left, [], "programs still running at the end of the case")
        self.assertEqual(hosts, [], "pair hosts left over")

    def wait_for_no_hosts(self, timeout=3):
        """The pair hosts of the port directory still there after `timeout`
        (a stopped host may still be ending when its lock is released)."""
        deadline = time.monotonic() + timeout
        while (hosts := host_pids(self.ports)) and time.monotonic() < deadline:
            time.sleep(0.05)
        return hosts

    def com(self, number=None):
        return os.path.join(self.ports, f"COM{number or self.PAIR}")

    def run_tool(self, name, *args, timeout=10, env=None, program=None):
        return subprocess.run([program or os.path.join(BIN, name), *args],
                              env=env or self.env, capture_output=True, text=True,
                              errors="replace", timeout=timeout)

    def install_pair(self, number):
        result = self.run_tool("clsertolvane-pairs", "install", str(number))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.append(number)

    def host_pid(self, number=None):
        with open(os.path.join(self.ports, f"CNC{number or self.PAIR}.pair")) as f:
            state = dict(line.split("=", 1) for line in f.read().split("\n") if "=" in line)
        return int(state["pid"])

    def serve_rfc2217(self, number=None):
        """Starts ser2net with the shipped example configuration, serving
        COM<number> of this case's port directory on a free loopback port,
        and stops it at the end of the case. Returns pyserial's URL for it."""
        number = number or self.PAIR
        with open(SER2NET_EXAMPLE) as f:
            example = f.read()
        for old, new in (("define: &portdir /run/user/1000/clsertolvane\n",
                          f"define: &portdir {self.ports}\n"),
                         ("*(portdir)/COM5,", f"*(portdir)/COM{number},")):
            self.assertEqual(example.count(old), 1, old)
            example = example.replace(old, new)
        # A port found free may be taken before ser2net binds it.
        for _ in range(3):
            port = free_tcp_port()
            config = write_file(os.path.join(self.dir, f"ser2net-{port}.yaml"),
                                example.replace("tcp,127.0.0.1,2217", f"tcp,127.0.0.1,{port}"))
            with open(os.path.join(self.dir, f"ser2net-{port}.log"), "w") as log:
                proc = subprocess.Popen(["ser2net", "-n", "-c", config], env=self.env,
                                        stdout=log, stderr=subprocess.STDOUT)
            self.addCleanup(self._stop_ser2net, proc)
            deadline = time.monotonic() + 5
            while proc.poll() is None and time.monotonic() < deadline:
                if listening(port):
                    return f"rfc2217://127.0.0.1:{port}?ign_set_control"
                time.sleep(0.02)
            self._stop_ser2net(proc)
        self.fail("ser2net did not listen: " + open(log.name).read())

    @staticmethod
    def _stop_ser2net(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def emulation(self, text, name="emulation.ini"):
        """Writes an emulation INI and points MARO_EMULATION at it."""
        self.env["MARO_EMULATION"] = write_file(os.path.join(self.dir, name), text)

    def echo_board(self, port_keys=""):
        self.emulation("[board0]\nname=EchoBoard\nports=1\n[port0]\ncamera=echo\n" + port_keys)

    def start(self, *words, program=None, env=None):
        proc = subprocess.Popen(
            [program or os.path.join(BIN, "clsertolvane"), "--headless", *words],
            env=env or self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            encoding="utf-8", errors="replace")
        self.procs.append(proc)
        return proc

    def finish(self, proc, timeout=10):
        """Waits for the program's end: (exit code, stdout, stderr)."""
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out, getattr(proc, "early_err", "") + err

    def wait_connected(self, proc, timeout=10, marker="Connected:"):
        """True once the program reports the connection (a line starting with
        `marker`) on standard error; what it printed there so far is kept."""
        connected, text = wait_connected(proc, timeout, marker)
        proc.early_err = getattr(proc, "early_err", "") + text
        self.err = proc.early_err
        return connected

    def start_connected(self, *words, **kwargs):
        proc = self.start(*words, **kwargs)
        self.assertTrue(self.wait_connected(proc), self.err)
        return proc

    def stop(self, proc, sig=signal.SIGTERM, timeout=5):
        """Sends `sig` and waits: (exit code, stdout, stderr, seconds taken)."""
        began = time.monotonic()
        proc.send_signal(sig)
        code, out, err = self.finish(proc, timeout)
        return code, out, err, time.monotonic() - began

    def assert_stops_cleanly(self, proc, limit=5):
        """SIGTERM ends the program with exit 0 within `limit` seconds."""
        code, out, err, took = self.stop(proc, timeout=limit + 5)
        self.assertEqual(code, 0, err)
        self.assertLess(took, limit)
        return out, err
