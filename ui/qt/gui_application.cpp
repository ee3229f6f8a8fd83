#include "ui/qt/gui_application.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "portpairs/port_pair_library.h"
#include "ui/command_line.h"
#include "ui/qt/qt_message_box.h"
#include "ui/qt/system_tray.h"
#include "ui/qt/tolvane_main_dlg.h"

namespace clst {

namespace {

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool DisplayAvailable() {
    return Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM");
}

int RunGuiApplication(int argc, char** argv, const std::vector<std::string>& words,
                      const RelayOptions& options) {
    if (!DisplayAvailable()) {
        std::fprintf(stderr,
                     "clsertolvane: no display available (neither DISPLAY nor WAYLAND_DISPLAY "
                     "is set).\n");
        if (!words.empty()) {
            std::fprintf(stderr, "To relay without a window, run: clsertolvane --headless");
            for (const auto& word : words)
                std::fprintf(stderr, " %s", word.c_str());
            std::fprintf(stderr, "\n");
        } else {
            std::fprintf(stderr,
                         "Run it on a desktop, or see clsertolvane --help for "
                         "--headless.\n");
        }
        return 2;
    }

    QApplication app(argc, argv);
    // No application display name: Qt would append it to every window title,
    // and each caption must read exactly as the program names it.
    QApplication::setApplicationName(QStringLiteral("clsertolvane"));
    QApplication::setDesktopFileName(QStringLiteral("clsertolvane"));
    QApplication::setWindowIcon(CSystemTray::LoadIcon(kAppIconId));
    // The window hides into the tray; only Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    PortPairLibrary pairs;
    QtMessageBox messages;
    CMyCommandLineInfo info;
    int exitCode = 1;

    StartupHooks hooks;
    UsePortPairLibrary(hooks, pairs);
    int slot = 0;
    hooks.claimInstanceSlot = [&slot] { return slot = ClaimInstanceSlot(); };
    hooks.showMessage = [&](const std::string& text, unsigned flags) {
        messages.ShowMessage(text, "", flags);
    };
    hooks.runMainWindow = [&](const MainWindowArguments& args) {
        MainDlgServices services;
        services.pairs = &pairs;
        services.instanceSlot = slot;
        // Instances started with AUTORUN write confirmed settings back.
        CTolvaneMainDlg window(args, args.autorun, services);
        QObject::connect(&window, &CTolvaneMainDlg::exitRequested, &app, &QApplication::quit);
        // Before the start-up selection, which may connect at once.
        window.controller().control().SetRelayOptions(options);
        window.OnInitDialog();
        window.ShowAtStart();
        exitCode = app.exec();
    };
    RunStartup(words, info, hooks);
    std::fflush(stdout);
    return exitCode;
}

}  // namespace clst
