#include "app/gui/gui_front_end.h"

#include <QApplication>
#include <cstring>
#include <memory>
#include <string>

#include "app/cli/signals.h"
#include "app/gui/dialog_window.h"
#include "system/runtime.h"

namespace {
std::string FirstPlainArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) break;
        if (std::strcmp(argv[i], "--") == 0) return i + 1 < argc && argv[i + 1] ? argv[i + 1] : "";
        if (argv[i][0] != '-') return argv[i];
    }
    return {};
}
}  // namespace

int RunDialog(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*), const char* firmwarePath) {
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) app = std::make_unique<QApplication>(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    InstallSignalPipe();

    int code = 0;
    UiPort* previous = rt().ui;
    {
        DialogWindow window;
        rt().ui = wrapUi ? wrapUi(&window) : &window;
        window.Dlg().m_strFirmwarePath =
            firmwarePath ? std::string(firmwarePath) : FirstPlainArgument(argc, argv);
        if (!window.Dlg().OnInitDialog()) {
            code = 0;  // the scan has said why, if anything
        } else if (window.QuitRequested()) {
            code = window.ExitCode();
        } else {
            window.show();
            code = window.exec();
        }
        rt().ui = previous;  // the window goes now
    }
    return code;
}
