#include "ui/window_placement.h"

#include <algorithm>

namespace clst {

Size DialogUnitsToPixels(Size units, int baseX, int baseY) {
    // MulDiv rounds to the nearest pixel.
    return {(units.width * baseX + 2) / 4, (units.height * baseY + 4) / 8};
}

namespace {

// Along one axis: the client's length and the frame's start.
struct Span {
    int length;
    int start;
};

Span PlaceSpan(int wanted, int minimum, int before, int after, int start, int room, int offset) {
    const int free = room - before - after - offset;
    const int length = std::max(minimum, std::min(wanted, free));
    const int outer = length + before + after;
    // Centred as the first instance would be, then moved by the offset,
    // then pulled back onto the screen.
    int at = start + (room - outer) / 2 + offset;
    at = std::min(at, start + room - outer);
    at = std::max(at, start);
    return {length, at};
}

}  // namespace

Rect PlaceWindow(Size wanted, Size minimum, FrameMargins frame, Rect available, int slot,
                 int step) {
    const int offset = std::max(0, step) * (std::max(0, slot) % kCascadeSteps);
    const Span x = PlaceSpan(wanted.width, minimum.width, frame.left, frame.right, available.x,
                             available.width, offset);
    const Span y = PlaceSpan(wanted.height, minimum.height, frame.top, frame.bottom, available.y,
                             available.height, offset);
    return {x.start + frame.left, y.start + frame.top, x.length, y.length};
}

namespace {

Span KeepSpanInside(int at, int length, int minimum, int before, int after, int start, int room) {
    length = std::max(minimum, std::min(length, room - before - after));
    const int outer = length + before + after;
    int frameAt = at - before;
    frameAt = std::min(frameAt, start + room - outer);
    frameAt = std::max(frameAt, start);
    return {length, frameAt + before};
}

}  // namespace

Rect KeepInside(Rect client, Size minimum, FrameMargins frame, Rect available) {
    const Span x = KeepSpanInside(client.x, client.width, minimum.width, frame.left, frame.right,
                                  available.x, available.width);
    const Span y = KeepSpanInside(client.y, client.height, minimum.height, frame.top, frame.bottom,
                                  available.y, available.height);
    return {x.start, y.start, x.length, y.length};
}

}  // namespace clst
