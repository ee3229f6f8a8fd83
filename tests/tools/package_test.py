#!/usr/bin/python3
"""The installed program: `cmake --install` into a scratch prefix, and the
Debian package from cpack unpacked into a scratch root. Both trees must run
with no environment set: the program finds its libraries and the pair host
from its own path."""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = sys.argv.pop(1)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="clst-package-")
        cls.env = {k: v for k, v in os.environ.items()
                   if k not in ("MARO_EMULATION", "CLSERIAL_LIBRARY", "MARODIR5", "MARODIR5_64",
                                "DISPLAY", "WAYLAND_DISPLAY", "LD_LIBRARY_PATH")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_ok(self, *args, env=None, timeout=120):
        result = subprocess.run(args, env=env or self.env, capture_output=True, text=True,
                                timeout=timeout)
        self.assertEqual(result.returncode, 0, f"{args}: {result.stdout}{result.stderr}")
        return result.stdout

    def check_tree(self, prefix, installed_as=None):
        """The installed programs, run from `prefix` (installed for
        `installed_as`, default `prefix`) with a private port directory, the
        way the systemd user unit runs them."""
        ports = os.path.join(prefix, "..", "ports-" + os.path.basename(prefix))
        env = dict(self.env, CLSERTOLVANE_PORT_DIR=os.path.abspath(ports))
        bin_dir = os.path.join(prefix, "bin")
        version = self.run_ok(os.path.join(bin_dir, "clsertolvane"), "--version")
        self.assertRegex(version, r"^clsertolvane \d+\.\d+\.\d+\n$")
        pairs = os.path.join(bin_dir, "clsertolvane-pairs")
        self.run_ok(pairs, "list", env=env)

        with open(os.path.join(prefix, "share/systemd/user/clsertolvane@.service")) as f:
            unit = dict(line.split("=", 1) for line in f.read().splitlines()
                        if "=" in line and not line.startswith("#"))
        installed_bin = os.path.join(installed_as or prefix, "bin") + "/"

        def command(key):
            words = unit[key].replace("%i", "COM3").replace("$CLSERTOLVANE_WORDS", "0").replace(
                "$CLSERTOLVANE_OPTIONS", "--follow-baud").split()
            self.assertTrue(words[0].startswith(installed_bin), unit[key])
            return [os.path.join(bin_dir, words[0][len(installed_bin):])] + words[1:]

        # The unit installs its pair when missing (needs the installed pair
        # host), and starting it again finds the pair there.
        self.run_ok(*command("ExecStartPre"), env=env)
        try:
            self.assertIn("CNC3", self.run_ok(*command("ExecStartPre"), env=env))
            # The emulated board through the installed runtime and serial library.
            proc = subprocess.Popen(command("ExecStart"), env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            err = ""
            deadline = time.time() + 10
            while "Connected:" not in err and time.time() < deadline and proc.poll() is None:
                if select.select([proc.stderr], [], [], 0.2)[0]:
                    err += proc.stderr.readline()
            proc.send_signal(signal.SIGTERM)
            _, rest = proc.communicate(timeout=10)
            self.assertIn("Connected: COM3<->0. EmuBoard_Port0", err, err + rest)
            self.assertEqual(proc.returncode, 0)
        finally:
            self.run_ok(pairs, "remove", "CNC3", env=env)

    def assert_runpaths_safe(self, tree):
        """Every ELF under `tree` searches only absolute or $ORIGIN-relative
        directories: an empty entry means the current directory."""
        checked = 0
        for where, _, names in os.walk(tree):
            for name in names:
                path = os.path.join(where, name)
                with open(path, "rb") as f:
                    if os.path.islink(path) or f.read(4) != b"\x7fELF":
                        continue
                dynamic = self.run_ok("readelf", "-d", path)
                for line in dynamic.splitlines():
                    if "(RUNPATH)" in line or "(RPATH)" in line:
                        value = line.split("[", 1)[1].rsplit("]", 1)[0]
                        for entry in value.split(":"):
                            self.assertTrue(entry.startswith(("/", "$ORIGIN")),
                                            f"{path}: {value!r}")
                checked += 1
        self.assertGreater(checked, 0, tree)

    def test_build_tree_runpaths(self):
        for sub in ("bin", "lib", "tests"):
            self.assert_runpaths_safe(os.path.join(BUILD, sub))

    def test_install_tree(self):
        prefix = os.path.join(self.dir, "prefix")
        self.run_ok("cmake", "--install", BUILD, "--prefix", prefix)
        for path in ("bin/clsertolvane", "bin/clsertolvane-pairs", "bin/clsertolvane-pairhost",
                     "lib/libMaroVirtualComPort.so", "lib/libclsermro-emulated.so",
                     "lib/libacqlib5-emulated.so", "lib/libmaro_hal-emulated.so",
                     "etc/emulation.ini", "etc/ser2net-clsertolvane.yaml",
                     "share/applications/clsertolvane.desktop",
                     "share/icons/hicolor/128x128/apps/clsertolvane.png",
                     "share/man/man1/clsertolvane.1", "share/man/man1/clsertolvane-pairs.1",
                     "share/systemd/user/clsertolvane@.service"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        for name in ("clsermro", "acqlib5", "maro_hal"):
            link = os.path.join(prefix, "lib", f"lib{name}.so")
            self.assertEqual(os.readlink(link), f"lib{name}-emulated.so")
        self.assert_runpaths_safe(prefix)
        self.check_tree(prefix)

    def test_debian_package(self):
        out = os.path.join(self.dir, "deb")
        self.run_ok("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", out, timeout=300)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(out))
        deb = os.path.join(out, debs[0])
        depends = self.run_ok("dpkg-deb", "-f", deb, "Depends")
        for package in ("libqt6widgets6", "libqt6gui6", "libqt6core6", "qt6-qpa-plugins"):
            self.assertIn(package, depends)
        version = self.run_ok("dpkg-deb", "-f", deb, "Version").strip()
        root = os.path.join(self.dir, "root")
        self.run_ok("dpkg", "-x", deb, root)
        self.check_tree(os.path.join(root, "usr"), installed_as="/usr")
        # One version for the package and the program.
        self.assertEqual(self.run_ok(os.path.join(root, "usr/bin/clsertolvane"), "--version"),
                         f"clsertolvane {version}\n")


if __name__ == "__main__":
    unittest.main()
