#!/usr/bin/python3
# Clients reach the demo camera through the headless relay, started with
# clsertolvane-run: a Windows program under Wine (on the COM port that
# clsertolvane-pairs install --wine maps into a private prefix), a remote tool
# over RFC 2217 (ser2net with the shipped example configuration on a unix
# socket in the port directory, forwarded as SSH does, pyserial's client), and
# native programs that use the modem lines (pyserial, minicom).
import json
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import serial

import e2e_support
from e2e_support import E2ETestCase, ID, read_line, wait_for

e2e_support.take_bin_argument()
HERE = os.path.dirname(os.path.abspath(__file__))


def i386_cannot_run(directory, wine=True):
    """Why a 32-bit x86 program (with `wine`: a 32-bit Windows program)
    cannot run here, or None when it can."""
    hello = os.path.join(directory, "hello32")
    build = subprocess.run(["cc", "-m32", "-x", "c", "-o", hello, "-"], input="int main(void){}",
                           capture_output=True, text=True)
    if build.returncode != 0:
        return "no 32-bit C toolchain (gcc-multilib): " + build.stderr
    try:
        subprocess.run([hello], check=True)
    except OSError as e:
        return f"this machine cannot run 32-bit x86 programs ({e.strerror})"
    return None if not wine or os.access("/usr/lib/wine/wine", os.X_OK) else \
        "wine32 is not installed"


