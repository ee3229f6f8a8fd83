// The command line and the start-up order, free of any user-interface toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace clst {

class CMyCommandLineInfo {
  public:
    virtual ~CMyCommandLineInfo() = default;
    // One word, with a leading '/' or '-' already removed (`flag` says so);
    // `last` marks the last word. Both markers are ignored.
    virtual void ParseParam(const char* param, bool flag, bool last);

    std::string m_strComPort;
    std::string m_strSerialParams;
    int32_t m_nIndex = -1;
    int32_t m_bAutorun = 0;
};

// Feeds every word of argv (after the program name) to `info`, removing one
// leading '/' or '-' from each as the framework does.
void ParseCommandLine(const std::vector<std::string>& words, CMyCommandLineInfo& info);

// What the main window is made from.
struct MainWindowArguments {
    std::string comPort;
    int32_t index = -1;
    std::string serialParams;
    bool autorun = false;

    bool operator==(const MainWindowArguments&) const = default;
};

// Without a COM port word and an index, the command line is ignored whole.
MainWindowArguments ChooseMainWindowArguments(const CMyCommandLineInfo& info);

// Claims the lowest free instance slot (named mutexes "clsertolvanemutex%d"),
// prints the slot's name to standard output (no line end) and returns the
// slot number. The handles of the slot and of every lower slot found taken
// are kept until the process ends.
int ClaimInstanceSlot();

// The start-up steps after the toolkit is ready, in their order: the
// instance slot, the port-pair library check, the command line, the main
// window. Returns false when the port-pair library is not usable (its text
// has been shown through `showMessage`, unless empty).
struct StartupHooks {
    std::function<int32_t()> vcpInitialize;
    std::function<int32_t(char* buffer)> vcpGetLastErrorText;  // null buffer: length
    std::function<void(const std::string& text, unsigned flags)> showMessage;
    std::function<void(const MainWindowArguments&)> runMainWindow;
    std::function<int()> claimInstanceSlot = ClaimInstanceSlot;
};
bool RunStartup(const std::vector<std::string>& words, CMyCommandLineInfo& info,
                const StartupHooks& hooks);

class PortPairLibrary;
// Points the port-pair hooks of `hooks` at `pairs`.
void UsePortPairLibrary(StartupHooks& hooks, PortPairLibrary& pairs);

}  // namespace clst
