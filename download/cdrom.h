// The CD-ROM download (kind 34) and its power-off variant (kinds 33, 35, 36, 37, 38): the data
// in which they differ and their pure pieces.
#pragma once

#include <cstdint>

#include "download/frame.h"

// What sets the two procedures apart; the flow itself is CDISCFLASHDlg::DownloadCdRomFlow.
struct CdRomFlow {
    const ProcedureFrame& frame;
    bool stageLine;               // writes its stage texts
    bool checksum;                // CheckCdRomImageSum before anything is sent
    bool senseAfterInquiry;       // a failed first INQUIRY also shows its sense, "%02x-%02x%02x"
    bool readBack;                // the image in one WRITE BUFFER of buffer 1, read back and
                                  // compared; else by the transfer piece rule, then settled
    uint32_t closingInquiryHost;  // host length of the INQUIRY after leaving the loader
    bool confirmsLoaderLeft;      // ends by checking the loader identity is gone, with a box
};

// What each kind does in the flow.
struct CdRomKind {
    uint8_t kind;
    bool checksIdentities;  // the loader's identity against the group and the image header
    uint32_t configOffset;  // READ BUFFER offset of the configuration byte; 0: none carried
    uint32_t configHost;    // host length of that READ BUFFER
    bool powerOff;          // ends in its loader: the PC is to be switched off
};
// The row of a kind, or null.
const CdRomKind* FindCdRomKind(uint8_t kind);

// The loaders compare this many identity bytes (INQUIRY bytes 8..31).
inline constexpr int32_t kCdRomIdentityLength = 24;

// The 16-bit sum of the little-endian words at even offsets 32..154 and from 160 to S, which
// the word at 156 must equal; bytes 0..31 and 156..159 are never summed, bytes from S on count
// as zero and are never read.
uint16_t CdRomImageSum(const uint8_t* image, uint32_t S);
bool CheckCdRomImageSum(const uint8_t* image, uint32_t S);
inline constexpr uint32_t kCdRomSumOffset = 156;

// Carries the configuration byte `first` that the drive of `kind` returned into the image:
// kind 33 at file offset 0x1FFFD (the byte keeps its body offset); kinds 35 and 37 as the bytes
// 40..43 of their tables, unchanged for a value the table does not list; other kinds nothing.
// `image` holds at least 0x1FFFE bytes (the 256 KiB buffer).
void CarryConfiguration(uint8_t kind, uint8_t first, uint8_t* image);
inline constexpr uint32_t kCarriedByteOffset = 0x1FFFD;
inline constexpr uint32_t kConfigBytesOffset = 40;
