#!/usr/bin/python3
# clsertolvane --headless end to end: a real port pair, the emulated board,
# pyserial as the camera tool on COMn, signals and exit codes.
import os
import pathlib
import random
import signal
import threading
import time
import unittest

import serial

import e2e_support
from e2e_support import E2ETestCase, FAST, ID, ask, open_serial

e2e_support.take_bin_argument()


class HeadlessTest(E2ETestCase):
    def test_relays_echoes_and_stops_on_signals(self):
        # Both modes relay alike and show the same lines; options go before
        # the words in any order.
        for options in ([], ["--low-latency", "--follow-baud"]):
            with self.subTest(options=options):
                proc = self.start_connected(*options, "--echo", "COM7", "0", "115200,N,8,1")
                self.assertEqual(ask(self.com()), ID)
                if options:  # the client's new rate reaches the camera's line
                    self.assertEqual(ask(self.com(), b"baud?\r", baud=9600), b"baud=9600\r\n")
                out, err = self.assert_stops_cleanly(proc)
                # One output line per block, the CR written as an escape.
                self.assertTrue(out.startswith("clsertolvanemutex0\nTo ClSer:\n"
                                               "69[i] 64[d] 3f[?] d[\\r] \nTo Com:\n"), out)
                self.assertIn("Connected: COM7<->0. EmuBoard_Port0 115200 n 8 1"
                              + (" (low latency)\n" if options else "\n"), err)
                self.assertEqual("Line rate changed from 115200 to 9600" in out, bool(options))
                # Both ports were closed: a second instance connects to the same pair.
                self.assert_stops_cleanly(self.start_connected("COM7", "0"), signal.SIGINT)

    def test_follow_baud_takes_the_rate_of_a_client_that_stayed_open(self):
        # The client switched to 9600 and stays open while the relay starts
        # again (a service restart, a reconnect): the host carries only
        # changes of the rate, so the relay reads the rate the pair publishes.
        # The camera line follows at once, also for a client that only
        # listens (the first start).
        with open_serial(self.com(), 9600, timeout=2) as port:
            for start in range(2):
                proc = self.start_connected("--follow-baud", "COM7", "0", "115200,N,8,1")
                time.sleep(1.2)  # the status line follows the next timer tick
                if start:
                    port.write(b"baud?\r")
                    self.assertEqual(port.read_until(b"\n"), b"baud=9600\r\n")
                out, err = self.assert_stops_cleanly(proc)
                self.assertIn("Line rate changed from 115200 to 9600", out)
                self.assertIn("Connected: COM7<->0. EmuBoard_Port0 9600 n 8 1\n", err)

    def test_refusals_and_exit_codes(self):
        no_boards = os.path.join(self.dir, "no-boards.ini")
        pathlib.Path(no_boards).write_text("[emulation]\ndevice_limit=4\n")
        env = {k: v for k, v in self.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        for words, emulation, code, text in (
                (["COM9", "0"], None, 1,
                 "not connected (no such virtual port pair or Camera Link port)"),
                (["COM7", "5"], None, 1, "not connected"),  # the board has two ports
                ([], None, 2, "no connection given"),
                (["COM7", "0"], no_boards, 1, "Cannot find any CameraLink boards"),
                (["--list"], None, 0, "Camera Link serial ports:\n  0. EmuBoard_Port0\n"
                                      "  1. EmuBoard_Port1\nCOM ports:\n"),
                (["--list"], None, 0, "  COM7-ZADURUV7 (pair CNC7)\n")):
            with self.subTest(words=words):
                run_env = dict(env, MARO_EMULATION=emulation) if emulation else env
                result = self.run_tool("clsertolvane", "--headless", *words, env=run_env)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(text, result.stdout + result.stderr)
        # The window needs a display: without one the program says what to use.
        result = self.run_tool("clsertolvane", "COM7", "0", env=env)
        self.assertEqual(result.returncode, 2)
        self.assertIn("--headless", result.stderr)

    def test_client_that_stops_reading_ends_with_a_connection_error(self):
        self.echo_board()
        proc = self.start_connected("COM7", "0", FAST)
        # The camera echoes everything; the client never reads, so the
        # replies fill the pair until the relay's writes to COM stall.
        with open_serial(self.com(), 921600, write_timeout=0.5) as port:
            deadline = time.monotonic() + 60
            while proc.poll() is None and time.monotonic() < deadline:
                try:
                    port.write(bytes(range(256)) * 16)
                except serial.SerialTimeoutException:
                    time.sleep(0.2)
            code, out, err = self.finish(proc)
        self.assertEqual(code, 1, err)
        self.assertIn("Error writing to COM interface  error code:", out)
        self.assertIn("Connection error!", err)

    def test_sigterm_ends_it_when_the_pair_dies_under_unread_output(self):
        # Nobody reads standard output, which the echo lines have filled;
        # then the pair goes away. The relay's COM error lines wait in the
        # bounded queue like every other line, so the stop signal still works.
        self.echo_board()
        proc = self.start_connected("--echo", "COM7", "0", FAST)
        with open_serial(self.com(), 921600, timeout=10) as port:
            for _ in range(25):  # about 600 KB of echo lines
                port.write(os.urandom(4096))
                self.assertEqual(len(port.read(4096)), 4096)
            self.assertEqual(self.run_tool("clsertolvane-pairs", "remove", "CNC7").returncode, 0)
        time.sleep(0.3)  # the relay meets the end of its pair
        proc.send_signal(signal.SIGTERM)
        stopped = time.monotonic()
        self.assertIn(proc.wait(timeout=10), (0, 1))
        self.assertLess(time.monotonic() - stopped, 2)

    def test_sigterm_mid_transfer_with_unread_output(self):
        # A service whose standard output nobody reads: the echo lines pile
        # up, yet no relayed byte is lost and the stop signal still works.
        self.echo_board()
        proc = self.start_connected("--echo", "COM7", "0", FAST)
        rng = random.Random(7)
        sent = bytes(rng.randrange(256) for _ in range(300000))
        written = []
        port = open_serial(self.com(), 921600, timeout=20, write_timeout=1)

        def writer():
            try:
                for at in range(0, len(sent), 1024):
                    written.append(port.write(sent[at:at + 1024]))
            except serial.SerialException:  # the relay is gone
                pass

        thread = threading.Thread(target=writer, daemon=True)
        thread.start()
        received = port.read(30000)
        self.assertEqual(len(received), 30000)
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(timeout=20)  # while standard output is still not read
        port.timeout = 0.5
        while chunk := port.read(65536):
            received += chunk
        thread.join(10)
        port.close()
        err = self.finish(proc)[2]
        self.assertEqual(code, 0, err)
        self.assertIn("standard output is not read", err)
        self.assertLess(len(received), sum(written))  # it was stopped mid-stream
        self.assertEqual(received, sent[:len(received)])
        # Both ports were closed: a second instance takes the same pair.
        self.assert_stops_cleanly(self.start_connected("COM7", "0", FAST))


if __name__ == "__main__":
    unittest.main()
