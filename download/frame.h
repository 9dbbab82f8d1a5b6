// What the download procedures share: the file-open filters, the values in which the
// procedures differ, and small helpers for the stage line and the progress bar. The frame's
// operations themselves are members of CDISCFLASHDlg (drives/main_dialog.h, download/frame.cpp).
//
// How a procedure ends. The frame's operations never decide an outcome; the procedure states
// it with ReportOutcome before it returns (the last word counts):
//   - Outcome::Succeeded   when it shows "Down Load complete", or ends well without a box
//                          (the CD-ROM download's stage line, the power-off box);
//   - Outcome::Failed      after any failure message: a file-stage message, a disc in the drive,
//                          a refused identity, a command error (SwitchLoader's own included),
//                          "Down Load NoGood";
//   - Outcome::NothingDone when ChooseFirmwareFile returned false (cancelled, or no file in
//                          batch mode): nothing was loaded or sent.
// A path that does not report keeps what the dispatcher set before the call (NothingDone).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "download/loader_switch.h"
#include "download/microcode.h"
#include "drives/main_dialog.h"

// File-open filters: display text and pattern separated by "|", the list ended by "||".
// The blanks around each part are part of the texts.
inline constexpr char kFilterA[] =
    " Firm Ware Files (*.Bin) | *.Bin; | Binary Files (*.Rom) | *.Rom; | All Files (*.*) | *.*; ||";
inline constexpr char kFilterB[] = " Binary Files (*.Bin) | *.bin; | All Files (*.*) | *.*; ||";
inline constexpr char kFilterC[] =
    " Firm Ware Files (*.Rom) | *.Rom; | Binary Files (*.Bin) | *.bin; | All Files (*.*) | *.*; ||";

inline constexpr char kFileDialogTitle[] = "DOWN LOAD FILE OPEN";
inline constexpr char kHlvCaption[] = "HLV DOWNLOAD";
inline constexpr char kCdRomCaption[] = "CD-ROM DOWNLOAD";
// Written to the stage line between stages.
inline constexpr char kStageClear[] = " ";

// The (display text, pattern) pairs of a filter string, in order, blanks kept. The list ends at
// the first empty display text or pattern ("||"), or with the string; an unpaired display text
// at the end is dropped.
std::vector<std::pair<std::string, std::string>> ParseFileFilter(const char* filter);

// The file lengths a procedure takes. Any other is refused by its length alone, before anything
// is allocated, read or sent: `refusal`, then "(N bytes: <what> holds LEAST to MOST bytes)"
// ("at most MOST" when LEAST is 0). A file shorter than LEAST gets `tooShort` instead where
// that is set, and its length goes into a note.
struct ImageSizes {
    uint32_t least;
    uint32_t most;
    const char* refusal;
    const char* what = "an image";
    const char* tooShort = nullptr;
};

// The values in which the download procedures differ.
struct ProcedureFrame {
    const char* procedure;  // the member that uses them
    const char* filter;
    const char* initialName;
    const char* defaultExt;
    uint32_t bufferSize;  // imageBuffer
    bool padOdd;          // an odd length gets a 0xFF byte appended
    FileStageMessages messages;
    ImageSizes sizes;
};

inline constexpr FileStageMessages kPlainFileMessages{"File not found", "Memory not allocated",
                                                      "Down load file open error", kHlvCaption};
inline constexpr FileStageMessages kCdFileMessages{
    "File not found(CD-001)", "Memory not allocated(CD-002)", "Down load file open error(CD-004)",
    kCdRomCaption};
inline constexpr FileStageMessages kNgFileMessages{
    "File not found(NG-001)", "Memory not allocated(NG-002)", "Down load file open error(NG-004)",
    kHlvCaption};

inline constexpr uint32_t k1MiB = 1048576;
inline constexpr uint32_t k512KiB = 524288;
inline constexpr uint32_t k256KiB = 262144;
// The image header, in front of the body that the loaders' READ BUFFER of buffer 1 returns.
inline constexpr uint32_t kImageHeaderSize = 32;

inline constexpr char kNotFirmware[] = "This File Is not  F/W";
inline constexpr char kInvalidFormat[] = "Invalid format";

// Kind 48: the last piece is copied whole from behind the header, inside the buffer.
inline constexpr ProcedureFrame kFrameMicrocode{
    "DownloadMicrocode",
    kFilterA,
    "*.BIN",
    "BIN",
    k1MiB,
    false,
    kPlainFileMessages,
    {kMicrocodeHeaderSize + 1, kMicrocodeImageMax, kNotFirmware}};
