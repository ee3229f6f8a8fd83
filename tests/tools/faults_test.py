#!/usr/bin/python3
# Faults and a hostile environment, end to end: clsertolvane --headless on a
# real port pair with pyserial as the camera tool, while the pair disappears,
# its ends are held by others, the emulated camera misbehaves and the port
# directory is planted with traps. Every case ends with the program gone and no
# pair host left.
import os
import pathlib
import signal
import subprocess
import unittest

import serial

import e2e_support
from e2e_support import E2ETestCase, FAST, ID, ask, open_serial, wait_for

e2e_support.take_bin_argument()

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


def snapshot(root):
    """Every path below `root` with its modification time and contents."""
    found = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            path = pathlib.Path(base, name)
            found[path] = (path.lstat().st_mtime_ns, name in files and path.read_bytes())
    return found


class PairFaultsTest(E2ETestCase):
    """The pair under a running relay: it goes away, or its ends are held."""

    def test_pair_removed_or_host_killed_ends_the_relay(self):
        # The relay's end hangs up: a failed COM read ends the worker, and
        # headless ends with 1 so that a service manager starts it again.
        def remove():
            self.assertEqual(self.run_tool("clsertolvane-pairs", "remove", "CNC7").returncode, 0)

        def kill_host():
            with open(os.path.join(self.ports, "CNC7.pair")) as f:
                os.kill(int(f.read().split("pid=", 1)[1].split()[0]), signal.SIGKILL)

        for fault in (remove, kill_host):
            with self.subTest(fault.__name__):
                proc = self.start_connected("COM7", "0", "115200,N,8,1")
                self.assertEqual(ask(self.com()), ID)
                fault()
                self.assertEqual(e2e_support.host_pids(self.ports), [])
                code, out, err = self.finish(proc)
                self.assertEqual(code, 1, err)
                self.assertIn("Error while reading from COM interface   error code: -5", out)
                self.assertIn("the relay stopped after the error above", err)
                # The leftovers go with the next listing; the number is free again.
                self.assertNotIn("CNC7", self.run_tool("clsertolvane-pairs", "list").stdout)
                self.assertEqual(sorted(os.listdir(self.ports)),
                                 [".pairs.lock", "clsertolvanemutex0.lock"])
                self.install_pair(7)

    @unittest.skipIf(os.geteuid() == 0, "root ignores exclusive mode")
    def test_a_killed_relay_frees_its_end_for_the_next_one(self):
        for cycle, sig in enumerate([signal.SIGKILL] * 5 + [signal.SIGHUP]):
            proc = self.start_connected("COM7", "0", "115200,N,8,1")
            self.assertEqual(ask(self.com()), ID, cycle)
            if cycle == 0:
                code, _, err = self.finish(self.start("COM7", "0", "115200,N,8,1"))
                self.assertEqual(code, 1, err)
                self.assertIn("Cannot open the serial port\nError code: -13", err)
            proc.send_signal(sig)
            self.assertEqual(self.finish(proc)[0], -sig)
        self.assert_stops_cleanly(self.start_connected("COM7", "0", "115200,N,8,1"))

    @unittest.skipIf(os.geteuid() == 0, "root ignores exclusive mode")
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
                def refused():
                    try:
                        os.close(os.open(self.com(), os.O_RDWR | os.O_NOCTTY))
                    except OSError as e:
                        return e.errno
                self.assertEqual(wait_for("the held end to refuse a second program", refused, 5),
                                 16)
                if end != "exit":
                    holder.send_signal(end)
                holder.communicate(timeout=10)  # an exit when its input ends
                open_serial(self.com(), 115200).close()


    def test_a_camera_talking_to_a_closed_com_port_loses_bytes_not_the_relay(self):
        # As on a real line, what arrives while no tool has the port open is
        # lost: the relay neither stalls nor ends, the pair counts the bytes,
        # and the next tool reads only what the camera sends after its open.
        cam = os.path.join(self.dir, "cam")
        self.echo_board(f"link={cam}\n", camera="pty")
        proc = self.start_connected("COM7", "0", FAST)
        status = b"".join(b"status %06d temp 41.5C\r\n" % i for i in range(5000))  # 135 KB

        def dropped():
            with open(os.path.join(self.ports, "CNC7.lines")) as f:
                return int(f.read().split("dropped=", 1)[1].split()[0])

        with serial.Serial(cam, 921600, write_timeout=30) as camera:
            camera.write(status)
            wait_for("the count", lambda: dropped() >= len(status) or proc.poll() is not None, 30)
            self.assertIsNone(proc.poll(), proc.early_err)
            self.assertEqual(dropped(), len(status))
            self.assertIn(f"dropped {len(status)} bytes",
                          self.run_tool("clsertolvane-pairs", "list").stdout)
            with open_serial(self.com(), 921600, timeout=2) as port:
                camera.write(b"fresh\r\n")
                self.assertEqual(port.read_until(b"\n"), b"fresh\r\n")
        self.assert_stops_cleanly(proc)


