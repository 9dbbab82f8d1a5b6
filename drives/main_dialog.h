// The main dialog's logic and state, free of any toolkit. The Qt window and the console front
// end show it through the UI port (rt().ui). The commands, the identification, the procedure
// frame and the procedures are its members and take no arguments where the procedures are
// concerned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drives/catalogue.h"
#include "system/ports.h"
#include "system/zeroed_block.h"

// What a procedure reports, so that a front end can set its exit status.
enum class Outcome { NothingDone, Succeeded, Failed };

// The three file-stage messages of a procedure and their caption.
struct FileStageMessages {
    const char* notFound;   // file cannot be opened for its length
    const char* noMemory;   // imageBuffer cannot be allocated
    const char* openError;  // file cannot be opened for reading; also: larger than the buffer
    const char* caption;
};

class CDISCFLASHDlg {
  public:
    CDISCFLASHDlg() = default;

    // ---- state shared with identification, dispatch and the procedures ----
    int32_t m_bFound = 0;
    int32_t m_bGeneric = 0;
    int32_t m_bBusy = 0;
    int32_t m_bGroupFirstMatch = 0;
    uint8_t m_nKind = 255;
    std::string m_strFirmwarePath;
    int32_t m_bFirstIdentity = 0;
    int32_t m_nCompareLength = 23;

    // ---- application shell (drives/main_dialog.cpp) ----
    // Resets the flags and runs ScanDrives. False: the program must end (exit code 0), after
    // ReleaseAspiLibrary has run.
    bool OnInitDialog();
    void OnCancel();    // Exit: inert while busy; closes drive, transport, buffer; quits
    void OnReBoot();    // ReBoot: inert while busy
    void OnResearch();  // Research: inert while busy
    bool IsClosed() const { return m_closed; }

    // ---- identification (drives/scan.cpp) ----
    int32_t ScanDrives();
    int32_t MatchGroup(int32_t length, const IdentityGroup* group, int32_t count,
                       const uint8_t* drive);

    // ---- dispatch (drives/dispatch.cpp) ----
    void OnOK();  // DownLoad
    // Outcome of the last DownLoad command; NothingDone when no procedure ran or it did nothing.
    Outcome LastOutcome() const { return m_lastOutcome; }

    // ---- procedure frame (download/frame.cpp) ----
    bool ChooseFirmwareFile(const char* filter, const char* initialName, const char* defaultExt);
    // Learns the length, allocates imageBuffer, reads the file, pads an odd length when asked.
    // False after its message (imageBuffer released).
    bool LoadFirmwareImage(uint32_t bufferSize, bool padOdd, const FileStageMessages& messages);
    // The three steps of LoadFirmwareImage on their own, for procedures that interleave them.
    bool LearnImageLength(const FileStageMessages& messages);             // sets m_imageLength
    bool AllocateImage(uint32_t bufferSize, const FileStageMessages& m);  // zero-filled
    bool ReadImage(bool padOdd, const FileStageMessages& messages);       // into imageBuffer
    void ReleaseImage();
    void PumpMessages();
    void PumpMessagesForMs(uint16_t milliseconds);
    void SettleWait(int32_t seconds);
    bool CheckNoMedium();
    bool SwitchLoader(int settle);
    static std::string SenseReport();
    void SetStage(const std::string& text);
    // Every transfer must fit the transport: the kernel refuses an oversized SG_IO command, it
    // never splits one. False, after a stop box that names the limit, the need and the node,
    // when `largest` bytes exceed what the open drive carries in one command. A procedure calls
    // it before its first command; a drive that did not open is left to fail on that command.
    bool CheckTransferLimit(uint32_t largest, const char* caption);
    // The closing identity check: up to 10 INQUIRY commands (64 KiB) into `into`, until one
    // succeeds with bytes 8 onward equal to `expected`; events are dispatched after each other.
    void PollIdentity(uint8_t* into, const std::string& expected);
    // "Down Load complete" or "Down Load NoGood", no icon, and the outcome to match.
    void ReportVerdict(bool good);
    // A failure row of a procedure: its box, the failed outcome, imageBuffer released.
    void Fail(const std::string& text, const char* caption, unsigned icon = MB_ICONHAND);
    // A procedure states how it ended; the last word counts.
    void ReportOutcome(Outcome outcome) { m_lastOutcome = outcome; }

    // imageBuffer: the procedure's own zero-filled buffer, and the image length S.
    ZeroedBlock m_imageBuffer;
    uint32_t m_imageBufferSize = 0;
    uint32_t m_imageLength = 0;

    // The first field of currentGroup whose text equals `bytes`, dispatching events before each
    // field: over `length` bytes, or over each field's own text length when `length` is 0.
    // -1 when none.
    int MatchGroupPumping(const uint8_t* bytes, int32_t length);

    // ---- procedures (download/*.cpp), one per drive family ----
    // A family whose procedure is not built has no entry in the kind table (drives/dispatch.cpp).
    using Procedure = void (CDISCFLASHDlg::*)();
    static Procedure ProcedureForKind(uint8_t kind);

    void DownloadMicrocode();     // kind 48
    void DownloadLoaderSwitch();  // kinds 4, 17, 18, 19, 20, through their entry points:
    void DownloadKind4() { DownloadLoaderSwitch(); }
    void DownloadKind17() { DownloadLoaderSwitch(); }
    void DownloadKind18() { DownloadLoaderSwitch(); }
    void DownloadKind19() { DownloadLoaderSwitch(); }
    void DownloadKind20() { DownloadLoaderSwitch(); }

  private:
    // Clears m_bBusy and runs Exit: the program ends from inside a procedure.
    void QuitFromProcedure();

    bool m_closed = false;
    Outcome m_lastOutcome = Outcome::NothingDone;
};
