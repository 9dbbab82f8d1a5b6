// The command sequences of whole downloads by the loaders that take the whole image into their
// buffer (kinds 16, 32, 34), as the trace shows them, for drives with no disc.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "download/pieces.h"
#include "support/emulated_run.h"

namespace expect {

// A transfer of a file of `size` bytes: the WRITE BUFFER pieces, and the READ BUFFER pieces
// (all of buffer 1).
struct Transfer {
    uint32_t size;
    std::vector<Piece> writes;
    std::vector<Piece> reads;
};

// Kind 34: one write of buffer 1, the read-back of the examples.
inline const Transfer kCdRom32768 = {32768, {{0, 32768, 1}}, {{0, 32736}, {32768, 32}}};
inline const Transfer kCdRom262144 = {262144,
                                      {{0, 262144, 1}},
                                      {{0, 262112},
                                       {32768, 32},
                                       {65536, 32},
                                       {98304, 32},
                                       {131072, 32},
                                       {163840, 32},
                                       {196608, 32},
                                       {229376, 32},
                                       {262144, 32736}}};

// Kinds 16 and 32: both sides of the chunked boundary, and a last piece shorter than the rest.
inline const Transfer kChecked[] = {
    {40001, {{0, 40002, 0}}, {{0, 39970}, {32768, 32}, {65536, 7202}}},
    {65535, {{0, 65536, 0}}, {{0, 65504}, {32768, 32}, {65536, 32736}}},
    {65536, {{0, 32768, 0}, {32768, 32768, 1}}, {{0, 32768}, {32768, 32768}}},
    {100001,
     {{0, 32768, 0}, {32768, 32768, 0}, {65536, 32768, 0}, {98304, 1698, 1}},
     {{0, 32768}, {32768, 32768}, {65536, 32768}, {98304, 1698}}},
};

inline void AddPieces(std::vector<std::string>& c, const Transfer& t) {
    for (const Piece& p : t.writes) Add(c, Write(5, p.bufferId, p.offset, p.length));
    for (const Piece& p : t.reads) Add(c, Read(1, 1, p.offset, p.length));
}

// Kind 34, from a drive in its main program or (inLoader) in its loader.
inline std::vector<std::string> CdRomDownload(const Transfer& t, bool inLoader) {
    std::vector<std::string> c = {Inquiry()};
    if (!inLoader) Add(c, {Switch()[0], Switch()[1], Inquiry()});
    AddPieces(c, t);
    Add(c, Switch());  // leaving the loader, then its settle
    Add(c, kTur, 2);
    Add(c, kTur, 5);  // none succeeds without a disc
    Add(c, Inquiry(1024));
    return c;
}

// Kinds 16 and 32.
inline std::vector<std::string> CheckedDownload(const Transfer& t, bool inLoader) {
    std::vector<std::string> c = {Inquiry(1024)};
    if (!inLoader) Add(c, {Switch()[0], Switch()[1], Inquiry(1024)});
    AddPieces(c, t);
    Add(c, kTur, 5);
    Add(c, Switch());
    Add(c, kTur, 2);
    return c;
}

}  // namespace expect
