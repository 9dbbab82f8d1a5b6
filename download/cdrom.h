// The CD-ROM download (kind 34): the data of its flow and its pure pieces.
#pragma once

#include <cstdint>

#include "download/frame.h"

// The flow's data; the flow itself is CDISCFLASHDlg::DownloadCdRomFlow.
struct CdRomFlow {
    const ProcedureFrame& frame;
    bool stageLine;               // writes its stage texts
    bool checksum;                // CheckCdRomImageSum before anything is sent
    uint32_t closingInquiryHost;  // host length of the INQUIRY after leaving the loader
};

// The loader compares this many identity bytes (INQUIRY bytes 8..31).
inline constexpr int32_t kCdRomIdentityLength = 24;

// The 16-bit sum of the little-endian words at even offsets 32..154 and from 160 to S, which
// the word at 156 must equal; bytes 0..31 and 156..159 are never summed, bytes from S on count
// as zero and are never read.
uint16_t CdRomImageSum(const uint8_t* image, uint32_t S);
bool CheckCdRomImageSum(const uint8_t* image, uint32_t S);
inline constexpr uint32_t kCdRomSumOffset = 156;
