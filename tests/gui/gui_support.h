// Shared by the window tests: a fixture with a fake back end, a closer for modal windows and a
// UI port that watches the window.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <functional>
#include <memory>

#include "app/cli/signals.h"
#include "app/gui/about_dialog.h"
#include "app/gui/dialog_window.h"
#include "app/gui/gui_front_end.h"
#include "drives/catalogue.h"
#include "drives/dispatch.h"
#include "drives/test_hooks.h"
#include "emu/emulated_session.h"
#include "scsi/transport.h"
#include "support/fake_backend.h"
#include "support/fake_host.h"
#include "system/clocks.h"
#include "system/runtime.h"

// Readable failures for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

inline const char* const kOwnDrive = "HALVERONCD-RW  KR-4740 ";  // the LD4740 group's ordinary name
inline const char* const kOtherDrive = "ACMEDISCDVD-ROM XJ-100  ";

// Answers whatever modal window turns up while a test runs: boxes, file dialogs, the About box,
// menus. Each is recorded, then handled by `handler` (default: the box's escape).
class ModalCloser {
  public:
    struct Seen {
        QString kind, title, text;
        QString detail;             // the box's informative text
        bool detailMarkup = false;  // ... shown as rich text
        int icon = -1;
        QStringList buttons;
    };
    std::vector<Seen> seen;
    std::function<void(QWidget*)> handler;

    ModalCloser() {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }

  private:
    void Poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible() || handled_.contains(w)) continue;
            Seen s;
            s.title = w->windowTitle();
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                s.kind = "box";
                s.text = box->text();
                s.detail = box->informativeText();
                for (QLabel* l : box->findChildren<QLabel*>())
                    if (!s.detail.isEmpty() && l->text() == s.detail)
                        s.detailMarkup = l->textFormat() != Qt::PlainText;
                s.icon = box->icon();
                for (QAbstractButton* b : box->buttons()) s.buttons << b->text();
            } else if (qobject_cast<QFileDialog*>(w)) {
                s.kind = "file";
            } else if (qobject_cast<AboutDialog*>(w)) {
                s.kind = "about";
            } else if (auto* menu = qobject_cast<QMenu*>(w)) {
                s.kind = "menu";
                for (QAction* a : menu->actions()) s.buttons << a->text();
            } else {
                continue;  // the main window itself
            }
            handled_.append(w);
            seen.push_back(s);
            if (handler) {
                handler(w);
            } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
                box->escapeButton() ? box->escapeButton()->click() : box->reject();
            } else if (auto* menu = qobject_cast<QMenu*>(w)) {
                menu->close();
            } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
                dialog->reject();
            }
        }
    }
    QTimer timer_;
    QList<QPointer<QWidget>> handled_;
};

// Processes events until `done` holds, or a second of wall time (the pipe is read by the loop).
inline bool PumpUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 1000) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// The signal pipe installed and emptied of what earlier tests raised.
inline void FreshSignalPipe() {
    InstallSignalPipe();
    ASSERT_GE(SignalPipeFd(), 0);
    while (TakeSignal() != 0) {
    }
}

inline void PumpBriefly() {
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
}

class DialogTest : public ::testing::Test {
  protected:
    VirtualClock clock;
    FakeBackend backend;
    FakeHost host;

    void SetUp() override {
        Reset();
        rt().clock = &clock;
        rt().host = &host;
        SetBackends(&backend, &backend);
        SetProgramName("/usr/bin/LD4740");
    }
    void TearDown() override {
        while (TakeSignal() != 0) {
        }
        Reset();
    }
    static void Reset() {
        ResetProcessState();
        SetBackends(nullptr, nullptr);
    }

    // A window that is the UI port, started like the program starts it.
    std::unique_ptr<DialogWindow> Start(std::vector<std::string> drives, bool show = true) {
        for (const auto& d : drives) backend.drives.push_back(FakeBackend::Drive(d));
        auto w = std::make_unique<DialogWindow>();
        rt().ui = w.get();
        ModalCloser closer;  // "NotFound" when the list has no drive of the group
        started = w->Dlg().OnInitDialog();
        if (show) w->show();
        PumpBriefly();
        return w;
    }
    bool started = false;
};

template <class T>
T* Control(QWidget& w, const char* id) {
    return w.findChild<T*>(QString::fromLatin1(id), Qt::FindDirectChildrenOnly);
}

// What the window shows at each moment the core lets it repaint.
class Watcher : public UiPort {
  public:
    explicit Watcher(DialogWindow& w) : w_(w) {}
    std::vector<int> barValues;
    std::vector<QImage> bars;
    std::vector<QString> stages;

    void ListClear() override { w_.ListClear(); }
    void ListAdd(const std::string& t) override { w_.ListAdd(t); }
    void ListSelect(int i) override { w_.ListSelect(i); }
    int ListSelected() override { return w_.ListSelected(); }
    int ListCount() override { return w_.ListCount(); }
    void ProgressRange(int32_t l, int32_t h) override { w_.ProgressRange(l, h); }
    void ProgressStepSize(int32_t s) override { w_.ProgressStepSize(s); }
    void ProgressStep() override { w_.ProgressStep(); }
    void ProgressPos(int32_t p) override { w_.ProgressPos(p); }
    void SetStage(const std::string& t) override { w_.SetStage(t); }
    void SetIdentity(const std::string& t) override { w_.SetIdentity(t); }
    int MessageBox(const std::string& t, const std::string& c, unsigned y,
                   const std::string& d) override {
        return w_.MessageBox(t, c, y, d);
    }
    bool ChooseFile(const FileRequest& r, std::string& p) override { return w_.ChooseFile(r, p); }
    void PumpMessages() override {
        w_.PumpMessages();
        barValues.push_back(w_.Progress()->value());
        bars.push_back(w_.Progress()->grab().toImage());
        stages.push_back(Control<QLineEdit>(w_, "1022")->text());
    }
    void SetWaitCursor(bool on) override { w_.SetWaitCursor(on); }
    void MeasureLayout() override { w_.MeasureLayout(); }
    void ApplyCompactSize() override { w_.ApplyCompactSize(); }
    void Quit(int code) override { w_.Quit(code); }

  private:
    DialogWindow& w_;
};