class WineClientTest(E2ETestCase):
    PAIR = 0  # installed by the case, with --wine

    @classmethod
    def setUpClass(cls):
        """One Wine prefix for the cases (making one takes most of the time)
        and the client built for both word sizes."""
        cls.shared = tempfile.mkdtemp(prefix="clst-wine-")
        cls.addClassCleanup(shutil.rmtree, cls.shared, ignore_errors=True)
        # Quiet, no Mono or Gecko installers, no menu entries in a home.
        cls.wine_env = {k: v for k, v in os.environ.items()
                        if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        cls.wine_env.update(WINEPREFIX=os.path.join(cls.shared, "prefix"), WINEDEBUG="-all",
                            HOME=os.path.join(cls.shared, "home"),
                            WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        cls.addClassCleanup(subprocess.run, ["wineserver", "-k"], env=cls.wine_env, timeout=60)
        cls.exes = {}
        for bits, compiler in ((64, "x86_64-w64-mingw32-gcc"), (32, "i686-w64-mingw32-gcc")):
            cls.exes[bits] = os.path.join(cls.shared, f"client{bits}.exe")
            subprocess.run([compiler, "-O2", "-Wall", "-Werror", "-o", cls.exes[bits],
                            os.path.join(HERE, "win32_serial_client.c")], check=True, timeout=120)
        boot = subprocess.run(["wineboot", "-i"], env=cls.wine_env, capture_output=True,
                              text=True, timeout=240)
        assert boot.returncode == 0, boot.stderr

    def wine(self, *args, preload=True):
        return subprocess.run(self.through_run("wine", *args) if preload else ["wine", *args],
                              capture_output=True, text=True, errors="replace", timeout=180,
                              env=dict(self.wine_env, CLSERTOLVANE_PORT_DIR=self.ports))

    def serial_ports(self):
        """The ports that Windows port pickers list, from a fresh start of Wine."""
        subprocess.run(["wineserver", "-w"], env=self.wine_env, timeout=60)
        return self.wine("reg", "query", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM").stdout.split()

    def run_client(self, exe, *args, preload=True):
        result = self.wine(exe, "COM7", *args, preload=preload)
        return result.returncode, result.stdout.replace("\r", "")

    def check_client(self, bits):
        """The event-driven client, through clsertolvane-run: the modem lines
        follow the relay, both kinds of WaitCommEvent see the reply."""
        exe = self.exes[bits]
        env = dict(self.env, **{k: self.wine_env[k] for k in ("WINEPREFIX", "HOME")})
        pairs = lambda *args: self.run_tool("clsertolvane-pairs", *args, env=env)
        result = pairs("install", "7", "--wine")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.append(7)
        self.assertIn(r"Wine's port table (HKLM\Software\Wine\Ports) has COM7", result.stdout)
        link = os.path.join(self.wine_env["WINEPREFIX"], "dosdevices", "com7")
        self.assertEqual(os.readlink(link), self.com(7))
        self.assertIn(f"Wine: {link}  (in Wine's port table)", pairs("list").stdout)
        self.assertIn("COM7", self.serial_ports())

        # Wine alone gives up on a port without modem lines.
        self.assertEqual(self.run_client(exe, "status", preload=False),
                         (1, "SetCommState 115200 8N1, DTR and RTS enabled: ok\n"
                             "GetCommModemStatus failed: error 50\n"))
        code, out = self.run_client(exe, "status")
        self.assertEqual(code, 0, out)
        self.assertIn("GetCommModemStatus: CTS off, DSR off, RING off, RLSD off\n", out)
        proc = self.start_connected("COM7", "0", "115200,N,8,1")
        for mode in ("overlapped", "blocking"):
            code, out = self.run_client(exe, mode, "id?")
            print(f"{bits}-bit, {mode}:\n{out}")
            self.assertEqual(code, 0, out)
            for line in ("GetCommModemStatus: CTS on, DSR on, RING off, RLSD on",
                         "EscapeCommFunction CLRDTR, SETDTR: ok",
                         f"WaitCommEvent ({mode}): EV_RXCHAR", "Reply: " + ID.decode().strip()):
                self.assertIn(line + "\n", out)
        self.assert_stops_cleanly(proc)

        self.assertEqual(pairs("remove", "CNC7").returncode, 0)
        self.pairs.remove(7)
        self.assertFalse(os.path.lexists(link))
        self.assertNotIn("COM7", self.serial_ports())

    def test_64_bit_windows_client(self):
        self.check_client(64)

    def test_32_bit_windows_client(self):
        reason = i386_cannot_run(self.dir)
        if reason:
            self.skipTest(reason)
        self.check_client(32)

    def test_without_a_prefix_or_without_wine(self):
        """No prefix: nothing is done. No wine command: the link only, and
        the output says that port lists will not show the port."""
        prefix = os.path.join(self.dir, "prefix")
        for path, code, says in ((os.environ["PATH"], 1, "wineboot -i"),
                                 ("/nonexistent", 0, "Wine (the wine command) was not found")):
            env = dict(self.env, WINEPREFIX=prefix, PATH=path)
            result = self.run_tool("clsertolvane-pairs", "install", "--wine", "7", env=env)
            self.assertEqual(result.returncode, code, result.stderr)
            self.assertIn(says, result.stdout + result.stderr)
            os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
        self.pairs.append(7)
        self.assertEqual(os.readlink(os.path.join(prefix, "dosdevices", "com7")), self.com(7))


class Rfc2217ClientTest(E2ETestCase):
    def serve_rfc2217(self):
        """ser2net with the shipped example configuration, serving COM7 of
        this case's port directory on a unix socket there, and that socket
        forwarded to a free loopback port as SSH forwards it for a remote
        tool (socat stands in for ssh -L): pyserial's URL."""
        with open(os.path.join(HERE, "..", "..", "etc", "ser2net-clsertolvane.yaml")) as f:
            example = f.read()
        for old, new in (("/run/user/1000/clsertolvane\n", self.ports + "\n"),
                         ("*(portdir)/COM5,", "*(portdir)/COM7,"),
                         ("*(portdir)/COM5.rfc2217", "*(portdir)/COM7.rfc2217")):
            self.assertEqual(example.count(old), 1, old)
            example = example.replace(old, new)
        config = os.path.join(self.dir, "ser2net.yaml")
        with open(config, "w") as f:
            f.write(example)
        # Through clsertolvane-run, ser2net confirms a client's DTR and RTS, so
        # pyserial needs no ?ign_set_control.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        sock = os.path.join(self.ports, "COM7.rfc2217")
        # A ser2net killed before left its socket behind.
        with socket.socket(socket.AF_UNIX) as stale:
            stale.bind(sock)
        self.background(self.through_run("ser2net", "-n", "-c", config))
        self.background(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork",
                         f"UNIX-CONNECT:{sock}"])
        # Listening is read from /proc: a trial connection would make ser2net
        # open its port. A listening unix socket has __SO_ACCEPTCON in its flags.
        local = f"0100007F:{port:04X} 00000000:0000 0A"
        wait_for("ser2net and the forward to listen", lambda: any(
            row.split()[3] == "00010000" and row.split()[-1] == sock
            for row in pathlib.Path("/proc/net/unix").read_text().splitlines()[1:])
            and local in pathlib.Path("/proc/net/tcp").read_text())
        return f"rfc2217://127.0.0.1:{port}"

    def test_remote_tools_reach_the_camera_through_ser2net(self):
        url = self.serve_rfc2217()
        proc = self.start_connected("--follow-baud", "COM7", "0", "115200,N,8,1")
        # Two sessions in a row: ser2net opens the COM end anew for each
        # client, right after it closed it for the one before.
        for command, reply in ((b"gain=42\r", b"OK\r\n"), (b"gain?\r", b"gain=42\r\n")):
            with serial.serial_for_url(url, 115200, timeout=5) as port:
                port.write(b"id?\r" + command)
                self.assertEqual(port.read_until(b"\n") + port.read_until(b"\n"), ID + reply)
        # RFC 2217's SET-BAUDRATE, set on COM7 by ser2net, reaches the camera
        # line with --follow-baud; the status line follows with the next poll.
        with serial.serial_for_url(url, 115200, timeout=5) as port:
            port.baudrate = 9600
            port.write(b"baud?\r")
            self.assertEqual(port.read_until(b"\n"), b"baud=9600\r\n")
        self.assertTrue(self.wait_connected(
            proc, marker="Connected: COM7<->0. EmuBoard_Port0 9600 n 8 1"), proc.early_err)
        out, _ = self.assert_stops_cleanly(proc)
        self.assertIn("Line rate changed from 115200 to 9600 bit/s: the Camera Link port follows "
                      "the COM port", out)


# What a native program sees of the modem lines, through pyserial, run by
# clsertolvane-run: one JSON line per step, the next step when the test says.
PROBE = r"""
import errno, fcntl, json, os, serial, struct, sys, termios
port = serial.Serial(sys.argv[1], 115200)
def lines():
    bits = struct.unpack("I", fcntl.ioctl(port.fd, termios.TIOCMGET, bytes(4)))[0]
    return {"dtr": bool(bits & termios.TIOCM_DTR), "rts": bool(bits & termios.TIOCM_RTS),
            "cts": port.cts, "dsr": port.dsr, "cd": port.cd, "ri": port.ri}
def say(what):
    print(json.dumps(what), flush=True)
port.dtr = False
say(lines())
port.dtr, port.rts = True, False
say(lines())
fcntl.ioctl(port.fd, termios.TIOCMIWAIT, termios.TIOCM_CD)
counts = struct.unpack("20i", fcntl.ioctl(port.fd, termios.TIOCGICOUNT, bytes(80)))
say(dict(lines(), changes=counts[3]))
other = os.openpty()[1]
fcntl.ioctl(other, termios.TIOCEXCL)
answers = []
for touch in (lambda: fcntl.ioctl(other, termios.TIOCMGET, bytes(4)),
              lambda: os.open(os.ttyname(other), os.O_RDWR | os.O_NOCTTY)):
    try:
        touch()
        answers.append("answered")
    except OSError as e:
        answers.append(errno.errorcode[e.errno])
say(answers)
port.close()
busy = 0
for _ in range(50):
    try:
        serial.Serial(sys.argv[1], 115200).close()
    except serial.SerialException as e:
        busy += e.errno == errno.EBUSY
say(busy)
"""


# A 32-bit program's view: TIOCMGET through ioctl, or through __ioctl_time64
# when built with 64-bit time, as 32-bit Wine's ntdll.so is.
PROBE32 = r"""
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
int main(int argc, char** argv) {
    int lines = 0, fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0 || ioctl(fd, TIOCMGET, &lines) != 0)
        return perror(argv[1]), 1;
    return printf("%#x\n", lines) < 0;
}
"""


class NativeClientTest(E2ETestCase):
    def test_modem_lines_follow_the_relay(self):
        probe = self.background(self.through_run("/usr/bin/python3", "-c", PROBE, self.com()),
                                stdout=subprocess.PIPE, bufsize=0)
        self.addCleanup(probe.stdout.close)
        step = lambda: json.loads(read_line(probe.stdout, 20))
        off = {"cts": False, "dsr": False, "cd": False, "ri": False}
        self.assertEqual(step(), dict(off, dtr=False, rts=True))
        self.assertEqual(step(), dict(off, dtr=True, rts=False))
        # TIOCMIWAIT ends when the relay takes the device end.
        relay = self.start_connected("COM7", "0", "115200,N,8,1")
        self.assertEqual(step(), {"dtr": True, "rts": False, "cts": True, "dsr": True,
                                  "cd": True, "ri": False, "changes": 1})
        self.assertEqual(step(), ["ENOTTY", "EBUSY"], "another terminal is not left as it is")
        self.assertEqual(step(), 0, "a reopen at once met the busy port")
        self.assertEqual(probe.wait(20), 0)
        self.assert_stops_cleanly(relay)

    def test_32_bit_programs_get_the_lines_too(self):
        """Run natively where the machine runs i386 programs, else under
        qemu-i386 (its guest takes the environment, so the loader finds the
        i386 library on the same search path)."""
        reason, runner = i386_cannot_run(self.dir, wine=False), []
        if reason:
            runner = [shutil.which("qemu-i386")]
            if not runner[0]:
                self.skipTest(reason + ", and qemu-i386 (qemu-user) is not installed")
        device = os.open(os.path.join(self.ports, "ZADURUV7"), os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, device)
        for flags in ([], ["-D_TIME_BITS=64", "-D_FILE_OFFSET_BITS=64"]):
            exe = os.path.join(self.dir, "probe32")
            subprocess.run(["cc", "-m32", *flags, "-o", exe, "-x", "c", "-"], input=PROBE32,
                           text=True, check=True)
            result = subprocess.run(self.through_run(*runner, exe, self.com()), env=self.env,
                                    capture_output=True, text=True, timeout=60)
            # DTR and RTS as at the open, and the far end's lines: the
            # device end is held.
            self.assertEqual((result.stdout, result.stderr), ("0x166\n", ""), flags)

    def test_minicom_shows_the_line_online_while_a_relay_runs(self):
        """minicom in tmux; its status line, shown by Ctrl+A, says Online
        while the carrier (CD) is on."""
        for relay, status in ((False, "Offline"), (True, "Online 0:0")):
            # A server of its own each time: one that is ending takes a new
            # session down with it.
            server = f"clst-{os.getpid()}-{relay}"
            tmux = lambda *args, server=server: subprocess.run(
                ["tmux", "-L", server, *args], env=self.env, capture_output=True, text=True,
                timeout=10)
            self.addCleanup(tmux, "kill-server")
            proc = self.start_connected("COM7", "0", "115200,N,8,1") if relay else None
            command = " ".join(self.through_run("minicom", "-D", self.com(), "-b", "115200", "-o"))
            started = tmux("new-session", "-d", "-x", "80", "-y", "24", "-c", self.dir,
                           f"env HOME={self.dir} {command}")
            self.assertEqual(started.returncode, 0, started.stderr)

            def shown():
                time.sleep(0.5)
                tmux("send-keys", "C-a")
                return f"| {status} |" in tmux("capture-pane", "-p").stdout
            wait_for(f"minicom's status line to say {status}", shown, 10)
            # minicom takes a moment to end after its hang-up; the pair says
            # when the port is free again.
            tmux("kill-server")
            wait_for("minicom to let the port go", lambda: "com_open=1" not in pathlib.Path(
                self.ports, "CNC7.lines").read_text(), 10)
            if proc:
                self.assert_stops_cleanly(proc)


if __name__ == "__main__":
    unittest.main()
