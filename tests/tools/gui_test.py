#!/usr/bin/python3
"""The window program on the desktop a user has: Xvfb with a window manager
(openbox) and a system tray (trayer), driven with xdotool, read with xprop and
ImageMagick. Screenshots of the window, the tray, the about box and the port
settings go to the artifacts directory.

    gui_test.py BIN_DIR ARTIFACTS_DIR [unittest options]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase

e2e_support.take_bin_argument()
ARTIFACTS = os.path.abspath(sys.argv.pop(1))

WAIT = 30  # seconds for anything the desktop or the program has to do


def wait_for(what, condition, timeout=WAIT):
    """The first true result of `condition`, polled until `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout} s in vain for {what}")
        time.sleep(0.1)


class Desktop:
    """Xvfb on a free display with openbox and trayer: start() starts them,
    stop() ends whatever was started."""

    def __init__(self, home):
        self.procs = []
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_CACHE_HOME=os.path.join(home, "cache"),
                        XDG_RUNTIME_DIR=os.path.join(home, "runtime"))
        for name in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            self.env.pop(name, None)
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.log = open(os.path.join(home, "desktop.log"), "w")

    def start(self):
        try:
            self._start()
        except AssertionError as e:
            with open(self.log.name) as log:
                raise AssertionError(f"{e}; the desktop's output:\n{log.read()}") from None

    def _start(self):
        read_end, write_end = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()  # Xvfb writes it once it listens
        if not number:
            raise AssertionError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number
        # The tray comes first: a panel mapped while openbox is still starting
        # was at times never shown. openbox takes it over when it starts.
        self.spawn(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                    "--width", "64", "--height", "32", "--transparent", "false",
                    "--SetDockType", "true", "--expand", "false"])
        # trayer shows its panel once it holds the tray selection.
        self.panel = wait_for("the tray panel", lambda: self.visible_windows(name="^panel$"))[0]
        self.spawn(["openbox", "--sm-disable"])
        wait_for("openbox", lambda: "window id" in self.run("xprop", "-root",
                                                            "_NET_SUPPORTING_WM_CHECK"))

    def spawn(self, args, **kwargs):
        self.procs.append(subprocess.Popen(args, env=self.env, stdout=self.log,
                                           stderr=subprocess.STDOUT, **kwargs))

    def stop(self):
        for proc in reversed(self.procs):
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.log.close()

    def run(self, *args, check=False):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True,
                                errors="replace", timeout=WAIT)
        if check and result.returncode != 0:
            raise AssertionError(f"{args} failed: {result.stderr}")
        return result.stdout

    # Windows, by xdotool's search: names and classes are regular expressions.
    def visible_windows(self, name=None, classname=None):
        how = ["--name", name] if name else ["--classname", classname]
        return self.run("xdotool", "search", "--onlyvisible", *how).split()

    def prop(self, window, name, form=()):
        return self.run("xprop", "-len", "64", "-id", window, *form, name)

    def active(self):
        """The window the window manager has made active, as xdotool names it."""
        text = self.run("xprop", "-root", "_NET_ACTIVE_WINDOW")
        return str(int(text.split("#")[1].split(",")[0], 16)) if "#" in text else ""

    def geometry(self, window):
        """x, y, width, height (xdotool's are off inside a frame)."""
        info = dict(line.strip().split(": ", 1) for line in
                    self.run("xwininfo", "-id", window).split("\n") if ": " in line)
        return tuple(int(info[key]) for key in ("Absolute upper-left X",
                                                "Absolute upper-left Y", "Width", "Height"))

    def shoot(self, window, path, frame=False):
        self.run("import", "-window", window, *(["-frame"] if frame else []), path, check=True)
        return path

    def differing_pixels(self, a, b):
        result = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], env=self.env,
                                capture_output=True, text=True, timeout=WAIT)
        return float(result.stderr.split()[0])

    def key(self, window, *keys):
        """Types `keys` into `window`, also a menu that does not hold the
        keyboard yet; the caller waits for their effect. A key that closes a
        focused window makes xdotool fail before its release, and the key
        left down would repeat into the next window: so all are released."""
        self.run("xdotool", "key", "--window", window, "--delay", "60", *keys)
        self.run("xdotool", "keyup", *keys)

    def answer(self, window, *keys):
        """Types `keys` into a dialog made active first: the program takes
        keys only in the window that has the focus."""
        self.run("xdotool", "windowactivate", window)
        wait_for("the window to be active", lambda: self.active() == window)
        self.key(window, *keys)

    def click(self, x, y, button, repeat=1):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "--repeat",
                 str(repeat), "--delay", "80", str(button), check=True)


class GuiTest(E2ETestCase):
    PREFIX = "clst-gui-"

    def setUp(self):
        # The desktop goes last, after the clean-up checks of the program.
        self.home = tempfile.mkdtemp(prefix="clst-desktop-")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        self.desktop = Desktop(self.home)
        self.addCleanup(self.desktop.stop)
        self.desktop.start()
        super().setUp()
        self.env.update(self.desktop.env)
        os.makedirs(ARTIFACTS, exist_ok=True)

    def ask(self, command):
        """The reply to `command` on COM7, or b"" while nobody relays."""
        with e2e_support.open_serial(self.com(), 115200, timeout=0.5) as port:
            port.write(command)
            return port.read_until(b"\n")

    def wait_for_reply(self, proc):
        def replied():
            self.assertIsNone(proc.poll(), "the program ended early")
            return self.ask(b"id?\r").startswith(b"EMUCAM")
        wait_for("the demo camera's reply", replied)

    def menu(self, x, y, button, *keys, owner=None):
        """Opens a menu with a click and works it with `keys` (no mnemonics);
        keys for a menu bar go through its window `owner`, as one that moves
        to the next menu closes the first."""
        d = self.desktop
        before = set(d.visible_windows(classname="^clsertolvane$"))
        d.click(x, y, button)
        menu = wait_for("the menu", lambda: set(
            d.visible_windows(classname="^clsertolvane$")) - before)
        self.assertEqual(len(menu), 1, "windows shown besides the menu")
        d.key(owner or next(iter(menu)), *keys)
        wait_for("the menu to close",
                 lambda: not menu & set(d.visible_windows(classname="^clsertolvane$")))

    def tray_menu(self, icon, *keys):
        """The tray icon's menu: entries are reached from its end with Up."""
        x, y, width, height = self.desktop.geometry(icon)
        self.menu(x + width // 2, y + height // 2, 3, *keys)

    def titled(self, caption, visible=True):
        """The windows titled exactly `caption` (xdotool ignores case)."""
        d = self.desktop
        how = ["--onlyvisible"] if visible else []
        return [w for w in d.run("xdotool", "search", *how, "--name", f"^{caption}$").split()
                if f'= "{caption}"\n' in d.prop(w, "_NET_WM_NAME")]

    def dialog(self, caption):
        """The one visible window titled exactly `caption`."""
        found = wait_for(f'"{caption}"', lambda: self.titled(caption))
        self.assertEqual(len(found), 1, caption)
        return found[0]

    def assert_fixed_frame(self, window, caption):
        actions = self.desktop.prop(window, "_NET_WM_ALLOWED_ACTIONS")
        for action in ("_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ"):
            self.assertNotIn(action, actions, caption)

    def test_a_user_session_from_start_to_exit(self):
        d = self.desktop
        empty_tray = d.shoot(d.panel, os.path.join(self.home, "empty-tray.png"))
        proc = subprocess.Popen(
            [os.path.join(e2e_support.BIN, "clsertolvane"), "COM7", "0", "115200,N,8,1"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            errors="replace")
        self.procs.append(proc)
        self.wait_for_reply(proc)

        # In the tray, never shown: the only window of the program on the
        # screen is its tray icon, which is not blank.
        icon = wait_for("the tray icon", lambda: d.visible_windows(classname="^clsertolvane$"))
        self.assertEqual(len(icon), 1, "a window of the program besides the tray icon")
        icon = icon[0]
        # The window manager leaves its frame extents on every window it has
        # managed: a window shown and hidden again at once still has them.
        for window in self.titled("ClSerTolvane", visible=False):
            self.assertIn("not found", d.prop(window, "_NET_FRAME_EXTENTS"),
                          "the window was shown before it went to the tray")
        tray = os.path.join(ARTIFACTS, "tray.png")
        wait_for("an icon in the tray",
                 lambda: d.differing_pixels(empty_tray, d.shoot(d.panel, tray)) >= 100)

        # Echo on from the tray menu, then a command to see in the echo list.
        self.tray_menu(icon, "Up", "Up", "Up", "Return")
        self.wait_for_reply(proc)

        # A double click shows the window, with its icon and exact caption.
        x, y, width, height = d.geometry(icon)
        d.click(x + width // 2, y + height // 2, 1, repeat=2)
        window = self.dialog("ClSerTolvane")
        # The icon as numbers: its width and height come first.
        self.assertRegex(d.prop(window, "_NET_WM_ICON", ("-f", "_NET_WM_ICON", "32c")),
                         r"= [1-9]\d*, [1-9]\d*")
        d.shoot(window, os.path.join(ARTIFACTS, "main-window.png"), frame=True)

        # The about box from the menu bar: a click on its first title, then
        # Left wraps round to "Info", whose only entry is "About".
        x, y, _, _ = d.geometry(window)
        self.menu(x + 15, y + 8, 1, "Left", "Return", owner=window)
        about = self.dialog("About ClserTolvane")
        self.assert_fixed_frame(about, "about box")
        d.shoot(about, os.path.join(ARTIFACTS, "about.png"), frame=True)
        d.answer(about, "Escape")
        wait_for("the about box to close", lambda: not self.titled("About ClserTolvane"))

        # Port Settings from the tray; minimised, the tray brings it back:
        # the tray menu works while the dialog is open.
        self.tray_menu(icon, *["Up"] * 5, "Return")
        settings = self.dialog("Port Settings")
        self.assert_fixed_frame(settings, "port settings")
        d.shoot(settings, os.path.join(ARTIFACTS, "port-settings.png"), frame=True)
        d.run("xdotool", "windowminimize", "--sync", settings, check=True)
        self.tray_menu(icon, *["Up"] * 5, "Return")
        self.assertEqual(self.dialog("Port Settings"), settings)
        d.answer(settings, "Escape")
        wait_for("the settings to close", lambda: not self.titled("Port Settings"))

        # Exit from the tray, confirmed: the question is the dialog among
        # the windows with the default caption.
        self.tray_menu(icon, "Up", "Return")
        question = wait_for("the exit question", lambda: [
            w for w in self.titled("ClSerTolvane")
            if "DIALOG" in d.prop(w, "_NET_WM_WINDOW_TYPE")])
        d.answer(question[0], "Return")
        out, err = proc.communicate(timeout=WAIT)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(err, "")
        self.assertTrue(out.startswith("clsertolvanemutex0"), out)


if __name__ == "__main__":
    unittest.main()
