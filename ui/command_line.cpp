#include "ui/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/named_mutex.h"
#include "portpairs/port_pair_library.h"

namespace clst {

void CMyCommandLineInfo::ParseParam(const char* param, bool /*flag*/, bool /*last*/) {
    const std::string word = param != nullptr ? param : "";
    bool digits = !word.empty();
    for (unsigned char c : word) {
        if (!std::isdigit(c)) {
            digits = false;
            break;
        }
    }
    if (digits) {
        // A number beyond the index range stands for the largest index (no
        // port has it), never for a wrapped-around small one.
        int64_t value = 0;
        for (unsigned char c : word) {
            value = value * 10 + (c - '0');
            if (value > INT32_MAX) {
                value = INT32_MAX;
                break;
            }
        }
        m_nIndex = static_cast<int32_t>(value);
        return;
    }
    std::string upper = word;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (upper.size() >= 3 && upper.compare(0, 3, "COM") == 0) {
        m_strComPort = upper;
    }
    if (upper.find(',') != std::string::npos) {
        m_strSerialParams = upper;
    }
    if (upper.size() >= 7 && upper.compare(0, 7, "AUTORUN") == 0) {
        m_bAutorun = 1;
    }
}

void ParseCommandLine(const std::vector<std::string>& words, CMyCommandLineInfo& info) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool flag = !word.empty() && (word[0] == '/' || word[0] == '-');
        const std::string param = flag ? word.substr(1) : word;
        info.ParseParam(param.c_str(), flag, i + 1 == words.size());
    }
}

MainWindowArguments ChooseMainWindowArguments(const CMyCommandLineInfo& info) {
    if (info.m_strComPort.empty() || info.m_nIndex < 0) {
        return {};
    }
    return {info.m_strComPort, info.m_nIndex, info.m_strSerialParams, info.m_bAutorun == 1};
}

int ClaimInstanceSlot() {
    // Kept for the life of the process: a slot stays taken while any
    // instance holds a handle to it.
    static std::vector<platform::NamedMutexHandle> handles;
    for (int n = 0;; ++n) {
        char name[64];
        std::snprintf(name, sizeof name, "clsertolvanemutex%d", n);
        bool existed = false;
        std::string error;
        platform::NamedMutexHandle handle = platform::CreateNamedMutex(name, existed, error);
        if (handle.IsValid()) {
            handles.push_back(std::move(handle));
        }
        if (!existed) {
            std::printf("%s", name);
            std::fflush(stdout);
            return n;
        }
    }
}

bool RunStartup(const std::vector<std::string>& words, CMyCommandLineInfo& info,
                const StartupHooks& hooks) {
    if (hooks.claimInstanceSlot) {
        hooks.claimInstanceSlot();
    }
    if (hooks.vcpInitialize() == 0) {
        const int32_t length = hooks.vcpGetLastErrorText(nullptr);
        if (length > 0) {
            // Room for the library's whole text, even if it has grown since
            // it reported the length.
            std::vector<char> text(
                static_cast<size_t>(std::max<int32_t>(length, PortPairLibrary::kErrorTextSize)) + 1,
                '\0');
            hooks.vcpGetLastErrorText(text.data());
            hooks.showMessage(std::string(text.data()), 0x30);
        }
        return false;
    }
    ParseCommandLine(words, info);
    hooks.runMainWindow(ChooseMainWindowArguments(info));
    return true;
}

void UsePortPairLibrary(StartupHooks& hooks, PortPairLibrary& pairs) {
    hooks.vcpInitialize = [&pairs] { return pairs.VcpInitialize(); };
    hooks.vcpGetLastErrorText = [&pairs](char* buffer) -> int32_t {
        if (buffer == nullptr)
            return pairs.VcpGetLastErrorText(nullptr);
        // The library may fill up to its full text size; the caller's buffer
        // has room for that much (RunStartup).
        char text[PortPairLibrary::kErrorTextSize + 1] = {};
        const int32_t n = pairs.VcpGetLastErrorText(text);
        std::strcpy(buffer, text);
        return n;
    };
}

}  // namespace clst
