#!/usr/bin/python3
"""clsertolvane --headless end to end: a real port pair, the emulated board,
pyserial as the camera tool on COMn, signals and exit codes."""
import os
import signal
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase, open_serial

e2e_support.take_bin_argument()


class HeadlessTest(E2ETestCase):
    PREFIX = "clst-headless-"

    def talk(self, command):
        with open_serial(self.com(), 115200, timeout=2) as port:
            port.write(command)
            return port.read_until(b"\n")

    def test_relays_and_stops_cleanly_on_sigterm(self):
        # Both modes relay alike and show the same lines; options go before
        # the words in any order.
        for options in ([], ["--low-latency"]):
            with self.subTest(options=options):
                proc = self.start_connected(*options, "--echo", "COM7", "0", "115200,N,8,1")
                self.assertTrue(self.talk(b"id?\r").startswith(b"EMUCAM"))
                code, out, err, _ = self.stop(proc)
                self.assertEqual(code, 0, err)
                lines = out.split("\n")
                self.assertEqual(lines[0], "clsertolvanemutex0")
                self.assertIn("To ClSer:", lines)
                # One output line per block, the CR written as an escape.
                self.assertIn(r"69[i] 64[d] 3f[?] d[\r] ", lines)
                self.assertIn("To Com:", lines)
                connected = "Connected: COM7<->0. EmuBoard_Port0 115200 n 8 1"
                self.assertIn(connected + (" (low latency)\n" if options else "\n"), err)
                # Both ports were closed: a second instance connects to the same pair.
                again = self.start_connected("COM7", "0")
                code, _, _, _ = self.stop(again, signal.SIGINT)
                self.assertEqual(code, 0)

    def test_refusals_and_exit_codes(self):
        code, _, err = self.finish(self.start("COM9", "0"))
        self.assertEqual(code, 1)
        self.assertIn("not connected", err)

        code, _, _ = self.finish(self.start("COM7", "5"))  # the board has two ports
        self.assertEqual(code, 1)

        code, _, err = self.finish(self.start())
        self.assertEqual(code, 2)
        self.assertIn("no connection given", err)

        result = self.run_tool("clsertolvane", "--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^clsertolvane \d+\.\d+\.\d+\n$")
        result = self.run_tool("clsertolvane", "COM7", "0")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--headless", result.stderr)

    def test_client_that_stops_reading_ends_with_a_connection_error(self):
        self.echo_board()
        proc = self.start_connected("COM7", "0", "921600,N,8,1")
        # The camera echoes everything; the client never reads, so the
        # replies fill the pair until the relay's writes to COM stall.
        chunk = bytes(range(256)) * 16
        with open_serial(self.com(), 921600, write_timeout=0.5) as port:
            deadline = time.time() + 40
            while proc.poll() is None and time.time() < deadline:
                try:
                    port.write(chunk)
                except e2e_support.serial.SerialTimeoutException:
                    time.sleep(0.2)
            code, out, err = self.finish(proc)
        self.assertEqual(code, 1, err)
        # A write that takes part of a block ends at once; one that takes
        # nothing is retried first ("Retry after TotalBytesWritten: ...").
        self.assertIn("Error writing to COM interface  error code:", out)
        self.assertIn("Connection error!", err)

    def test_unread_standard_output_loses_no_data_and_keeps_signals_working(self):
        self.echo_board()
        # Nobody reads the program's standard output: the echo lines pile up.
        proc = self.start_connected("--echo", "COM7", "0", "921600,N,8,1")
        with open_serial(self.com(), 921600, timeout=5) as port:
            # Blocks well below what the pair buffers, so that the echo never
            # waits for this writer to read.
            for seed in range(8):
                block = bytes((seed * 31 + i * 7) & 0xFF for i in range(16 * 1024))
                port.write(block)
                self.assertEqual(port.read(len(block)), block, seed)
        # The stop signal works while standard output still is not read.
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        _, _, err = self.finish(proc)
        self.assertIn("standard output is not read", err)

    def test_follow_baud_switches_the_camera_line_with_the_client(self):
        proc = self.start_connected("--follow-baud", "--echo", "COM7", "0", "115200,N,8,1")
        with open_serial(self.com(), 115200, timeout=3) as port:
            port.write(b"baud?\r")
            self.assertEqual(port.read_until(b"\n"), b"baud=115200\r\n")
            port.baudrate = 9600  # as a tool does after telling the camera to switch
            port.write(b"baud?\r")
            self.assertEqual(port.read_until(b"\n"), b"baud=9600\r\n")
        # The status line follows with the next poll of the connection.
        self.assertTrue(self.wait_connected(
            proc, marker="Connected: COM7<->0. EmuBoard_Port0 9600 n 8 1"), self.err)
        code, out, err, _ = self.stop(proc)
        self.assertEqual(code, 0, err)
        self.assertIn("Line rate changed from 115200 to 9600 bit/s: the Camera Link port follows "
                      "the COM port", out)

    def test_no_board_ends_non_zero(self):
        self.emulation("[emulation]\ndevice_limit=4\n")
        code, _, err = self.finish(self.start("COM7", "0"))
        self.assertNotEqual(code, 0)
        self.assertIn("Cannot find any CameraLink boards", err)

    def test_unusable_port_directory_ends_with_the_library_text(self):
        os.chmod(self.ports, 0o777)
        try:
            code, _, err = self.finish(self.start("COM7", "0"))
        finally:
            os.chmod(self.ports, 0o700)
        self.assertEqual(code, 1)
        self.assertIn("writable", err)


if __name__ == "__main__":
    unittest.main()
