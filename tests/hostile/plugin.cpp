// A Qt plugin that a run with raised rights must never load: it says so on standard error as
// soon as it is loaded, before Qt asks it for anything. Built once as a generic plugin and once
// as a platform theme (HOSTILE_THEME).
#include <unistd.h>

#include <QObject>

namespace {
__attribute__((constructor)) void Loaded() {
    static const char kLine[] = "hostile plugin loaded\n";
    ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
    (void)ignored;
}
}  // namespace

class HostilePlugin : public QObject {
    Q_OBJECT
#ifdef HOSTILE_THEME
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                          "hostile.json")
#else
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QGenericPluginFactoryInterface" FILE "hostile.json")
#endif
};

#include "plugin.moc"
