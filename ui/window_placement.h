// Where a window opens and how large, free of any toolkit: sized in dialog
// units as its template says, then limited to the screen's available area so
// that title, menu and status bar stay on the screen at any scale, and, for a
// second instance, moved down and right so that both can be seen.
#pragma once

#include <cstdint>

namespace clst {

struct Size {
    int width = 0;
    int height = 0;

    bool operator==(const Size&) const = default;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const Rect&) const = default;
};

// The window manager's frame around a window's client area.
struct FrameMargins {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// A dialog unit as Windows converts a template: a quarter of the font's
// average character width across, an eighth of its height down. `baseX` is
// that average width, `baseY` the font's height, in pixels.
Size DialogUnitsToPixels(Size units, int baseX, int baseY);

// Instances cascade in this many steps, then start again at the first place.
inline constexpr int kCascadeSteps = 8;

// The client area of a window that wants `wanted` and needs at least
// `minimum`, framed by `frame`, on a screen whose free area is `available`.
// Instance slot `slot` sits slot * `step` pixels right of and below the
// first instance's place (modulo kCascadeSteps); the client area shrinks to
// leave that room where the screen is small. The frame stays inside
// `available`, except where `minimum` itself does not fit: then its top
// left corner, with the title, is kept on the screen.
Rect PlaceWindow(Size wanted, Size minimum, FrameMargins frame, Rect available, int slot = 0,
                 int step = 0);

// The client area `client` of a window already placed, moved as little as
// it takes to bring its frame inside `available`, and made smaller (not
// below `minimum`) where it is larger than that; unchanged when it fits.
Rect KeepInside(Rect client, Size minimum, FrameMargins frame, Rect available);

}  // namespace clst
