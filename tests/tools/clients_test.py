#!/usr/bin/python3
"""Clients other than a Linux program on this machine reach the demo camera
through the headless relay: a Windows program under Wine (on the COM port
that clsertolvane-pairs install --wine maps into a private prefix), and a
remote tool over RFC 2217 (ser2net with the shipped example configuration,
pyserial's client)."""
import os
import signal
import subprocess
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase

e2e_support.take_bin_argument()

HERE = os.path.dirname(os.path.abspath(__file__))


class WineClientTest(E2ETestCase):
    PREFIX = "clst-wine-"
    PAIR = 0  # installed by the case, with --wine

    def wine_processes(self):
        """Pids of the processes that run in this case's Wine prefix."""
        needle = b"WINEPREFIX=" + os.fsencode(self.env["WINEPREFIX"]) + b"\0"
        pids = []
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if needle in f.read() + b"\0":
                        pids.append(int(entry))
            except OSError:
                pass
        return pids

    def stop_wine(self, wine_env):
        subprocess.run(["wineserver", "-k"], env=wine_env, capture_output=True, timeout=30)
        # Its processes may still be ending a moment after it.
        deadline = time.monotonic() + 5
        while (left := self.wine_processes()) and time.monotonic() < deadline:
            time.sleep(0.05)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        self.assertEqual(left, [], "Wine processes left over")

    def test_windows_program_under_wine_reaches_the_camera(self):
        exe = os.path.join(self.dir, "win32_serial_client.exe")
        build = subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-Werror", "-o", exe,
                                os.path.join(HERE, "win32_serial_client.c")],
                               capture_output=True, text=True, timeout=120)
        self.assertEqual(build.returncode, 0, build.stderr)

        self.env["WINEPREFIX"] = os.path.join(self.dir, "wine")
        wine_env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # Quiet, no Mono or Gecko installers, no menu entries in a home.
        wine_env.update(HOME=os.path.join(self.dir, "home"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        pairs = lambda *args: self.run_tool("clsertolvane-pairs", *args)

        # No prefix yet: refused with the way to make one, and no pair made.
        result = pairs("install", "--wine", "7")
        self.assertEqual(result.returncode, 1)
        self.assertIn("wineboot -i", result.stderr)
        self.assertIn("No virtual COM port pairs", pairs("list").stdout)

        self.addCleanup(self.stop_wine, wine_env)
        boot = subprocess.run(["wineboot", "-i"], env=wine_env, capture_output=True, text=True,
                              timeout=180)
        self.assertEqual(boot.returncode, 0, boot.stderr)
        result = pairs("install", "7", "--wine")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.append(7)
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", "com7")
        self.assertEqual(os.readlink(link), self.com(7))
        self.assertIn("Wine: " + link, pairs("list").stdout)

        proc = self.start_connected("COM7", "0", "115200,N,8,1")
        run = subprocess.run(["wine", exe, "COM7", "id?"], env=wine_env, capture_output=True,
                             text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("EMUCAM"), run.stdout)
        self.assert_stops_cleanly(proc)

        result = pairs("remove", "CNC7")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.remove(7)
        self.assertFalse(os.path.lexists(link))


class Rfc2217ClientTest(E2ETestCase):
    PREFIX = "clst-rfc2217-"
    PAIR = 8

    def test_remote_tool_reaches_the_camera_through_ser2net(self):
        url = self.serve_rfc2217()
        proc = self.start_connected("COM8", "0", "115200,N,8,1")
        # Two sessions in a row: ser2net opens the COM end anew for each
        # client, right after it closed it for the one before.
        for command, reply in ((b"gain=42\r", b"OK\r\n"), (b"gain?\r", b"gain=42\r\n")):
            with e2e_support.serial.serial_for_url(url, 115200, timeout=5) as port:
                port.write(b"id?\r" + command)
                self.assertTrue(port.read_until(b"\n").startswith(b"EMUCAM"))
                self.assertEqual(port.read_until(b"\n"), reply)
        self.assert_stops_cleanly(proc)

    def test_remote_rate_change_reaches_the_camera_line_with_follow_baud(self):
        url = self.serve_rfc2217()
        proc = self.start_connected("--follow-baud", "COM8", "0", "115200,N,8,1")
        with e2e_support.serial.serial_for_url(url, 115200, timeout=5) as port:
            port.baudrate = 9600  # RFC 2217's SET-BAUDRATE, set on COM8 by ser2net
            port.write(b"baud?\r")
            self.assertEqual(port.read_until(b"\n"), b"baud=9600\r\n")
        self.assert_stops_cleanly(proc)


if __name__ == "__main__":
    unittest.main()
