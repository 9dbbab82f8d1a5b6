#include "app/gui/dialog_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStyle>
#include <QTimer>
#include <QUtf8StringView>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <tuple>

#include "app/cli/signals.h"
#include "app/gui/about_dialog.h"

namespace {

constexpr const char* kCaption = "HLV DOWNLOAD UTILITY";
constexpr const char* kAboutItem = "Version(DISCFLASH) (&A)...";
// Client size of the template, in dialog units.
constexpr int kTemplateWidth = 215;
constexpr int kTemplateHeight = 96;

// Texts from the core are UTF-8 when they are paths or our own; drive identities are raw bytes.
QString Text(const std::string& s) {
    if (QUtf8StringView(s.data(), static_cast<qsizetype>(s.size())).isValidUtf8())
        return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// Patterns of one filter: separated by ';' or blanks. "*.*" means every file, as it always has.
QStringList Patterns(const std::string& pattern) {
    QStringList out;
    for (const QString& part :
         Text(pattern).split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts))
        out << (part == QLatin1String("*.*") ? QStringLiteral("*") : part);
    if (out.isEmpty()) out << QStringLiteral("*");
    return out;
}

}  // namespace

// Signals that arrive while one of our boxes is open wait until it has closed: a download must
// not start inside a box that another command is showing.
struct DialogWindow::ModalScope {
    explicit ModalScope(DialogWindow* w) : window(w) { ++window->m_modalDepth; }
    ~ModalScope() {
        if (--window->m_modalDepth == 0 && (window->m_pendingDownLoad || window->m_pendingExit))
            QTimer::singleShot(0, window, &DialogWindow::RunDeferred);
    }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
    DialogWindow* window;
};

DialogWindow::DialogWindow(CDISCFLASHDlg* dlg, QWidget* parent)
    : QDialog(parent),
      m_owned(dlg ? nullptr : std::make_unique<CDISCFLASHDlg>()),
      m_dlg(dlg ? dlg : m_owned.get()),
      m_units(DialogFont()) {
    setFont(DialogFont());
    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowIcon(AppIcon());
    setAcceptDrops(false);  // dropped files change nothing
    BuildControls();
    setFixedSize(m_units.X(kTemplateWidth), m_units.Y(kTemplateHeight));

    m_aboutAction = new QAction(QString::fromLatin1(kAboutItem), this);
    m_aboutAction->setObjectName(QStringLiteral("about"));
    connect(m_aboutAction, &QAction::triggered, this, &DialogWindow::ShowAbout);

    if (SignalPipeFd() >= 0) {
        m_signals = new QSocketNotifier(SignalPipeFd(), QSocketNotifier::Read, this);
        connect(m_signals, &QSocketNotifier::activated, this, &DialogWindow::OnSignalPipe);
    }
}

DialogWindow::~DialogWindow() {
    if (m_waitCursor) QApplication::restoreOverrideCursor();
}

