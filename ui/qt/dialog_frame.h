// The frame the dialogs share, and keeping every window of the program on
// its screen: sized as its template says, but never larger than the screen's
// free area, and with title, menu and buttons on the screen at any scale.
#pragma once

#include "ui/window_placement.h"

class QDialog;
class QWidget;

// Fixed in size like the dialog templates, with a title and a close box but
// no maximise box; kept on the screen (KeepFrameOnScreen) whenever shown.
// Call once the dialog's layout is set and before it is first shown. A modal
// dialog blocks only its parent window: an application-wide block would also
// leave the tray icon and its menu dead while the dialog is open.
void UseFixedDialogFrame(QDialog& dialog, bool modal);

// The window manager's frame around `window`: the real one once it has been
// framed, before that an estimate that errs on the large side.
clst::FrameMargins FrameOf(const QWidget& window);
bool FrameKnown(const QWidget& window);
// The free area of the screen `window` is on (without panels).
clst::Rect AvailableArea(const QWidget& window);

// Gives top-level `window` the client size `wanted`, or less where the
// screen is smaller, at the place of instance slot `slot` (PlaceWindow).
void PlaceOnScreen(QWidget& window, clst::Size wanted, int slot);
// Moves a shown window whose frame reaches beyond its screen back onto it,
// smaller where it must be and can be. True when it moved.
bool KeepFrameOnScreen(QWidget& window);
