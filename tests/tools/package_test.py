#!/usr/bin/python3
# The installed program: `cmake --install` into a scratch prefix, and the
# Debian package from cpack, checked by lintian and unpacked into a scratch
# root. Both trees must run for an ordinary user with no environment set: the
# programs find their private folder (lib/clsertolvane) from their own path.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import serial

from e2e_support import ID, wait_connected

BUILD = sys.argv.pop(1)
AS_TEST_USER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/as-test-user.sh")
INSTALLED = """bin/clsertolvane bin/clsertolvane-pairs bin/clsertolvane-run
lib/clsertolvane/x86_64-linux-gnu/libclsertolvane-run.so share/man/man1/clsertolvane-run.1.gz
lib/clsertolvane/clsertolvane-pairhost
lib/clsertolvane/libMaroVirtualComPort.so lib/clsertolvane/libclsermro.so
lib/clsertolvane/libacqlib5.so lib/clsertolvane/libmaro_hal.so
share/doc/clsertolvane/examples/emulation.ini share/doc/clsertolvane/copyright
share/applications/clsertolvane.desktop share/icons/hicolor/128x128/apps/clsertolvane.png
share/man/man1/clsertolvane.1.gz share/man/man1/clsertolvane-pairs.1.gz
share/systemd/user/clsertolvane@.service share/systemd/user/clsertolvane-pair@.service""".split()