void DialogWindow::BuildControls() {
    const DialogUnits& du = m_units;
    QList<QWidget*> order;
    auto place = [&](QWidget* w, const char* id, QRect rect, bool shown, Qt::FocusPolicy focus) {
        w->setObjectName(QString::fromLatin1(id));
        w->setGeometry(rect);
        w->setFocusPolicy(focus);
        w->setAcceptDrops(false);
        if (!shown) w->hide();
        order << w;
    };
    auto edit = [&](const char* id, QRect rect, bool shown, bool tabStop) {
        auto* e = new QLineEdit(this);
        e->setReadOnly(true);
        place(e, id, rect, shown, tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        return e;
    };
    auto button = [&](const char* id, const char* text, QRect rect, bool flat) {
        auto* b = new QPushButton(QString::fromLatin1(text), this);
        b->setFlat(flat);
        place(b, id, rect, true, Qt::StrongFocus);
        return b;
    };

    // A drop-down list: its rectangle's height is the open list's; closed it keeps its own.
    m_comboDrives = new QComboBox(this);
    m_comboDrives->setEditable(false);
    m_comboDrives->setInsertPolicy(QComboBox::InsertAtBottom);
    {
        QRect r = du.Rect(0, 33, 210, 125);
        // ...but never reaching into the progress bar below it
        int closed = std::min(m_comboDrives->sizeHint().height(), du.Y(45) - du.Y(33));
        int item = QFontMetrics(font()).height() + 2;
        m_comboDrives->setMaxVisibleItems(std::max(1, (r.height() - closed) / item));
        r.setHeight(closed);
        place(m_comboDrives, "1002", r, true, Qt::StrongFocus);
    }

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    place(m_progress, "1003", du.Rect(0, 45, 210, 6), true, Qt::NoFocus);

    m_editIdentity = edit("1005", du.Rect(0, 19, 210, 12), true, false);

    m_buttonOk = button("1", "DownLoad", du.Rect(0, 0, 88, 13), false);
    m_buttonOk->setDefault(true);
    connect(m_buttonOk, &QPushButton::clicked, this, &DialogWindow::DownLoad);
    auto* research = button("32777", "Research", du.Rect(140, 0, 40, 12), true);
    connect(research, &QPushButton::clicked, this, &DialogWindow::Research);
    auto* reboot = button("32778", "ReBoot", du.Rect(185, 0, 30, 10), true);
    connect(reboot, &QPushButton::clicked, this, &DialogWindow::ReBoot);
    auto* exit = button("2", "Exit", du.Rect(90, 0, 45, 12), true);
    connect(exit, &QPushButton::clicked, this, &DialogWindow::reject);

    m_marker = new QFrame(this);
    m_marker->setAutoFillBackground(true);
    {
        QPalette p = m_marker->palette();
        p.setColor(QPalette::Window, Qt::black);
        m_marker->setPalette(p);
    }
    place(m_marker, "1015", du.Rect(207, 81, 6, 7), false, Qt::NoFocus);

    for (auto [id, text, rect] : {std::tuple{"1016", "AutoRnu", du.Rect(9, 70, 43, 10)},
                                  std::tuple{"1017", "DMA Mode", du.Rect(9, 82, 51, 10)}}) {
        auto* box = new QCheckBox(QString::fromLatin1(text), this);
        box->setEnabled(false);
        place(box, id, rect, false, Qt::StrongFocus);
    }

    m_editSpare1 = edit("1020", du.Rect(59, 69, 114, 12), false, true);
    m_editSpare2 = edit("1021", du.Rect(60, 84, 114, 12), false, true);
    m_editStage = edit("1022", du.Rect(0, 54, 207, 12), true, false);

    for (int i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
    m_comboDrives->setFocus();
}

// ---- commands ---------------------------------------------------------------------------------

void DialogWindow::DownLoad() {
    if (m_dlg->m_bBusy || m_quitRequested) return;
    m_dlg->OnOK();
    RunDeferred();  // a stop signal that came during the download
}

void DialogWindow::Research() {
    if (m_dlg->m_bBusy || m_quitRequested) return;
    // The scan does not pump events, and may wait long for a hung drive.
    SetStopAtOnce(true);
    m_dlg->OnResearch();
    SetStopAtOnce(false);
}

void DialogWindow::ReBoot() {
    if (m_dlg->m_bBusy || m_quitRequested) return;
    m_dlg->OnReBoot();
    RunDeferred();  // a stop signal that came while logind was answering
}

void DialogWindow::ShowAbout() {
    ModalScope scope(this);
    AboutDialog about(this);
    about.exec();
}

void DialogWindow::reject() {
    if (m_dlg->m_bBusy || m_quitRequested) return;
    m_dlg->OnCancel();
}

void DialogWindow::accept() {
    DownLoad();
}

void DialogWindow::closeEvent(QCloseEvent* event) {
    if (m_quitRequested) {
        event->accept();
        return;
    }
    // The dialog only ends through Exit, which decides for itself (inert while busy).
    reject();
    if (m_quitRequested)
        event->accept();
    else
        event->ignore();
}

void DialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(m_aboutAction);
    menu.exec(event->globalPos());
}

void DialogWindow::OnSignalPipe() {
    for (int signo = TakeSignal(); signo != 0; signo = TakeSignal()) {
        if (signo == SIGUSR1) {
            // like the button: nothing while a download runs
            if (!m_dlg->m_bBusy) m_pendingDownLoad = true;
        } else {
            m_pendingExit = true;  // never in the middle of a download
            // The program ends with the first stop's status, at once or after the download.
            if (!m_stopStatus) m_stopStatus = 128 + signo;
        }
    }
    // A stop outside a download does not wait for the user: boxes that are open take their
    // escape answer (OK, or No to a question) and the program ends once they have returned.
    if (m_pendingExit && !m_dlg->m_bBusy && m_modalDepth > 0) {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QDialog*>(top); box && box != this && box->isVisible())
                box->reject();
    }
    RunDeferred();
}

