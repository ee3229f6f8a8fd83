#!/usr/bin/python3
"""The window program end to end under a virtual X server (xvfb-run): started
with a command line it connects a real port pair to the emulated board, and a
camera tool on COMn gets the demo camera's reply."""
import os
import signal
import subprocess
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase

e2e_support.take_bin_argument()


class GuiTest(E2ETestCase):
    PREFIX = "clst-gui-"

    def setUp(self):
        super().setUp()
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)

    def ask(self, command):
        """The reply to `command` on COM7, or b"" while nobody relays."""
        with e2e_support.open_serial(self.com(), 115200, timeout=0.5) as port:
            port.write(command)
            return port.read_until(b"\n")

    def test_command_line_connection_relays(self):
        proc = subprocess.Popen(
            ["xvfb-run", "-a", "-s", "-nolisten tcp",
             os.path.join(e2e_support.BIN, "clsertolvane"), "COM7", "0", "115200,N,8,1"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        self.procs.append(proc)
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
