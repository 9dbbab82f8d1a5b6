// The main dialog's logic and state, free of any toolkit. The Qt window and the console front
// end show it through the UI port (rt().ui). The commands, the identification, the procedure
// frame and the procedures are its members and take no arguments where the procedures are
// concerned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drives/catalogue.h"
#include "system/history.h"
#include "system/ports.h"
#include "system/zeroed_block.h"

struct Piece;
enum class TransferForm;
struct CdRomFlow;
struct ProcedureFrame;

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
    // Why the last DownLoad did nothing, for a front end that cannot just stay idle; null when
    // it did something.
    const char* NothingDoneReason() const { return m_nothingDone; }
    // What the history keeps of the running DownLoad that the dispatcher does not see itself:
    // the image as read from its file (ReadImage) and the identity the drive reported after it
    // stored the image (KeepIdentityAfter).
    DownloadRecord m_record;
    // A procedure's closing INQUIRY answer, of which `received` bytes are the drive's.
    void KeepIdentityAfter(const uint8_t* inquiry, uint32_t received);

    // ---- procedure frame (download/frame.cpp) ----
    bool ChooseFirmwareFile(const char* filter, const char* initialName, const char* defaultExt);
    // Learns the length, allocates imageBuffer, reads the file, pads an odd length when asked.
    // False after its message (imageBuffer released).
    bool LoadFirmwareImage(const ProcedureFrame& frame);
    // The three steps of LoadFirmwareImage on their own, for procedures that interleave them.
    // The first refuses a length outside the frame's sizes, before anything is allocated or sent.
    bool LearnImageLength(const ProcedureFrame& frame);                   // sets m_imageLength
    bool AllocateImage(uint32_t bufferSize, const FileStageMessages& m);  // zero-filled
    bool ReadImage(bool padOdd, const FileStageMessages& messages);       // into imageBuffer
    void ReleaseImage();
    void PumpMessages();
    void PumpMessagesForMs(uint16_t milliseconds);
    // Dispatches events until the calendar clock has passed `seconds` whole seconds beyond the
    // second it started in: between n and n + 1 seconds, also when the system time is stepped.
    void PumpMessagesForSeconds(int32_t seconds);
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
    // The closing identity check: up to 10 INQUIRY commands into `into`, until one succeeds with
    // bytes 8 onward equal to `expected`; events are dispatched after each other, followed by a
    // pause of `pauseSeconds` (PumpMessagesForSeconds) when that is above 0. Each INQUIRY asks
    // for 64 KiB, or for `allocation` bytes when that is not 0. True when one matched.
    bool PollIdentity(uint8_t* into, const std::string& expected, uint8_t allocation = 0,
                      int32_t pauseSeconds = 0);
    // "Down Load complete" or "Down Load NoGood", no icon, and the outcome to match.
    void ReportVerdict(bool good);
    // A failure row of a procedure: its box, the failed outcome, imageBuffer released.
    void Fail(const std::string& text, const char* caption, unsigned icon = MB_ICONHAND);
    // A procedure states how it ended; the last word counts.
    void ReportOutcome(Outcome outcome) { m_lastOutcome = outcome; }
    // The pieces of a transfer in order (WRITE BUFFER mode 5 from `buffer`, or READ BUFFER of
    // the vendor mode into it, each at its own offset), dispatching events after each command;
    // the bar steps after every piece but the last. False at the first piece that fails, or
    // that would pass the end of `buffer` (`capacity` bytes), which is then not sent.
    bool TransferPieces(TransferForm form, const std::vector<Piece>& plan, uint8_t* buffer,
                        uint64_t capacity);
    // Compares the image body (the S - 32 bytes from image offset 32) with what the drive read
    // back; the bar steps every 10 bytes. False after "Down Load fault(Verify)".
    bool VerifyReadBack(uint32_t S, const uint8_t* body, const uint8_t* readBack);

    // imageBuffer: the procedure's own zero-filled buffer, and the image length S.
    ZeroedBlock m_imageBuffer;
    uint32_t m_imageBufferSize = 0;
    uint32_t m_imageLength = 0;
    // The identity a procedure found in the image and expects the drive to report, for the
    // image check (--check); left empty by procedures that look for none.
    std::string m_imageIdentity;

    // The first field of currentGroup whose text equals `bytes`, dispatching events before each
    // field: over `length` bytes, or over each field's own text length when `length` is 0.
    // -1 when none.
    int MatchGroupPumping(const uint8_t* bytes, int32_t length);

    // ---- procedures (download/*.cpp), one per drive family ----
    // A family whose procedure is not built has no entry in the kind table (drives/dispatch.cpp).
    using Procedure = void (CDISCFLASHDlg::*)();
    static Procedure ProcedureForKind(uint8_t kind);

    void DownloadRomImage();      // kinds 1, 2, 3
    void DownloadMicrocode();     // kind 48
    void DownloadLoaderSwitch();  // kinds 4, 17, 18, 19, 20, through their entry points:
    void DownloadKind4() { DownloadLoaderSwitch(); }
    void DownloadKind17() { DownloadLoaderSwitch(); }
    void DownloadKind18() { DownloadLoaderSwitch(); }
    void DownloadKind19() { DownloadLoaderSwitch(); }
    void DownloadKind20() { DownloadLoaderSwitch(); }
    void DownloadCheckedImage();   // kinds 16, 32
    void DownloadCdRom();          // kind 34
    void DownloadCdRomPowerOff();  // kinds 33, 35, 36, 37, 38

  private:
    // Clears m_bBusy and runs Exit: the program ends from inside a procedure.
    void QuitFromProcedure();
    // A host call that may wait for polkit's password dialog while the window pumps: m_bBusy is
    // set meanwhile, so the window repaints but its commands stay inert. The call's result.
    int WhileBusy(int (*call)());
    // The CD-ROM download and its power-off variant: one flow, their differences as data.
    void DownloadCdRomFlow(const CdRomFlow& flow);

    bool m_closed = false;
    Outcome m_lastOutcome = Outcome::NothingDone;
    const char* m_nothingDone = nullptr;
};