// Kinds 4, 17, 18, 19, 20: the read-back lands behind the image in the same buffer.
inline constexpr ProcedureFrame kFrameLoaderSwitch{
    "DownloadLoaderSwitch",
    kFilterA,
    "*.BIN",
    "BIN",
    k1MiB,
    true,
    kPlainFileMessages,
    {kLoaderHeaderSize, k1MiB - kLoaderPieceSize, kNotFirmware}};
// Kind 34.
inline constexpr ProcedureFrame kFrameCdRom{
    "DownloadCdRom", kFilterB,
    "*.BIN",         "BIN",
    k256KiB,         true,
    kCdFileMessages, {kImageHeaderSize, k256KiB, kCdFileMessages.openError}};
// Kinds 16, 32: a file too short to hold an identity has no format to speak of.
inline constexpr ProcedureFrame kFrameCheckedImage{
    "DownloadCheckedImage",
    kFilterB,
    "*.BIN",
    "BIN",
    k512KiB,
    true,
    kNgFileMessages,
    {kImageHeaderSize, k512KiB, kNgFileMessages.openError, "an image", kInvalidFormat}};
// Kinds 33, 35, 36, 37, 38.
inline constexpr ProcedureFrame kFrameCdRomPowerOff{
    "DownloadCdRomPowerOff",
    kFilterB,
    "*.BIN",
    "BIN",
    k256KiB,
    true,
    kCdFileMessages,
    {kImageHeaderSize, k256KiB, kCdFileMessages.openError}};
// Kinds 1, 2, 3: a longer file would not fit the drive's ROM.
inline constexpr ProcedureFrame kFrameRomImage{"DownloadRomImage",
                                               kFilterC,
                                               "*.ROM",
                                               "ROM",
                                               k1MiB,
                                               false,
                                               kPlainFileMessages,
                                               {0, k1MiB, kInvalidFormat, "a ROM image"}};

inline constexpr const ProcedureFrame* kProcedureFrames[] = {
    &kFrameMicrocode,    &kFrameLoaderSwitch,  &kFrameCdRom,
    &kFrameCheckedImage, &kFrameCdRomPowerOff, &kFrameRomImage};

// Loading (LoadFirmwareImage, or its three steps in this order):
//   - LearnImageLength: anything but a readable regular file gets the first message and a note
//     that says why; a length outside the procedure's ImageSizes gets its refusal. Nothing of
//     the file is read, so its length may be anything a file system holds;
//   - AllocateImage: a file longer than the buffer gets the third message before anything is
//     allocated, so a procedure that interleaves commands refuses it before sending any;
//   - ReadImage: reads until end of file, never past the buffer; a file whose length changed
//     since it was learnt, or an odd one that leaves no room for the pad byte, gets the third
//     message. The buffer beyond the image is zero afterwards, whatever lay there before.
// Every failure has shown its message and released imageBuffer.

// Progress conventions of a chunked stage: range 0..chunks, step 1, position 0 before the
// first command; one step per successful chunk; the end position when the stage is complete.
void ProgressBegin(int32_t chunks);
void ProgressAdvance();
void ProgressEnd(int32_t position);

// INQUIRY (allocation 36) taking `hostLength` bytes into `into`, cleared first so that nothing
// of an earlier answer passes for this one.
bool Inquire(uint8_t* into, uint32_t hostLength);

// Whether the drive runs its loader, as far as a procedure knows: it started there
// (m_bFirstIdentity), or the procedure's own switch into it succeeded and it has not left since.
// SwitchLoader toggles between the two programs, so "leave the loader" sent to a drive that
// never entered it would put it into its loader: Leave sends nothing then.
class LoaderSide {
  public:
    LoaderSide(CDISCFLASHDlg& dlg, bool inLoader) : dlg_(dlg), in_(inLoader) {}
    // SwitchLoader(0): into the loader.
    bool Enter() {
        if (!in_) in_ = dlg_.SwitchLoader(0);
        return in_;
    }
    // SwitchLoader(1), its result otherwise not examined: back to the main program.
    void Leave() {
        if (in_) in_ = !dlg_.SwitchLoader(1);
    }
    bool In() const { return in_; }

  private:
    CDISCFLASHDlg& dlg_;
    bool in_;
};

// Whether `path` names a regular file that this process can open for reading; nothing shown.
bool ImageFileOpens(const std::string& path);
