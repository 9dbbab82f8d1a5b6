// A platform theme a run in secure mode must never load: it says so as soon as it is loaded.
#include <unistd.h>

#include <QObject>

__attribute__((constructor)) static void Loaded() {
    (void)!write(STDERR_FILENO, "hostile plugin loaded\n", 22);
}

class HostileTheme : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                          "hostile.json")
};

#include "plugin.moc"
