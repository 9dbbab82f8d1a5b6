#include "app/gui/gui_front_end.h"

#include <QApplication>
#include <memory>

#include "app/cli/signals.h"
#include "app/gui/dialog_window.h"
#include "system/runtime.h"

int RunDialog(int& argc, char** argv, UiPort* (*wrapUi)(UiPort*)) {
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) app = std::make_unique<QApplication>(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    InstallSignalPipe();

    int code = 0;
    UiPort* previous = rt().ui;
    {
        DialogWindow window;
        rt().ui = wrapUi ? wrapUi(&window) : &window;
        window.Dlg().m_strFirmwarePath = rt().commandLineFile;
        // No event loop reads the signal pipe before the window shows: a stop ends it at once.
        SetStopAtOnce(true);
        const bool started = window.Dlg().OnInitDialog();
        SetStopAtOnce(false);
        if (!started) {
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
