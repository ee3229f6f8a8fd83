// Where plain code shows a message box. The user interface supplies the real
// one; tests supply one that records the message and answers it.
#pragma once

#include <string>

namespace clst {

// Button and icon flags and answers, with the Win32 MB_ and ID values.
constexpr unsigned kMbOk = 0x00000000u;
constexpr unsigned kMbOkCancel = 0x00000001u;
constexpr unsigned kMbYesNo = 0x00000004u;
constexpr unsigned kMbIconError = 0x00000010u;
constexpr unsigned kMbIconQuestion = 0x00000020u;
constexpr unsigned kMbIconExclamation = 0x00000030u;
constexpr unsigned kMbIconInformation = 0x00000040u;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

struct MessageSink {
    virtual ~MessageSink() = default;
    // Shows `text` with `caption` and the MB_ `flags`; returns the ID_ answer.
    virtual int ShowMessage(const std::string& text, const std::string& caption,
                            unsigned flags) = 0;
};

}  // namespace clst
