#!/usr/bin/python3
# Clients other than a Linux program on this machine reach the demo camera
# through the headless relay: a Windows program under Wine (on the COM port
# that clsertolvane-pairs install --wine maps into a private prefix), and a
# remote tool over RFC 2217 (ser2net with the shipped example configuration on
# a unix socket in the port directory, forwarded as SSH does, pyserial's
# client).
import os
import socket
import subprocess
import time
import unittest

import serial

import e2e_support
from e2e_support import E2ETestCase, ID

e2e_support.take_bin_argument()
HERE = os.path.dirname(os.path.abspath(__file__))


class WineClientTest(E2ETestCase):
    PAIR = 0  # installed by the case, with --wine

    def test_windows_program_under_wine_reaches_the_camera(self):
        exe = os.path.join(self.dir, "win32_serial_client.exe")
        build = subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-Wall", "-Werror", "-o", exe,
                                os.path.join(HERE, "win32_serial_client.c")],
                               capture_output=True, text=True, timeout=120)
        self.assertEqual(build.returncode, 0, build.stderr)
        self.env["WINEPREFIX"] = os.path.join(self.dir, "wine")
        # Quiet, no Mono or Gecko installers, no menu entries in a home.
        wine_env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        wine_env.update(HOME=os.path.join(self.dir, "home"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        pairs = lambda *args: self.run_tool("clsertolvane-pairs", *args)

        # No prefix yet: refused with the way to make one, and no pair made.
        result = pairs("install", "--wine", "7")
        self.assertEqual(result.returncode, 1)
        self.assertIn("wineboot -i", result.stderr)
        self.assertIn("No virtual COM port pairs", pairs("list").stdout)

        # The prefix's Wine processes end with the case.
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=wine_env, timeout=60)
        wine = lambda *args: subprocess.run(args, env=wine_env, capture_output=True, text=True,
                                            timeout=180)
        boot = wine("wineboot", "-i")
        self.assertEqual(boot.returncode, 0, boot.stderr)
        result = pairs("install", "7", "--wine")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.pairs.append(7)
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", "com7")
        self.assertEqual(os.readlink(link), self.com(7))
        self.assertIn("Wine: " + link, pairs("list").stdout)

        proc = self.start_connected("COM7", "0", "115200,N,8,1")
        run = wine("wine", exe, "COM7", "id?")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.split(), ID.decode().split())  # the CRT adds CRs
        self.assert_stops_cleanly(proc)
        self.assertEqual(pairs("remove", "CNC7").returncode, 0)
        self.pairs.remove(7)
        self.assertFalse(os.path.lexists(link))


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
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        sock = os.path.join(self.ports, "COM7.rfc2217")
        for command in (["ser2net", "-n", "-c", config],
                        ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,fork",
                         f"UNIX-CONNECT:{sock}"]):
            proc = subprocess.Popen(command, env=self.env)
            self.addCleanup(proc.wait, 10)
            self.addCleanup(proc.terminate)
        # Listening is read from /proc: a trial connection would make ser2net
        # open its port.
        local = f"0100007F:{port:04X} 00000000:0000 0A"
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with open("/proc/net/tcp") as f:
                if local in f.read() and os.path.exists(sock):
                    return f"rfc2217://127.0.0.1:{port}?ign_set_control"
            time.sleep(0.05)
        self.fail("ser2net or the forward did not listen")

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


if __name__ == "__main__":
    unittest.main()