class CameraFaultsTest(E2ETestCase):
    def test_camera_faults_keep_or_end_the_relay_with_their_line(self):
        # A failed camera read is reported and the relay goes on; a camera
        # that takes only part of a block (short_write) or nothing (stalled)
        # ends the relay, and headless ends with 1 so that a service manager
        # restarts it; a failed start is refused with its status.
        data = os.urandom(4000)
        for keys, ends, out_text, err_text in (
                ("read_error_every=3", False,
                 "Error reading from clser interface   error code: -10009", ""),
                ("short_write=16", True, "Error writing to clser interface   error code: -5",
                 "the relay stopped after the error above"),
                ("stalled=1", True, "Error writing to clser interface   error code: -10004",
                 "the relay stopped after the error above"),
                ("init_error=1", True, "",
                 "Connecting to CamaraLink port failed\nError code: -10009"),
                ("baud_error=1", True, "",
                 "Connecting to CamaraLink port failed\nError code: -10008")):
            with self.subTest(keys):
                self.echo_board(keys + "\n")
                proc = self.start("COM7", "0", FAST)
                if self.wait_connected(proc):
                    with open_serial(self.com(), 921600, timeout=30) as port:
                        port.write(data)
                        if ends:  # what was relayed before the end is still there
                            port.timeout = 0.5
                            code, out, err = self.finish(proc)
                        received = port.read(len(data))
                        self.assertEqual(received, data[:len(received)] if ends else data)
                        if not ends:
                            code, out, err = self.stop(proc)
                else:
                    code, out, err = self.finish(proc)
                self.assertEqual(code, 1 if ends else 0, err)
                self.assertIn(out_text, out)
                self.assertIn(err_text, err)
                self.assertNotIn("Connection error!", err)
                # Both ports were closed: the pair takes a new connection.
                self.echo_board()
                self.assert_stops_cleanly(self.start_connected("COM7", "0", FAST))


class HostileEnvironmentTest(E2ETestCase):
    """Port directories and planted links meant to break things."""

    def test_unusable_port_directories_are_refused_by_every_program(self):
        os.symlink(self.ports, os.path.join(self.dir, "linked"))
        for directory, mode, text in (
                (self.ports, 0o707, "writable by other users"),  # not by the group
                (os.path.join(self.dir, "linked"), 0o700, "is not a directory"),
                ("ports", 0o700, "is not an absolute path")):
            with self.subTest(text):
                env = dict(self.env, CLSERTOLVANE_PORT_DIR=directory)
                os.chmod(self.ports, mode)
                try:
                    results = [self.run_tool("clsertolvane", "--headless", "COM7", "0", env=env),
                               self.run_tool("clsertolvane-pairs", "install", "8", env=env),
                               self.run_tool("clsertolvane-relay", "ZADURUV7", "0", env=env)]
                finally:
                    os.chmod(self.ports, 0o700)
                for result in results:
                    self.assertEqual(result.returncode, 1, result.args)
                    self.assertIn(text, result.stderr)
        self.assertFalse(os.path.lexists(self.com(8)))

    def test_planted_links_are_refused_or_replaced_never_written_through(self):
        occupied = "This port number is occupied"
        # (link, what it points to, the refusal or None when it is replaced)
        for number, (link, kind, refusal) in enumerate((
                ("COM{}", "file", occupied),
                ("ZADURUV{}", None, None),  # a dangling link of a dead pair
                ("MAROCOM{}", "directory", occupied),
                ("CNC{}.pair", "file", None),
                (".pairs.lock", None, "Cannot open the lock file"),
                (".pairs.lock", "file", "Cannot open the lock file")), start=10):
            with self.subTest(link=link, kind=kind):
                outside = os.path.join(self.dir, f"outside{number}")
                os.mkdir(outside)
                target = os.path.join(outside, "target")
                if kind == "file":
                    pathlib.Path(target).write_text("precious\n")
                elif kind:
                    os.mkdir(target)
                before = snapshot(outside)
                planted = os.path.join(self.ports, link.format(number))
                if os.path.lexists(planted):
                    os.unlink(planted)
                os.symlink(target, planted)
                result = self.run_tool("clsertolvane-pairs", "install", str(number))
                self.assertEqual(result.returncode, 1 if refusal else 0, result.stderr)
                self.assertIn(refusal or "", result.stderr)
                self.assertEqual(snapshot(outside), before)
                if refusal:
                    self.assertEqual(os.readlink(planted), target)
                    os.unlink(planted)
                else:
                    self.pairs.append(number)
                    self.assertTrue(os.readlink(self.com(number)).startswith("/dev/pts/"))
        # The relay's instance lock is not written through either.
        os.symlink(os.path.join(self.dir, "outside10", "slot"),
                   os.path.join(self.ports, "clsertolvanemutex0.lock"))
        self.assert_stops_cleanly(self.start_connected("COM7", "0"))
        self.assertEqual(os.listdir(os.path.join(self.dir, "outside10")), ["target"])


if __name__ == "__main__":
    unittest.main()
