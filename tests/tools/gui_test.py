#!/usr/bin/python3
# The window program on the desktop a user has: Xvfb with a window manager
# (openbox) and a system tray (trayer), driven with xdotool, read with xprop and
# ImageMagick. Screenshots of the window, the tray, the about box and the port
# settings (and the desktop's log) go to the artifacts directory.
#
#     gui_test.py BIN_DIR ARTIFACTS_DIR [unittest options]
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase, ID, ask

e2e_support.take_bin_argument()
ARTIFACTS = os.path.abspath(sys.argv.pop(1))
WAIT = 30  # seconds for anything the desktop or the program has to do


def wait_for(what, condition):
    """The first true result of `condition`, polled for WAIT seconds."""
    deadline = time.monotonic() + WAIT
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {WAIT} s in vain for {what}")
        time.sleep(0.1)
    return result


class GuiTest(E2ETestCase):
    MODE = ()  # the window
    def setUp(self):
        # The desktop goes last, after the clean-up checks of the program.
        home = tempfile.mkdtemp(prefix="clst-desktop-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        self.desktop = {k: v for k, v in os.environ.items() if k not in (
            "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        self.desktop.update(HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home,
                            XDG_RUNTIME_DIR=home)
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.log = open(os.path.join(ARTIFACTS, "desktop.log"), "w")
        self.addCleanup(self.log.close)
        self.desktop["DISPLAY"] = self.start_x_server()
        # The tray comes first: a panel mapped while openbox is still starting
        # was at times never shown. openbox takes it over when it starts.
        self.spawn("trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                   "--width", "64", "--height", "32", "--transparent", "false",
                   "--SetDockType", "true", "--expand", "false")
        self.panel = wait_for("the tray panel", lambda: self.windows("--name", "^panel$"))[0]
        self.spawn("openbox", "--sm-disable")
        wait_for("openbox", lambda: "window id" in self.x("xprop", "-root",
                                                          "_NET_SUPPORTING_WM_CHECK"))
        super().setUp()
        self.env.update(self.desktop)

    def spawn(self, *args, **kwargs):
        """Starts a part of the desktop, to end after the parts started later."""
        proc = subprocess.Popen(args, env=self.desktop, stdout=self.log,
                                stderr=subprocess.STDOUT, **kwargs)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        return proc

    def start_x_server(self):
        """An Xvfb on a display of its own. Other desktops may be starting on
        this machine at the same time (parallel test runs), so each try takes
        an unused display at random and the server's own lock decides."""
        for _ in range(10):
            number = random.randrange(100, 1000)
            if os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(
                    f"/tmp/.X{number}-lock"):
                continue
            # -noreset: a server whose last client leaves would start over and
            # refuse the clients that come meanwhile (the probe below is one).
            server = self.spawn("Xvfb", f":{number}", "-screen", "0", "1024x768x24",
                                "-nolisten", "tcp", "-noreset")
            deadline = time.monotonic() + WAIT
            # The socket's file comes before the server listens on it: ready
            # is when a client gets an answer.
            while server.poll() is None and time.monotonic() < deadline:
                if subprocess.run(["xprop", "-display", f":{number}", "-root", "-len", "0"],
                                  capture_output=True, timeout=WAIT).returncode == 0:
                    return f":{number}"
                time.sleep(0.05)
        raise AssertionError("no X server could be started")

    def x(self, *args):
        return subprocess.run(args, env=self.desktop, capture_output=True, text=True,
                              errors="replace", timeout=WAIT).stdout

    def windows(self, *how):
        """The visible windows found by xdotool (names are regular expressions)."""
        return self.x("xdotool", "search", "--onlyvisible", *how).split()

    def prop(self, window, *name):
        return self.x("xprop", "-len", "64", "-id", window, *name)

    def shoot(self, window, name):
        path = os.path.join(ARTIFACTS, name)
        self.assertEqual(subprocess.run(["import", "-window", window, "-frame", path],
                                        env=self.desktop, timeout=WAIT).returncode, 0)
        return path

    def colours(self, path):
        return int(self.x("convert", path, "-format", "%k", "info:"))

    def click(self, window, button, repeat=1, at=("10", "10")):
        """Clicks at `at` in `window`: into a tray icon, or on a menu bar's first title."""
        self.x("xdotool", "mousemove", "--window", window, *at, "click", "--repeat", str(repeat),
               "--delay", "80", str(button))

    # Types `keys` into `window`, also a menu that does not hold the keyboard
    # yet; a dialog is made active first, as the program takes keys only in
    # the window that has the focus. A key that closes a window makes xdotool
    # fail before its release, and the key left down would repeat into the
    # next window: so all are released.
    def key(self, window, *keys, activate=False):
        if activate:
            self.x("xdotool", "windowactivate", "--sync", window)
        self.x("xdotool", "key", "--window", window, "--delay", "60", *keys)
        self.x("xdotool", "keyup", *keys)

    # Opens a menu with a click and works it with `keys` (no mnemonics); keys
    # for a menu bar go through its window `owner`, as one that moves to the
    # next menu closes the first. Besides the menu, a tooltip or an unnamed
    # helper window of Qt's may show; a window with a title may not.
    def menu(self, window, button, *keys, owner=None, at=("10", "10")):
        before = set(self.windows("--classname", "^clsertolvane$"))
        self.click(window, button, at=at)

        def shown():
            new = set(self.windows("--classname", "^clsertolvane$")) - before
            menu = set(filter(self.is_menu, new))
            return (menu, new - menu) if menu else None
        menu, others = wait_for("the menu", shown)
        props = [self.prop(w, "WM_NAME", "_NET_WM_WINDOW_TYPE") for w in others]
        titled = [p for p in props if '"' in p.splitlines()[0]]  # WM_NAME comes first
        self.assertEqual((len(menu), titled), (1, []),
                         "windows shown besides the menu: " + "; ".join(props))
        self.key(owner or next(iter(menu)), *keys)
        wait_for("the menu to close", lambda: not menu & set(
            self.windows("--classname", "^clsertolvane$")))

    def is_menu(self, window):
        """Menus and tooltips bypass the window manager; tooltips say what they are."""
        return ("Override Redirect State: yes" in self.x("xwininfo", "-id", window, "-all")
                and "TOOLTIP" not in self.prop(window, "_NET_WM_WINDOW_TYPE"))

    def titled(self, caption, *visible):
        """The windows titled exactly `caption` (xdotool ignores case)."""
        return [w for w in self.x("xdotool", "search", *visible, "--name", f"^{caption}$").split()
                if f'= "{caption}"\n' in self.prop(w, "_NET_WM_NAME")]

    def dialog(self, caption):
        """The one visible window titled exactly `caption`, its frame fixed."""
        found = wait_for(f'"{caption}"', lambda: self.titled(caption, "--onlyvisible"))
        self.assertEqual(len(found), 1, caption)
        if caption != "ClSerTolvane":
            actions = self.prop(found[0], "_NET_WM_ALLOWED_ACTIONS")
            self.assertNotIn("_NET_WM_ACTION_RESIZE", actions, caption)
            self.assertNotIn("_NET_WM_ACTION_MAXIMIZE_HORZ", actions, caption)
        return found[0]

    def close(self, window, caption):
        self.key(window, "Escape", activate=True)
        wait_for(f'"{caption}" to close', lambda: not self.titled(caption, "--onlyvisible"))

    def test_a_user_session_from_start_to_exit(self):
        # The empty tray is all one colour.
        self.assertEqual(self.colours(self.shoot(self.panel, "empty-tray.png")), 1)
        proc = self.start("COM7", "0", "115200,N,8,1")
        wait_for("the demo camera's reply", lambda: ask(self.com(), timeout=0.5) == ID)

        # In the tray, never shown: the only window of the program on the
        # screen is its tray icon, which is not blank.
        icon = wait_for("the tray icon", lambda: self.windows("--classname", "^clsertolvane$"))
        self.assertEqual(len(icon), 1, "a window of the program besides the tray icon")
        icon = icon[0]
        # The window manager leaves its frame extents on every window it has
        # managed: a window shown and hidden again at once still has them.
        for window in self.titled("ClSerTolvane"):
            self.assertIn("not found", self.prop(window, "_NET_FRAME_EXTENTS"),
                          "the window was shown before it went to the tray")
        wait_for("an icon in the tray",
                 lambda: self.colours(self.shoot(self.panel, "tray.png")) > 8)

        # Echo on from the tray menu, then a command to see in the echo list.
        self.menu(icon, 3, "Up", "Up", "Up", "Return")
        wait_for("the demo camera's reply", lambda: ask(self.com(), timeout=0.5) == ID)

        # A double click shows the window, with its icon and exact caption.
        self.click(icon, 1, repeat=2)
        window = self.dialog("ClSerTolvane")
        # The icon as numbers: its width and height come first.
        self.assertRegex(self.prop(window, "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"),
                         r"= [1-9]\d*, [1-9]\d*")
        self.shoot(window, "main-window.png")

        # The about box from the menu bar: a click on its first title, then
        # Left wraps round to "Info", whose only entry is "About".
        self.menu(window, 1, "Left", "Return", owner=window, at=("15", "8"))
        about = self.dialog("About ClserTolvane")
        self.shoot(about, "about.png")
        self.close(about, "About ClserTolvane")

        # Port Settings from the tray; minimised, the tray brings it back:
        # the tray menu works while the dialog is open.
        self.menu(icon, 3, *["Up"] * 5, "Return")
        settings = self.dialog("Port Settings")
        self.shoot(settings, "port-settings.png")
        self.x("xdotool", "windowminimize", "--sync", settings)
        self.menu(icon, 3, *["Up"] * 5, "Return")
        self.assertEqual(self.dialog("Port Settings"), settings)
        self.close(settings, "Port Settings")

        # Exit from the tray, confirmed: the question is the dialog among
        # the windows with the default caption.
        self.menu(icon, 3, "Up", "Return")
        question = wait_for("the exit question", lambda: [
            w for w in self.titled("ClSerTolvane", "--onlyvisible")
            if "DIALOG" in self.prop(w, "_NET_WM_WINDOW_TYPE")])
        self.key(question[0], "Return", activate=True)
        code, out, err = self.finish(proc)
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.startswith("clsertolvanemutex0"), out)


if __name__ == "__main__":
    unittest.main()