void DialogWindow::RunDeferred() {
    if (m_modalDepth > 0 || m_dlg->m_bBusy || m_quitRequested) return;
    if (m_pendingExit) {
        m_pendingExit = m_pendingDownLoad = false;
        m_dlg->OnCancel();
        return;
    }
    if (m_pendingDownLoad) {
        m_pendingDownLoad = false;
        DownLoad();
    }
}

// ---- UiPort -----------------------------------------------------------------------------------

void DialogWindow::ListClear() {
    m_comboDrives->clear();
}

void DialogWindow::ListAdd(const std::string& text) {
    // The combo box makes the first entry of an empty list current; only ListSelect selects,
    // or DownLoad would take a drive that the scan did not recognise.
    const int selected = m_comboDrives->currentIndex();
    m_comboDrives->addItem(Text(text));
    if (m_comboDrives->currentIndex() != selected) m_comboDrives->setCurrentIndex(selected);
}

void DialogWindow::ListSelect(int index) {
    m_comboDrives->setCurrentIndex(index >= 0 && index < m_comboDrives->count() ? index : -1);
}

int DialogWindow::ListSelected() {
    return m_comboDrives->currentIndex();
}

int DialogWindow::ListCount() {
    return m_comboDrives->count();
}

void DialogWindow::ShowProgress() {
    // An empty or inverted range shows an empty bar (QProgressBar would animate a busy one).
    if (m_high > m_low) {
        m_progress->setRange(m_low, m_high);
        m_progress->setValue(std::clamp(m_pos, m_low, m_high));
    } else {
        m_progress->setRange(0, 1);
        m_progress->setValue(0);
    }
}

void DialogWindow::ProgressRange(int32_t low, int32_t high) {
    m_low = low;
    m_high = high;
    ShowProgress();
}

void DialogWindow::ProgressStepSize(int32_t step) {
    m_step = step;
}

void DialogWindow::ProgressStep() {
    // Past the end the bar starts again from the beginning, as the platform control does.
    int64_t pos = static_cast<int64_t>(m_pos) + m_step;
    if (pos > m_high) pos = static_cast<int64_t>(m_low) + (pos - m_high);
    if (pos > m_high || pos < INT32_MIN) pos = m_low;
    m_pos = static_cast<int32_t>(pos);
    ShowProgress();
}

void DialogWindow::ProgressPos(int32_t pos) {
    m_pos = m_high >= m_low ? std::clamp(pos, m_low, m_high) : pos;
    ShowProgress();
}

void DialogWindow::SetStage(const std::string& text) {
    m_editStage->setText(Text(text));
    m_editStage->setCursorPosition(0);  // show the beginning of a long line
}

void DialogWindow::SetIdentity(const std::string& text) {
    m_editIdentity->setText(Text(text));
    m_editIdentity->setCursorPosition(0);
}

int DialogWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type,
                             const std::string& detail) {
    ModalScope scope(this);
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type & MB_ICON_MASK) {
        case MB_ICONHAND:
            icon = QMessageBox::Critical;
            break;
        case 0x20:
            icon = QMessageBox::Question;
            break;
        case MB_ICONEXCLAMATION:
            icon = QMessageBox::Warning;
            break;
        case 0x40:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    const bool yesNo = (type & MB_BUTTONS_MASK) == MB_YESNO;
    QMessageBox box(icon, Text(caption), Text(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    if (!detail.empty()) {
        const QString info = Text(detail);
        box.setInformativeText(info);
        // The box guesses the detail's format: drive bytes and paths are never markup.
        for (QLabel* label : box.findChildren<QLabel*>())
            if (label->text() == info) label->setTextFormat(Qt::PlainText);
    }
    box.setFont(QApplication::font());
    const bool defaultNo = (type & MB_DEFAULT_MASK) == MB_DEFBUTTON2;
    box.setDefaultButton(!yesNo ? QMessageBox::Ok : defaultNo ? QMessageBox::No : QMessageBox::Yes);
    if (yesNo) box.setEscapeButton(QMessageBox::No);
    const int answer = box.exec();
    if (yesNo) return answer == QMessageBox::Yes ? IDYES : IDNO;
    return IDOK;
}

void DialogWindow::ConfigureFileDialog(QFileDialog& dialog, const FileRequest& request) {
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setWindowTitle(Text(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);

    QStringList displays;
    QList<QStringList> patterns;
    for (const auto& [display, pattern] : request.filters) {
        displays << Text(display);
        patterns << Patterns(pattern);
    }
    if (displays.isEmpty()) {
        displays << QString();
        patterns << QStringList{QStringLiteral("*")};
    }
    // The dialog reads patterns out of the display texts and trims them; the texts are shown
    // as given and the patterns applied are the filter's own.
    dialog.setNameFilters(displays);
    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    auto* model = dialog.findChild<QFileSystemModel*>();
    if (combo)
        for (int i = 0; i < combo->count() && i < displays.size(); ++i)
            combo->setItemText(i, displays[i]);
    auto apply = [combo, model, patterns](int index) {
        if (!model) return;
        if (index < 0 || index >= patterns.size()) index = 0;
        // Firmware files come from systems where names ignore case: *.bin takes X.BIN too.
        model->setFilter(model->filter() & ~QDir::CaseSensitive);
        model->setNameFilters(patterns[index]);
        (void)combo;
    };
    apply(0);
    if (combo) {
        combo->setCurrentIndex(0);
        // Runs after the dialog's own handler, which has set the patterns it read from the text.
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [combo, apply](const QString&) { apply(combo->currentIndex()); });
    }
    if (!request.defaultExt.empty()) dialog.setDefaultSuffix(Text(request.defaultExt));
    if (!request.initialName.empty()) dialog.selectFile(Text(request.initialName));
}

bool DialogWindow::ChooseFile(const FileRequest& request, std::string& path) {
    ModalScope scope(this);
    QFileDialog dialog(this);
    dialog.setFont(QApplication::font());
    ConfigureFileDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted) return false;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return false;
    path = QFile::encodeName(QFileInfo(files.first()).absoluteFilePath()).toStdString();
    return true;
}

void DialogWindow::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void DialogWindow::SetWaitCursor(bool on) {
    if (on == m_waitCursor) return;
    m_waitCursor = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

int DialogWindow::CaptionAllowance() const {
    // The window manager draws the frame; what it will draw is not known before the window is
    // mapped and differs between desktops. A fixed allowance of a title bar and two borders keeps
    // the compact size the same on every scan.
    const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    return std::max(0, title) + 2 * std::max(0, border);
}

void DialogWindow::MeasureLayout() {
    const QRect outer = frameGeometry();
    m_nFullWidth = outer.width();
    m_nFullHeight = outer.height();
    m_nCompactWidth = m_nFullWidth;
    m_nCompactHeight = m_marker->geometry().top();  // client coordinates
}

void DialogWindow::ApplyCompactSize() {
    // The compact height is an outer height: the client area ends a caption bar above the
    // marker, so the spare controls lie outside. The frame's own width is kept.
    const int frameWidth = frameGeometry().width() - width();
    const int clientWidth = std::max(1, m_nCompactWidth - frameWidth);
    int clientHeight = m_nCompactHeight - CaptionAllowance();
    // Never cut into the stage line, whatever the style thinks a title bar is.
    clientHeight = std::max(clientHeight, m_editStage->geometry().bottom() + 1);
    setFixedSize(clientWidth, clientHeight);  // keeps the position
}

void DialogWindow::Note(const std::string& text) {
    std::fprintf(stderr, "note: %s\n", text.c_str());
    std::fflush(stderr);
}

void DialogWindow::Quit(int exitCode) {
    m_quitRequested = true;
    m_exitCode = m_stopStatus ? m_stopStatus : exitCode;
    done(m_exitCode);
}
