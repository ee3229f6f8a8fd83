#!/usr/bin/python3
# The installed program: `cmake --install` into a scratch prefix, and the
# Debian package from cpack unpacked into a scratch root. Both trees must run
# with no environment set: the program finds its libraries and the pair host
# from its own path.
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from e2e_support import wait_connected

BUILD = sys.argv.pop(1)
INSTALLED = """bin/clsertolvane bin/clsertolvane-pairs bin/clsertolvane-pairhost bin/clsertolvane-run
lib/clsertolvane/x86_64-linux-gnu/libclsertolvane-run.so share/man/man1/clsertolvane-run.1
lib/libMaroVirtualComPort.so lib/libclsermro-emulated.so lib/libacqlib5-emulated.so
lib/libmaro_hal-emulated.so etc/emulation.ini etc/ser2net-clsertolvane.yaml
share/applications/clsertolvane.desktop share/icons/hicolor/128x128/apps/clsertolvane.png
share/man/man1/clsertolvane.1 share/man/man1/clsertolvane-pairs.1
share/systemd/user/clsertolvane@.service""".split()


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="clst-package-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("MARO_EMULATION", "CLSERIAL_LIBRARY", "MARODIR5", "MARODIR5_64",
                                 "DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH")}

    def run_ok(self, *args, env=None):
        result = subprocess.run(args, env=env or self.env, capture_output=True, text=True,
                                timeout=300)
        self.assertEqual(result.returncode, 0, f"{args}: {result.stdout}{result.stderr}")
        return result.stdout

    # The programs in `prefix` (installed for `installed_as`) run the way the
    # systemd user unit runs them, with a private port directory.
    def check_tree(self, prefix, installed_as):
        env = dict(self.env, CLSERTOLVANE_PORT_DIR=prefix + "-ports")
        with open(os.path.join(prefix, "share/systemd/user/clsertolvane@.service")) as f:
            unit = dict(line.split("=", 1) for line in f.read().splitlines()
                        if "=" in line and not line.startswith("#"))

        def command(key):
            words = unit[key].replace("%i", "COM3").replace("$CLSERTOLVANE_WORDS", "0").replace(
                "$CLSERTOLVANE_OPTIONS", "--follow-baud").split()
            self.assertEqual(os.path.dirname(words[0]), os.path.join(installed_as, "bin"))
            return [os.path.join(prefix, "bin", os.path.basename(words[0]))] + words[1:]

        # The unit installs its pair when missing (needs the installed pair
        # host), and starting it again finds the pair there.
        self.run_ok(*command("ExecStartPre"), env=env)
        self.addCleanup(self.run_ok, os.path.join(prefix, "bin/clsertolvane-pairs"), "remove",
                        "CNC3", env=env)
        self.assertIn("CNC3", self.run_ok(*command("ExecStartPre"), env=env))
        # The emulated board through the installed runtime and serial library.
        proc = subprocess.Popen(command("ExecStart"), env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        _, err = wait_connected(proc, 20)
        proc.terminate()
        err += proc.communicate(timeout=20)[1]
        self.assertIn("Connected: COM3<->0. EmuBoard_Port0", err)
        self.assertEqual(proc.returncode, 0, err)
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
                for line in self.run_ok("readelf", "-d", path).splitlines():
                    if "(RUNPATH)" in line or "(RPATH)" in line:
                        for entry in line.split("[", 1)[1].rsplit("]", 1)[0].split(":"):
                            self.assertTrue(entry.startswith(("/", "$ORIGIN")), f"{path}: {line}")
        self.assertGreater(checked, 0, tree)

    def test_install_tree_and_debian_package(self):
        for sub in ("bin", "lib", "tests"):
            self.assert_runpaths_safe(os.path.join(BUILD, sub))
        prefix = os.path.join(self.dir, "prefix")
        self.run_ok("cmake", "--install", BUILD, "--prefix", prefix)
        for path in INSTALLED:
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        for name in ("clsermro", "acqlib5", "maro_hal"):
            self.assertEqual(os.readlink(os.path.join(prefix, "lib", f"lib{name}.so")),
                             f"lib{name}-emulated.so")

        self.run_ok("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", os.path.join(self.dir, "deb"))
        [deb] = [os.path.join(self.dir, "deb", f) for f in os.listdir(os.path.join(self.dir, "deb"))
                 if f.endswith(".deb")]
        depends = self.run_ok("dpkg-deb", "-f", deb, "Depends")
        for package in ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins"):
            self.assertIn(package, depends)
        root = os.path.join(self.dir, "root")
        self.run_ok("dpkg", "-x", deb, root)
        for tree, installed_as in ((prefix, prefix), (os.path.join(root, "usr"), "/usr")):
            with self.subTest(tree):
                self.assert_runpaths_safe(tree)
                self.check_tree(tree, installed_as)
                # One version for the package and the program.
                self.assertEqual(self.run_ok(os.path.join(tree, "bin/clsertolvane"), "--version"),
                                 "clsertolvane " + self.run_ok("dpkg-deb", "-f", deb, "Version"))


if __name__ == "__main__":
    unittest.main()
