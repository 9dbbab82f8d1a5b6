// The main window: shows CDISCFLASHDlg and is its user interface.
#pragma once

#include <QDialog>
#include <memory>

#include "app/gui/dialog_units.h"
#include "drives/main_dialog.h"
#include "system/ports.h"

class QAction;
class QComboBox;
class QFileDialog;
class QFrame;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;

class DialogWindow : public QDialog, public UiPort {
    Q_OBJECT
  public:
    // Shows `dlg`, or a dialog of its own when none is given.
    explicit DialogWindow(CDISCFLASHDlg* dlg = nullptr, QWidget* parent = nullptr);
    ~DialogWindow() override;

    CDISCFLASHDlg& Dlg() { return *m_dlg; }
    const DialogUnits& Units() const { return m_units; }
    QAction* AboutAction() const { return m_aboutAction; }
    QProgressBar* Progress() const { return m_progress; }

    // The compact layout as last measured, in pixels.
    int FullWidth() const { return m_nFullWidth; }
    int FullHeight() const { return m_nFullHeight; }
    int CompactWidth() const { return m_nCompactWidth; }
    int CompactHeight() const { return m_nCompactHeight; }
    // What the window leaves out of the marker's top for the caption bar and frame.
    int CaptionAllowance() const;

    // Quit has been asked for, and with which code.
    bool QuitRequested() const { return m_quitRequested; }
    int ExitCode() const { return m_exitCode; }

    // The progress bar's state as the core set it (the widget can only show part of it).
    int32_t ProgressLow() const { return m_low; }
    int32_t ProgressHigh() const { return m_high; }
    int32_t ProgressValue() const { return m_pos; }

    // Fills a file dialog from a request: titles, filters with their display texts, name,
    // default suffix. Public so that the filters can be examined without running the dialog.
    static void ConfigureFileDialog(QFileDialog& dialog, const FileRequest& request);

    // ---- UiPort ----
    void ListClear() override;
    void ListAdd(const std::string& text) override;
    void ListSelect(int index) override;
    int ListSelected() override;
    int ListCount() override;
    void ProgressRange(int32_t low, int32_t high) override;
    void ProgressStepSize(int32_t step) override;
    void ProgressStep() override;
    void ProgressPos(int32_t pos) override;
    void SetStage(const std::string& text) override;
    void SetIdentity(const std::string& text) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type,
                   const std::string& detail) override;
    bool ChooseFile(const FileRequest& request, std::string& path) override;
    void PumpMessages() override;
    void SetWaitCursor(bool on) override;
    void MeasureLayout() override;
    void ApplyCompactSize() override;
    void Quit(int exitCode) override;
    // A window shows no notes: they go to standard error, for a user who started it there.
    void Note(const std::string& text) override;

  public slots:
    void DownLoad();  // the DownLoad button, Enter and SIGUSR1
    void Research();
    void ReBoot();
    void ShowAbout();  // available also while busy

  protected:
    void reject() override;  // Exit button, Esc
    void accept() override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void BuildControls();
    void ShowProgress();
    void OnSignalPipe();
    void RunDeferred();
    // A modal box of this window is open: signals wait until it is closed.
    struct ModalScope;

    std::unique_ptr<CDISCFLASHDlg> m_owned;
    CDISCFLASHDlg* m_dlg;
    DialogUnits m_units;

    QComboBox* m_comboDrives = nullptr;   // 1002
    QProgressBar* m_progress = nullptr;   // 1003
    QLineEdit* m_editIdentity = nullptr;  // 1005
    QPushButton* m_buttonOk = nullptr;    // 1
    QFrame* m_marker = nullptr;           // 1015
    QLineEdit* m_editSpare1 = nullptr;    // 1020
    QLineEdit* m_editSpare2 = nullptr;    // 1021
    QLineEdit* m_editStage = nullptr;     // 1022
    QAction* m_aboutAction = nullptr;
    QSocketNotifier* m_signals = nullptr;

    int m_nCompactHeight = 0;
    int m_nCompactWidth = 0;
    int m_nFullWidth = 0;
    int m_nFullHeight = 0;

    int32_t m_low = 0, m_high = 100, m_step = 10, m_pos = 0;

    bool m_waitCursor = false;
    bool m_quitRequested = false;
    int m_exitCode = 0;
    int m_modalDepth = 0;
    bool m_pendingDownLoad = false;  // SIGUSR1 while a box was open
    bool m_pendingExit = false;      // SIGINT/SIGTERM/SIGHUP during a download or a box
    int m_stopStatus = 0;            // 128 + the first stop signal
};
