// A message box stand-in for tests: records every message and answers from a
// queue (OK once the queue is empty).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "connections/message_sink.h"

namespace clst::testing {

struct RecordedMessage {
    std::string text, caption;
    unsigned flags;
    bool operator==(const RecordedMessage&) const = default;
};

struct MessageRecorder {
    int Record(const std::string& text, const std::string& caption, unsigned flags) {
        messages.push_back({text, caption, flags});
        if (log != nullptr)
            log->push_back("Message " + text);
        if (answers.empty())
            return kIdOk;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<RecordedMessage> messages;
    std::deque<int> answers;
    // Where a test logs other calls too, the messages go in among them.
    std::vector<std::string>* log = nullptr;
};

// The recorder as the message boxes of a dialog or window.
class RecordingSink : public MessageSink, public MessageRecorder {
  public:
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags) override {
        return Record(text, caption, flags);
    }
};

}  // namespace clst::testing
