// Where windows open: their template's size in dialog units, never beyond
// the screen's free area, cascaded by instance slot.
#include <gtest/gtest.h>

#include "ui/window_placement.h"

using namespace clst;

namespace clst {
void PrintTo(const Rect& r, std::ostream* os) {
    *os << r.width << "x" << r.height << "+" << r.x << "+" << r.y;
}
}  // namespace clst

TEST(WindowPlacement, SizedFromDialogUnitsThenKeptOnTheScreenAndCascaded) {
    // The main window's template in an 8-point font at 96 dpi (7 x 15).
    EXPECT_EQ(DialogUnitsToPixels({395, 298}, 7, 15), (Size{691, 559}));

    const Size wanted{691, 583};
    const Size least{400, 200};
    const FrameMargins frame{4, 24, 4, 4};
    const Rect wide{0, 0, 1920, 1080};
    // 1280 x 800 at scale 2, a 16-pixel panel at the bottom.
    const Rect scaled{0, 0, 640, 384};
    const struct {
        Size wanted, least;
        Rect available;
        int slot;
        Rect client;
    } cases[] = {
        {wanted, least, wide, 0, {614, 258, 691, 583}},            // centred
        {wanted, least, wide, 1, {638, 282, 691, 583}},            // a title bar lower
        {wanted, least, wide, 9, {638, 282, 691, 583}},            // round again
        {wanted, least, scaled, 0, {4, 24, 632, 356}},             // the whole screen
        {wanted, least, scaled, 1, {28, 48, 608, 332}},            // room for the first
        {wanted, least, {0, 30, 640, 354}, 0, {4, 54, 632, 326}},  // a panel on top
        {wanted, {800, 500}, scaled, 0, {4, 24, 800, 500}},        // title on the screen
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PlaceWindow(c.wanted, c.least, frame, c.available, c.slot, frame.top), c.client)
            << c.available.width << " slot " << c.slot;
    }

    // A window already placed moves only as far as its frame must.
    const struct {
        Rect client, kept;
    } placed[] = {
        {{100, 40, 400, 300}, {100, 40, 400, 300}},
        {{100, -60, 691, 583}, {4, 24, 632, 356}},  // what scale 2 showed
        {{500, 200, 300, 100}, {336, 200, 300, 100}},
        {{-50, 300, 300, 100}, {4, 280, 300, 100}},
    };
    for (const auto& p : placed)
        EXPECT_EQ(KeepInside(p.client, {100, 50}, frame, scaled), p.kept) << p.client.x;
}
