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
        if (answers.empty())
            return kIdOk;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<RecordedMessage> messages;
    std::deque<int> answers;
};

}  // namespace clst::testing
