#!/usr/bin/python3
"""clsertolvane --headless end to end: a real port pair, the emulated board,
pyserial as the camera tool on COMn, signals and exit codes."""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import serial

BIN = sys.argv.pop(1)


class HeadlessTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clst-headless-")
        self.ports = os.path.join(self.dir, "ports")
        self.env = dict(os.environ, CLSERTOLVANE_PORT_DIR=self.ports)
        self.env.pop("MARO_EMULATION", None)
        self.run_tool("clsertolvane-pairs", "install", "7")

    def tearDown(self):
        self.run_tool("clsertolvane-pairs", "remove", "CNC7")
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_tool(self, name, *args, timeout=10):
        return subprocess.run([os.path.join(BIN, name), *args], env=self.env,
                              capture_output=True, text=True, timeout=timeout)

    def start(self, *words):
        return subprocess.Popen([os.path.join(BIN, "clsertolvane"), "--headless", *words],
                                env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, errors="replace")

    def talk(self, command):
        with serial.Serial(os.path.join(self.ports, "COM7"), 115200, timeout=2) as port:
            port.write(command)
            return port.read_until(b"\n")

    def wait_connected(self, proc):
        """True once the program reports the connection on standard error."""
        self.err = ""
        deadline = time.time() + 10
        while time.time() < deadline:
            ready, _, _ = select.select([proc.stderr], [], [], 0.1)
            if ready:
                line = proc.stderr.readline()
                if not line:
                    return False
                self.err += line
                if line.startswith("Connected:"):
                    return True
        return False

    def test_relays_and_stops_cleanly_on_sigterm(self):
        proc = self.start("--echo", "COM7", "0", "115200,N,8,1")
        self.assertTrue(self.wait_connected(proc), self.err)
        self.assertTrue(self.talk(b"id?\r").startswith(b"EMUCAM"))
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=5)
        self.assertEqual(proc.returncode, 0, err)
        lines = out.split("\n")
        self.assertEqual(lines[0], "clsertolvanemutex0")
        self.assertIn("To ClSer:", lines)
        # Text mode turns the raw CR inside the brackets into a line end.
        self.assertIn("69[i] 64[d] 3f[?] d[", lines)
        self.assertIn("To Com:", lines)
        self.assertIn("Connected: COM7<->0. EmuBoard_Port0 115200 n 8 1", self.err)
        # Both ports were closed: a second instance connects to the same pair.
        again = self.start("COM7", "0")
        self.assertTrue(self.wait_connected(again))
        again.send_signal(signal.SIGINT)
        again.communicate(timeout=5)
        self.assertEqual(again.returncode, 0)

    def test_refusals_and_exit_codes(self):
        proc = self.start("COM9", "0")
        _, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("not connected", err)

        proc = self.start("COM7", "5")  # the board has two ports
        proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 1)

        proc = self.start()
        _, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 2)
        self.assertIn("no connection given", err)

        result = self.run_tool("clsertolvane", "--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^clsertolvane \d+\.\d+\.\d+\n$")
        result = self.run_tool("clsertolvane", "COM7", "0")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--headless", result.stderr)

    def test_client_that_stops_reading_ends_with_a_connection_error(self):
        ini = os.path.join(self.dir, "echo.ini")
        with open(ini, "w") as f:
            f.write("[board0]\nname=EchoBoard\nports=1\n[port0]\ncamera=echo\n")
        self.env["MARO_EMULATION"] = ini
        proc = self.start("COM7", "0", "921600,N,8,1")
        self.assertTrue(self.wait_connected(proc), self.err)
        # The camera echoes everything; the client never reads, so the
        # replies fill the pair until the relay's writes to COM stall.
        chunk = bytes(range(256)) * 16
        with serial.Serial(os.path.join(self.ports, "COM7"), 921600,
                           write_timeout=0.5) as port:
            deadline = time.time() + 40
            while proc.poll() is None and time.time() < deadline:
                try:
                    port.write(chunk)
                except serial.SerialTimeoutException:
                    time.sleep(0.2)
            out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 1, err)
        # A write that takes part of a block ends at once; one that takes
        # nothing is retried first ("Retry after TotalBytesWritten: ...").
        self.assertIn("Error writing to COM interface  error code:", out)
        self.assertIn("Connection error!", err)

    def test_no_board_ends_non_zero(self):
        ini = os.path.join(self.dir, "none.ini")
        with open(ini, "w") as f:
            f.write("[emulation]\ndevice_limit=4\n")
        self.env["MARO_EMULATION"] = ini
        proc = self.start("COM7", "0")
        _, err = proc.communicate(timeout=10)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("Cannot find any CameraLink boards", err)

    def test_unusable_port_directory_ends_with_the_library_text(self):
        os.chmod(self.ports, 0o777)
        try:
            proc = self.start("COM7", "0")
            _, err = proc.communicate(timeout=10)
        finally:
            os.chmod(self.ports, 0o700)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("writable", err)


if __name__ == "__main__":
    unittest.main()
