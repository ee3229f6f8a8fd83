// Message boxes for the window: MessageSink on QMessageBox.
#pragma once

#include <string>

#include "connections/message_sink.h"

class QWidget;

namespace clst {

// The title a message box gets when its caption is empty.
inline constexpr const char* kDefaultCaption = "ClSerTolvane";

class QtMessageBox : public MessageSink {
  public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    // Buttons from the low four bits of `flags` (OK, OK/Cancel, Yes/No), the
    // icon from the next four; returns kIdOk, kIdCancel, kIdYes or kIdNo.
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override;

  private:
    QWidget* parent_;
};

}  // namespace clst
