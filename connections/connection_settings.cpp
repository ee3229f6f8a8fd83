#include "connections/connection_settings.h"

#include <cstdio>

#include "platform/profile.h"
#include "platform/program_path.h"

namespace clst {

namespace {

struct BaudRow {
    const char* text;
    int32_t rate;
    int32_t code;
};

constexpr BaudRow kBaudTable[kBaudTableSize] = {
    {"9600", 9600, 1},      {"19200", 19200, 2},    {"38400", 38400, 4},    {"57600", 57600, 8},
    {"115200", 115200, 16}, {"230400", 230400, 32}, {"460800", 460800, 64}, {"921600", 921600, 128},
};

constexpr const char* kParityTexts[] = {"n", "o", "e"};
constexpr const char* kStopBitsTexts[] = {"1", "1.5", "2"};

}  // namespace

const char* BaudText(int index) {
    if (index < 0 || index >= kBaudTableSize)
        return nullptr;
    return kBaudTable[index].text;
}

int32_t ClSerBaudCodeForRate(int32_t bitsPerSecond) {
    for (const auto& row : kBaudTable)
        if (row.rate == bitsPerSecond)
            return row.code;
    return 0;
}

int32_t RateForClSerBaudCode(int32_t baudCode) {
    for (const auto& row : kBaudTable)
        if (row.code == baudCode)
            return row.rate;
    return 0;
}

bool ParseBaudText(const std::string& text, int32_t& comBaudRate, int32_t& clserBaudCode) {
    for (const auto& row : kBaudTable) {
        if (text == row.text) {
            comBaudRate = row.rate;
            clserBaudCode = row.code;
            return true;
        }
    }
    return false;
}

const char* ParityText(int32_t parity) {
    if (parity < 0 || parity > 2)
        return nullptr;
    return kParityTexts[parity];
}

bool ParseParityText(const std::string& text, int32_t& parity) {
    if (text.size() != 1)
        return false;
    const char c = text[0];
    for (int32_t i = 0; i < 3; ++i) {
        if (c == kParityTexts[i][0] || c == kParityTexts[i][0] - 'a' + 'A') {
            parity = i;
            return true;
        }
    }
    return false;
}

const char* StopBitsText(int32_t stopBits) {
    if (stopBits < 0 || stopBits > 2)
        return nullptr;
    return kStopBitsTexts[stopBits];
}

bool ParseStopBitsText(const std::string& text, int32_t& stopBits) {
    for (int32_t i = 0; i < 3; ++i) {
        if (text == kStopBitsTexts[i]) {
            stopBits = i;
            return true;
        }
    }
    return false;
}

bool ParseDataBitsText(const std::string& text, int32_t& dataBits) {
    if (text.size() != 1 || text[0] < '5' || text[0] > '9')
        return false;
    dataBits = text[0] - '0';
    return true;
}

void SaveToConfigFile(const ConnectionSettings& settings, const std::string& oldComPortName,
                      int32_t oldClSerPortIndex, int32_t clserPortCount, MessageSink& sink,
                      const std::string& directory) {
    if (oldComPortName != settings.comPortName || oldClSerPortIndex != settings.clserPortIndex) {
        sink.ShowMessage(
            "You changed the COM port or ClSer Port, this change will be confirmed but not saved "
            "to config file.",
            "Port configuration", kMbOk | kMbIconExclamation);
    }

    const std::string dir = directory.empty() ? platform::ProgramDirectory() : directory;
    if (dir.empty())
        return;
    const std::string path = dir + "/" + kConfigFileName;

    // The "com" and "clser" keys are kept by whoever maintains the file; a
    // section is ours when both name the connection we were serving.
    std::string section;
    for (int32_t n = 1; n <= clserPortCount; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "connection%d", static_cast<int>(n));
        std::string com = platform::ReadProfileString(name, "com", "", 8, path);
        for (char& c : com)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        const int clser = platform::ReadProfileInt(name, "clser", -1, path);
        if (com == oldComPortName && clser == oldClSerPortIndex) {
            section = name;
            break;
        }
    }
    if (section.empty())
        return;

    char value[8];
    std::snprintf(value, sizeof value, "%d", static_cast<int>(settings.comBaudRate));
    platform::WriteProfileString(section, "baudrate", value, path);
    if (const char* parity = ParityText(settings.parity))
        platform::WriteProfileString(section, "parity", parity, path);
    std::snprintf(value, sizeof value, "%d", static_cast<int>(settings.dataBits));
    platform::WriteProfileString(section, "databit", value, path);
    if (const char* stop = StopBitsText(settings.stopBits))
        platform::WriteProfileString(section, "stopbit", stop, path);
}

}  // namespace clst
