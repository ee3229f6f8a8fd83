// The frame the dialogs share: fixed in size like their templates, with a
// title and a close box but no maximise box.
#pragma once

class QDialog;

// Call once the dialog's layout is set and before it is first shown. A modal
// dialog blocks only its parent window: an application-wide block would also
// leave the tray icon and its menu dead while the dialog is open.
void UseFixedDialogFrame(QDialog& dialog, bool modal);
