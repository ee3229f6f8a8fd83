#!/usr/bin/python3
# The window program on the desktop a user has: Xvfb with a window manager
# (openbox) and a system tray (trayer), driven with xdotool, read with xprop and
# ImageMagick, at scale 1 and at QT_SCALE_FACTOR=2 on small screens. Every
# window's frame must lie inside the screen's work area. Screenshots of the
# window, the tray, the dialogs, the echo list at work and the scaled desktops
# (and the desktop's log) go to the artifacts directory.
#
#     gui_test.py BIN_DIR ARTIFACTS_DIR [unittest options]
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import e2e_support
from e2e_support import E2ETestCase, ID, ask, open_serial

e2e_support.take_bin_argument()
ARTIFACTS = os.path.abspath(sys.argv.pop(1))
WAIT = 30  # seconds for anything the desktop or the program has to do


def wait_for(what, condition):
    return e2e_support.wait_for(what, condition, WAIT)


class Desktop(E2ETestCase):
    MODE = ()  # the window
    SCREEN = "1024x768"
    SCALE = None  # QT_SCALE_FACTOR for the program

    def setUp(self):
        # The desktop goes last, after the clean-up checks of the program.
        home = tempfile.mkdtemp(prefix="clst-desktop-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        self.desktop = {k: v for k, v in os.environ.items() if k not in (
            "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        self.desktop.update(HOME=home, XDG_CONFIG_HOME=home, XDG_CACHE_HOME=home,
                            XDG_RUNTIME_DIR=home)
        if self.SCALE:
            self.desktop["QT_SCALE_FACTOR"] = self.SCALE
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

    def spawn(self, *args):
        """Starts a part of the desktop, to end after the parts started later."""
        return self.background(args, env=self.desktop, stdout=self.log, stderr=subprocess.STDOUT)

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
            server = self.spawn("Xvfb", f":{number}", "-screen", "0", f"{self.SCREEN}x24",
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
        self.assertEqual((len(menu), titled), (1, []), "windows shown besides the menu: " +
                         "; ".join(props + [self.x("xdotool", "getwindowgeometry", w)
                                            for w in menu if len(menu) > 1]))
        self.key(owner or next(iter(menu)), *keys)
        wait_for("the menu to close", lambda: not menu & set(
            self.windows("--classname", "^clsertolvane$")))

    def is_menu(self, window):
        """Menus and tooltips bypass the window manager; tooltips say what they
        are. So does a small unnamed helper window that Qt maps beside the
        tray icon now and then (22 x 30 here): no menu is that small."""
        info = self.x("xwininfo", "-id", window, "-all")
        size = [int(re.search(rf"{side}: +(\d+)", info).group(1)) for side in ("Width", "Height")]
        return ("Override Redirect State: yes" in info and min(size) >= 40
                and "TOOLTIP" not in self.prop(window, "_NET_WM_WINDOW_TYPE"))

    def titled(self, caption, *visible):
        """The windows titled exactly `caption` (xdotool ignores case)."""
        return [w for w in self.x("xdotool", "search", *visible, "--name", f"^{caption}$").split()
                if f'= "{caption}"\n' in self.prop(w, "_NET_WM_NAME")]

    def dialog(self, caption):
        """The one visible window titled exactly `caption`, its frame fixed
        (but the main window's) and inside the screen's work area."""
        found = wait_for(f'"{caption}"', lambda: self.titled(caption, "--onlyvisible"))
        self.assertEqual(len(found), 1, caption)
        if caption != "ClSerTolvane":
            actions = self.prop(found[0], "_NET_WM_ALLOWED_ACTIONS")
            self.assertNotIn("_NET_WM_ACTION_RESIZE", actions, caption)
            self.assertNotIn("_NET_WM_ACTION_MAXIMIZE_HORZ", actions, caption)
        self.assert_inside(found[0], caption)
        return found[0]

    def frame(self, window):
        """(x, y, width, height) of the window with its frame; None until
        the window manager has framed it."""
        info = self.x("xwininfo", "-id", window)
        x, y, w, h = (int(re.search(rf"{key}:\s+(-?\d+)", info)[1]) for key in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        extents = re.search(r"= (\d+), (\d+), (\d+), (\d+)",
                            self.prop(window, "_NET_FRAME_EXTENTS"))
        if not extents:
            return None
        left, right, top, bottom = map(int, extents.groups())
        return x - left, y - top, w + left + right, h + top + bottom

    def workarea(self):
        """The screen without the tray panel, as the window manager says."""
        return tuple(map(int, re.search(r"= (\d+), (\d+), (\d+), (\d+)", self.x(
            "xprop", "-root", "_NET_WORKAREA")).groups()))

    def assert_inside(self, window, what):
        def inside():
            f, a = self.frame(window), self.workarea()
            return f and a[0] <= f[0] and a[1] <= f[1] and f[0] + f[2] <= a[0] + a[2] and \
                f[1] + f[3] <= a[1] + a[3]
        try:
            wait_for(f"{what} inside the screen", inside)
        except AssertionError:
            self.fail(f"{what}: frame {self.frame(window)}, work area {self.workarea()}")

    def close(self, window, caption):
        self.key(window, "Escape", activate=True)
        wait_for(f'"{caption}" to close', lambda: not self.titled(caption, "--onlyvisible"))

    def tray_icon(self):
        """The program's tray icon, once it shows in the tray."""
        icon = wait_for("the tray icon", lambda: self.windows("--classname", "^clsertolvane$"))
        self.assertEqual(len(icon), 1, "a window of the program besides the tray icon")
        wait_for("an icon in the tray",
                 lambda: self.colours(self.shoot(self.panel, "tray.png")) > 8)
        return icon[0]

    def exit_question(self):
        question = wait_for("the exit question", lambda: [
            w for w in self.titled("ClSerTolvane", "--onlyvisible")
            if "DIALOG" in self.prop(w, "_NET_WM_WINDOW_TYPE")])[0]
        self.assert_inside(question, "the exit question")
        return question

    def exit_from_menu(self, window, proc):
        """Port, then Exit (the last entry), confirmed."""
        self.menu(window, 1, "Up", "Return", owner=window, at=("15", "8"))
        self.key(self.exit_question(), "Return", activate=True)
        code, _, err = self.finish(proc)
        self.assertEqual((code, err), (0, ""))


class GuiTest(Desktop):
    def test_a_user_session_from_start_to_exit(self):
        # The empty tray is all one colour.
        self.assertEqual(self.colours(self.shoot(self.panel, "empty-tray.png")), 1)
        proc = self.start("COM7", "0", "115200,N,8,1")
        wait_for("the demo camera's reply", lambda: ask(self.com(), timeout=0.5) == ID)

        # In the tray, never shown: the only window of the program on the
        # screen is its tray icon, which is not blank.
        icon = self.tray_icon()
        # The window manager leaves its frame extents on every window it has
        # managed: a window shown and hidden again at once still has them.
        for window in self.titled("ClSerTolvane"):
            self.assertIn("not found", self.prop(window, "_NET_FRAME_EXTENTS"),
                          "the window was shown before it went to the tray")

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
        self.key(self.exit_question(), "Return", activate=True)
        code, out, err = self.finish(proc)
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.startswith("clsertolvanemutex0"), out)


    def region(self, path, box):
        """The pixels of `box` (x, y, width, height) in a screenshot."""
        return hashlib.sha1(subprocess.run(
            ["convert", path, "-crop", "%dx%d+%d+%d" % (box[2], box[3], box[0], box[1]), "+repage",
             "rgb:-"],
            capture_output=True, timeout=WAIT).stdout).hexdigest()

    def echo_list(self, window, name):
        """Once screenshots have agreed for half a second (a busy machine
        may hold the window's thread up): (the rows of the echo list, its
        vertical scroll bar), as digests of their pixels."""
        path = os.path.join(ARTIFACTS, name)
        previous, since = None, 0

        def settled():
            nonlocal previous, since
            subprocess.run(["import", "-window", window, path], env=self.desktop, timeout=WAIT)
            width, height = map(int, self.x("identify", "-format", "%w %h", path).split())
            # Below the menu bar, above the status bar and the lower scroll bar.
            top, rows = height // 10, height * 7 // 10
            shot = (self.region(path, (0, top, width - 40, rows)),
                    self.region(path, (width - 30, top, 30, rows)))
            if shot != previous:
                previous, since = shot, time.monotonic()
            return shot if time.monotonic() - since >= 0.5 else None
        return wait_for(f"the echo list to settle ({name})", settled)

    def queries(self, first, count):
        """`count` numbered queries that the echoing camera sends back."""
        with open_serial(self.com(), 115200, timeout=5) as port:
            for n in range(first, first + count):
                port.write(b"q%03d\n" % n)
                self.assertEqual(port.read_until(b"\n"), b"q%03d\n" % n)

    def test_the_echo_list_follows_the_end_and_stays_while_scrolled_up(self):
        self.echo_board()
        proc = self.start("COM7", "0", "115200,N,8,1")
        wait_for("the camera's echo", lambda: ask(self.com(), b"q\n", timeout=0.5) == b"q\n")
        icon = self.tray_icon()
        self.menu(icon, 3, "Up", "Up", "Up", "Return")  # Echo on
        self.click(icon, 1, repeat=2)
        window = self.dialog("ClSerTolvane")

        # Each query adds four rows; the newest are in view after every one.
        self.queries(0, 300)
        following = self.echo_list(window, "echo-following.png")
        self.key(window, "End", activate=True)
        self.assertEqual(self.echo_list(window, "echo-end.png"), following,
                         "after 300 queries the list was not at its end")

        # Scrolled up, the list holds its rows while more come in; only the
        # scroll bar shows them.
        self.key(window, "Prior", "Prior", activate=True)
        reading = self.echo_list(window, "echo-scrolled-up.png")
        self.assertNotEqual(reading[0], following[0])
        self.queries(300, 20)
        later = wait_for("the scroll bar to show the new rows", lambda: (
            shot := self.echo_list(window, "echo-still-scrolled-up.png"))[1] != reading[1] and shot)
        self.assertEqual(later[0], reading[0], "the list moved while the user read")

        # At the end again, it follows again.
        self.key(window, "End", activate=True)
        self.queries(320, 5)
        ended = self.echo_list(window, "echo-following-again.png")
        self.assertNotEqual(ended[0], following[0])
        self.key(window, "End", activate=True)
        self.assertEqual(self.echo_list(window, "echo-following-again.png"), ended)
        self.exit_from_menu(window, proc)


class ScaledGuiTest(Desktop):
    """At scale 2 on a 1280 x 800 screen (the sibling: 1024 x 768)."""
    SCREEN = "1280x800"
    SCALE = "2"

    def test_windows_fit_the_screen_and_a_second_instance_cascades(self):
        first = self.start()
        window = self.dialog("ClSerTolvane")
        size = self.SCREEN
        self.shoot("root", f"scale2-{size}-main-window.png")
        # Settings: Port Settings, then Virtual COM Port Management; Info:
        # About. Each inside the screen (dialog() checks), then closed.
        for keys, caption, name in ((("Right", "Right", "Return"), "Port Settings", "port-settings"),
                                    (("Right", "Right", "Down", "Return"), "Virtual COM Port",
                                     "virtual-ports"),
                                    (("Left", "Return"), "About ClserTolvane", "about")):
            self.menu(window, 1, *keys, owner=window, at=("15", "8"))
            dialog = self.dialog(caption)
            # Centred over the main window, as far as the screen allows.
            (x, y, w, h), (mx, my, mw, mh) = self.frame(dialog), self.frame(window)
            self.assertLess(abs((2 * x + w) - (2 * mx + mw)), 80, caption)
            self.shoot("root", f"scale2-{size}-{name}.png")
            self.close(dialog, caption)

        # A second instance opens lower and further right, on the screen too.
        second = self.start()
        others = wait_for("the second window", lambda: [
            w for w in self.titled("ClSerTolvane", "--onlyvisible") if w != window])
        self.assert_inside(others[0], "the second window")
        (x1, y1, _, _), (x2, y2, _, _) = self.frame(window), self.frame(others[0])
        self.assertTrue(x2 > x1 and y2 > y1, f"first at {x1},{y1}, second at {x2},{y2}")
        self.shoot("root", f"scale2-{size}-two-instances.png")
        self.exit_from_menu(others[0], second)
        self.exit_from_menu(window, first)


class SmallScaledGuiTest(ScaledGuiTest):
    SCREEN = "1024x768"


if __name__ == "__main__":
    unittest.main()
