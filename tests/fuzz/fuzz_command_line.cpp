// The command line as the program takes it: words (split at NUL or line end)
// pass the program's own options, the word tests and the argument choice,
// and the chosen words make a connection control's settings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tests/support/connection_view_fakes.h"
#include "ui/command_line.h"

namespace {

// The index a digits-only word stands for: its value, or the largest index
// when it does not fit; -1 for any other word.
int32_t IndexOf(const std::string& word) {
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int64_t value = 0;
    for (char c : word)
        value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::replace(text.begin(), text.end(), '\0', '\n');
    // The program's own options come first, as in main().
    std::vector<std::string> words;
    for (const std::string& arg : clst::fuzz::Split(text, '\n')) {
        if (arg == "--help" || arg == "-h" || arg == "--version")
            return 0;
        words.push_back(arg);
    }

    clst::CMyCommandLineInfo info;
    clst::ParseCommandLine(words, info);

    // What the words must leave: the last word of each kind wins.
    int32_t index = -1;
    std::string comPort, serialParams;
    bool autorun = false;
    for (const std::string& word : words) {
        const bool flag = !word.empty() && (word[0] == '/' || word[0] == '-');
        std::string param = flag ? word.substr(1) : word;
        for (char& c : param)
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (IndexOf(param) >= 0) {
            index = IndexOf(param);
            continue;
        }
        if (param.rfind("COM", 0) == 0)
            comPort = param;
        if (param.find(',') != std::string::npos)
            serialParams = param;
        if (param.rfind("AUTORUN", 0) == 0)
            autorun = true;
    }
    FUZZ_CHECK(info.m_nIndex == index);
    FUZZ_CHECK(info.m_strComPort == comPort);
    FUZZ_CHECK(info.m_strSerialParams == serialParams);
    FUZZ_CHECK((info.m_bAutorun == 1) == autorun);

    const clst::MainWindowArguments args = clst::ChooseMainWindowArguments(info);
    FUZZ_CHECK(args == (comPort.empty() || index < 0
                            ? clst::MainWindowArguments{}
                            : clst::MainWindowArguments{comPort, index, serialParams, autorun}));

    // The start-up selection's first steps, without any port to connect to.
    clst::testing::RecordingConnectionView<> view;
    clst::testing::FakeSettingsDialog dialog;
    dialog.answer = clst::kIdCancel;
    clst::ConnectionControl control(view, dialog, args.comPort, args.index, args.serialParams);
    FUZZ_CHECK(control.m_settings.devicePortName == "MARO" + args.comPort);
    if (!args.serialParams.empty())
        control.ApplySerialParameters();
    control.ApplyStartupSelection();
    FUZZ_CHECK(!control.m_bConnected);
    control.UpdateStatusTexts();
    return 0;
}
