// The dialog's commands other than DownLoad.
#include "drives/main_dialog.h"

#include "drives/dispatch.h"
#include "scsi/transport.h"
#include "system/runtime.h"

bool CDISCFLASHDlg::OnInitDialog() {
    m_bGeneric = 0;
    m_bBusy = 0;
    m_bGroupFirstMatch = 0;
    m_nKind = 255;
    m_closed = false;
    if (ScanDrives() == 0) {
        // The scan has shown its message, if it had one.
        ReleaseAspiLibrary();
        return false;
    }
    return true;
}

void CDISCFLASHDlg::OnCancel() {
    if (m_bBusy) return;
    CloseDrive();
    ReleaseAspiLibrary();
    FreeReadBackBuffer();
    m_closed = true;
    if (rt().ui) rt().ui->Quit(0);
}

void CDISCFLASHDlg::QuitFromProcedure() {
    m_bBusy = 0;
    OnCancel();
}

void CDISCFLASHDlg::OnReBoot() {
    if (m_bBusy) return;
    if (WhileBusy(RestartSystem) != 0) OnCancel();
}

int CDISCFLASHDlg::WhileBusy(int (*call)()) {
    m_bBusy = 1;
    const int result = call();
    m_bBusy = 0;
    return result;
}

void CDISCFLASHDlg::OnResearch() {
    if (m_bBusy) return;
    CloseDrive();
    ReleaseAspiLibrary();
    // The dialog stays open whatever the scan finds.
    ScanDrives();
}
