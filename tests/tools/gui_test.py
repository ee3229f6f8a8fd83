#!/usr/bin/python3
"""The window program end to end under a virtual X server (xvfb-run): started
with a command line it connects a real port pair to the emulated board, and a
camera tool on COMn gets the demo camera's reply."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import serial

BIN = sys.argv.pop(1)


class GuiTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clst-gui-")
        self.ports = os.path.join(self.dir, "ports")
        self.env = dict(os.environ, CLSERTOLVANE_PORT_DIR=self.ports)
        for name in ("MARO_EMULATION", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        self.pairs("install", "7")

    def tearDown(self):
        self.pairs("remove", "CNC7")
        shutil.rmtree(self.dir, ignore_errors=True)

    def pairs(self, *args):
        result = subprocess.run([os.path.join(BIN, "clsertolvane-pairs"), *args], env=self.env,
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)

    def ask(self, command):
        """The reply to `command` on COM7, or b"" while nobody relays."""
        with serial.Serial(os.path.join(self.ports, "COM7"), 115200, timeout=0.5) as port:
            port.write(command)
            return port.read_until(b"\n")

    def test_command_line_connection_relays(self):
        proc = subprocess.Popen(
            ["xvfb-run", "-a", "-s", "-nolisten tcp", os.path.join(BIN, "clsertolvane"),
             "COM7", "0", "115200,N,8,1"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        try:
            reply = b""
            deadline = time.time() + 20
            while not reply.startswith(b"EMUCAM") and time.time() < deadline:
                self.assertIsNone(proc.poll(), "the program ended early")
                reply = self.ask(b"id?\r")
            self.assertTrue(reply.startswith(b"EMUCAM"), reply)
            # Still relaying on a second command.
            self.assertTrue(self.ask(b"id?\r").startswith(b"EMUCAM"))
        finally:
            os.killpg(proc.pid, signal.SIGTERM)
            out, err = proc.communicate(timeout=10)
        self.assertTrue(out.startswith("clsertolvanemutex0"), out)
        self.assertNotIn("--headless", err)


if __name__ == "__main__":
    unittest.main()
