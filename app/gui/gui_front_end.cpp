#include "app/gui/gui_front_end.h"

#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/cli/options.h"
#include "app/cli/signals.h"
#include "app/cli/startup.h"
#include "app/gui/dialog_window.h"
#include "system/runtime.h"

namespace {

QtMessageHandler g_previousHandler = nullptr;

// While the application object is made, a fatal message means no platform plugin could start:
// no display, or one that does not answer. Qt would abort (status 134) with advice about
// reinstalling; say what is missing instead.
void OnStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (g_previousHandler) g_previousHandler(type, context, text);
        return;
    }
    std::fprintf(stderr,
                 "%s: cannot open the window: no display answers (DISPLAY and WAYLAND_DISPLAY "
                 "unset, or nothing there); run without one with --batch\n",
                 rt().appTitle.c_str());
    std::fflush(stderr);
    // Mid-construction, nothing of Qt may be torn down: leave at once.
    _exit(kExitRefused);
}

// With raised rights Qt loads code only from its own plugin directory: no platform theme (it
// would start GTK, which reads module paths of its own), and no directory of the program or the
// environment.
bool PrepareSecureApplication(const QStringList& plugins) {
    if (!ProgramDirectoryTrusted(rt().programFile)) {
        const std::string dir = std::filesystem::path(rt().programFile).parent_path().string();
        std::fprintf(stderr,
                     "%s: runs with raised rights from '%s', a directory that others than root "
                     "may change, where the window would look for code to load: install it in "
                     "a directory only root can write, or run without a window with --batch\n",
                     rt().appTitle.c_str(), dir.c_str());
        return false;
    }
    QGuiApplication::setDesktopSettingsAware(false);
    QCoreApplication::setLibraryPaths(plugins);
    return true;
}

}  // namespace

int RunDialog(int&, char** argv, UiPort* (*wrapUi)(UiPort*)) {
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        const QStringList plugins{QLibraryInfo::path(QLibraryInfo::PluginsPath)};
        if (SecureMode() && !PrepareSecureApplication(plugins)) return kExitRefused;
        // Qt takes none of the command line: its options (-platform, -plugin, -style=...) would
        // load code from where they say.
        static char name[] = "discflash";
        static char* qtArgv[] = {argv && argv[0] ? argv[0] : name, nullptr};
        static int qtArgc = 1;
        g_previousHandler = qInstallMessageHandler(OnStartMessage);
        app = std::make_unique<QApplication>(qtArgc, qtArgv);
        qInstallMessageHandler(g_previousHandler);
        // Qt adds the program's directory while it starts.
        if (SecureMode()) QCoreApplication::setLibraryPaths(plugins);
    }
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