# One systemd unit's processes: the command runs below this process, which
# takes in whatever the command leaves running (a child subreaper), as the
# unit's cgroup keeps it; SIGTERM ends them all, as stopping the unit does.
UNIT = """
import ctypes, os, signal, subprocess, sys
ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER
oneshot = sys.argv[1] == "oneshot"
main = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL if oneshot else None)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
code = main.wait() if oneshot else 0
print("started" if code == 0 else "failed", flush=True)
signal.sigwait({signal.SIGTERM})
children = lambda: open(f"/proc/self/task/{os.getpid()}/children").read().split()
for pid in children():
    os.kill(int(pid), signal.SIGTERM)
while children():
    pid, status = os.wait()
    code = os.waitstatus_to_exitcode(status) if pid == main.pid else code
sys.exit(code)
"""


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clst-package-")
        os.chmod(self.dir, 0o755)  # the test user runs the trees inside
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("MARO_EMULATION", "CLSERIAL_LIBRARY", "CLSERIALPATH", "MARODIR5",
                                 "MARODIR5_64", "DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH")}
        self.env["CLSERTOLVANE_PORT_DIR"] = os.path.join(self.dir, "ports")

    # As root, installed programs and lintian run as the test user.
    def as_user(self, args, env):
        ports = env["CLSERTOLVANE_PORT_DIR"]
        return [AS_TEST_USER, "--writable", ports, *args] if os.geteuid() == 0 else list(args)

    def run_ok(self, *args, env=None, user=True):
        env = env or self.env
        result = subprocess.run(self.as_user(args, env) if user else args, env=env,
                                capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, f"{args}: {result.stdout}{result.stderr}")
        return result.stdout

    # The programs in `prefix` (installed for `installed_as`) run the way the
    # systemd user units run them, on the emulated board `board`, with a
    # private port directory: the relay's unit needs its pair's unit, and
    # stopping the relay leaves the pair and the tool on its COM port alone.
    def check_tree(self, prefix, installed_as, board):
        env = dict(self.env, CLSERTOLVANE_PORT_DIR=prefix + "-ports")
        units = os.path.join(prefix, "share/systemd/user")
        if prefix == installed_as:  # the unit's programs must be where it says
            runtime = tempfile.mkdtemp(dir=self.dir)
            verify = subprocess.run(
                ["systemd-analyze", "verify", "--user", "clsertolvane@COM3.service",
                 "clsertolvane-pair@COM3.service"], cwd=units, capture_output=True, text=True,
                env=dict(self.env, XDG_RUNTIME_DIR=runtime, MANPATH=prefix + "/share/man"))
            self.assertEqual((verify.returncode, verify.stderr), (0, ""))

        def command(name, key="ExecStart"):
            with open(os.path.join(units, name)) as f:
                unit = dict(line.split("=", 1) for line in f.read().splitlines()
                            if "=" in line and not line.startswith("#"))
            self.assertEqual(unit.get("Requires"), unit.get("After"))
            words = unit[key].replace("%i", "COM3").replace("$CLSERTOLVANE_WORDS", "0").replace(
                "$CLSERTOLVANE_OPTIONS", "--follow-baud").split()
            self.assertEqual(os.path.dirname(words[0]), os.path.join(installed_as, "bin"))
            return [os.path.join(prefix, "bin", os.path.basename(words[0]))] + words[1:]

        def start(kind, name):
            args = ["/usr/bin/python3", "-c", UNIT, kind, *command(name)]
            unit = subprocess.Popen(self.as_user(args, env), env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            self.addCleanup(unit.wait, 20)
            self.addCleanup(unit.terminate)
            self.assertEqual(unit.stdout.readline(), "started\n")
            return unit

        pair = start("oneshot", "clsertolvane-pair@.service")
        with serial.Serial(os.path.join(env["CLSERTOLVANE_PORT_DIR"], "COM3"), 115200,
                           timeout=5) as tool:
            for round in range(2):  # a relay restarted finds the pair and the tool there
                relay = start("simple", "clsertolvane@.service")
                _, err = wait_connected(relay, 20)
                self.assertIn(f"Connected: COM3<->0. {board}_Port0", err)
                tool.write(b"id?\r")
                self.assertEqual(tool.read_until(b"\n"), ID, round)
                relay.terminate()
                err += relay.communicate(timeout=20)[1]
                self.assertEqual(relay.returncode, 0, err)
        pair.terminate()
        self.assertEqual(pair.wait(20), 0)
        self.assertFalse(os.path.lexists(os.path.join(env["CLSERTOLVANE_PORT_DIR"], "COM3")))
        # clsertolvane-run finds its library: the loader has nothing to say.
        run = subprocess.run([os.path.join(prefix, "bin/clsertolvane-run"), "true"], env=env,
                             capture_output=True, text=True, timeout=30)
        self.assertEqual((run.returncode, run.stderr), (0, ""))

    # Every ELF under `tree` searches only absolute or $ORIGIN-relative
    # directories: an empty entry means the current directory.
    def assert_runpaths_safe(self, tree):
        checked = 0
        for where, _, names in os.walk(tree):
            for path in (os.path.join(where, name) for name in names):
                with open(path, "rb") as f:
                    if os.path.islink(path) or f.read(4) != b"\x7fELF":
                        continue
                checked += 1
                for line in self.run_ok("readelf", "-d", path, user=False).splitlines():
                    if "(RUNPATH)" in line or "(RPATH)" in line:
                        for entry in line.split("[", 1)[1].rsplit("]", 1)[0].split(":"):
                            self.assertTrue(entry.startswith(("/", "$ORIGIN")), f"{path}: {line}")
        self.assertGreater(checked, 0, tree)

    # A maker's installation elsewhere: copies of the emulated libraries (they
    # read the board file of the installation they sit in) for a board
    # `board`, and another maker's serial library in its clserial folder.
    def maker_installation(self, board):
        maker = os.path.join(self.dir, "maker")
        for sub, names in (("etc", ()), ("clserial", ("libclserxyz.so",)),
                           ("lib", ("libclsermro.so", "libacqlib5.so", "libmaro_hal.so"))):
            os.makedirs(os.path.join(maker, sub))
            for name in names:
                shutil.copy(os.path.join(BUILD, "lib", name), os.path.join(maker, sub))
        with open(os.path.join(maker, "etc/emulation.ini"), "w") as f:
            f.write(f"[board0]\nname={board}\nports=1\n")
        return maker

    def test_install_tree_and_debian_package(self):
        for sub in ("bin", "lib", "tests"):
            self.assert_runpaths_safe(os.path.join(BUILD, sub))
        prefix = os.path.join(self.dir, "prefix")
        self.run_ok("cmake", "--install", BUILD, "--prefix", prefix, user=False)
        for path in INSTALLED:
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        # The emulated libraries read the board file of the installation.
        os.makedirs(os.path.join(prefix, "etc"))
        with open(os.path.join(prefix, "etc/emulation.ini"), "w") as f:
            f.write("[board0]\nname=PrefixBoard\nports=1\n")

        self.run_ok("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", os.path.join(self.dir, "deb"), user=False)
        [deb] = [os.path.join(self.dir, "deb", f) for f in os.listdir(os.path.join(self.dir, "deb"))
                 if f.endswith(".deb")]
        self.assertNotRegex(self.run_ok("lintian", "--fail-on", "error,warning", deb),
                            "(?m)^[EW]:")
        depends = self.run_ok("dpkg-deb", "-f", deb, "Depends", user=False)
        for package in ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins"):
            self.assertIn(package, depends)
        root = os.path.join(self.dir, "root")
        self.run_ok("dpkg", "-x", deb, root, user=False)
        # An override comes with its reason, a comment on the line above.
        overrides = os.path.join(root, "usr/share/lintian/overrides/clsertolvane")
        lines = open(overrides).read().splitlines() if os.path.exists(overrides) else []
        for above, line in zip([""] + lines, lines):
            self.assertTrue(line.startswith("#") or above.startswith("# ") or not line, line)

        usr = os.path.join(root, "usr")
        for tree, installed_as, board in ((prefix, prefix, "PrefixBoard"), (usr, "/usr", "EmuBoard")):
            with self.subTest(tree):
                self.assert_runpaths_safe(tree)
                self.check_tree(tree, installed_as, board)
                # One version for the package and the program.
                self.assertEqual(self.run_ok(os.path.join(tree, "bin/clsertolvane"), "--version"),
                                 "clsertolvane " + self.run_ok("dpkg-deb", "-f", deb, "Version",
                                                               user=False))
        # The packaged program lists its own emulated board, or a maker's
        # named in the environment, with no package file changed.
        maker = self.maker_installation("MakerBoard")
        for extra, first in (({}, "0. EmuBoard_Port0"),
                             ({"MARODIR5_64": maker,
                               "CLSERIAL_LIBRARY": maker + "/lib/libclsermro.so"},
                              "0. MakerBoard_Port0"),
                             ({"CLSERIALPATH": maker + "/clserial"},
                              "0. XyzEmu_Port0 (MakerBoard_Port0)")):
            listed = self.run_ok(os.path.join(usr, "bin/clsertolvane"), "--list",
                                 env=dict(self.env, **extra))
            self.assertIn("Camera Link serial ports:\n  " + first + "\n", listed)


if __name__ == "__main__":
    unittest.main()
