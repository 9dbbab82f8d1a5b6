// Downloads by the loaders that take the whole image into their buffer (kinds 16, 32, 34 and the
// power-off kinds 33, 35-38): the command sequences of whole downloads as the trace shows them,
// for drives with no disc, and the rows of failing ones.
#pragma once

#include <algorithm>
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

// The power-off kinds (only the writes of a transfer count).
inline std::vector<std::string> PowerOffDownload(uint8_t kind, const Transfer& t, bool inLoader) {
    std::vector<std::string> c = {Inquiry()};
    if (!inLoader) Add(c, {Switch()[0], Switch()[1], Inquiry()});
    if (kind == 33) Add(c, "3c010101ffdd00000200 in 2");
    if (kind == 35 || kind == 37) Add(c, "3c010100600900000200 in 4");
    for (const Piece& p : t.writes) Add(c, Write(5, p.bufferId, p.offset, p.length));
    if (kind == 35) return c;  // left in its loader
    Add(c, Switch());
    Add(c, kTur, 2);
    Add(c, kTur, 5);
    Add(c, {Inquiry(), Inquiry()});
    return c;
}

// ---- failures ----

using Mutation = void (*)(std::vector<uint8_t>& image);
template <uint32_t N>
void ResizeTo(std::vector<uint8_t>& image) {
    image.resize(N, 0x5A);
}
// Bytes 0..23 name another loader (no sum covers them).
inline void OtherLoader(std::vector<uint8_t>& image) {
    image[12] = 'X';
}

// A download that fails, and how it must end.
struct FailureRow {
    const char* what;
    const char* program;
    std::vector<std::string> drives;  // --emulate values
    int select;       // -1: the file from the command line; else the drive picked, file from dialog
    uint32_t size;    // of the sample image
    Mutation mutate;  // null: the sample as it is
    std::vector<std::string> boxes;  // caption|icon|text, in order
    int switches;                    // 0xCC commands sent; -1: no command at all
    bool inLoader;                   // the drive runs its loader at the end
    int writes = -1;                 // WRITE BUFFER commands sent; -1: not counted
    const char* stage = "";          // the stage line at the end
};

// Runs a row on both transports.
inline void RunFailureRow(const FailureRow& row) {
    for (TransportChoice t : kBothTransports) {
        SCOPED_TRACE(std::string(row.what) + " " + TransportName(t));
        EmulatedRun run;
        run.program = row.program;
        run.drives = row.drives;
        run.transport = t;
        run.commandLine = row.select < 0;
        run.select = row.select;
        run.image = EmulatedRun::Sample(row.program, row.size);
        if (row.mutate) row.mutate(run.image);
        const bool asked =
            row.select >= 0 && PickedOfAnotherFamily(run, row.program, row.drives[row.select]);
        run.Run();
        const EmulatedDrive& drive = *run.emulated[row.select < 0 ? 0 : row.select];
        std::vector<std::string> boxes = Boxes(run.messages);
        if (asked) TakeQuestion(boxes, row.program);
        EXPECT_EQ(boxes, row.boxes);
        EXPECT_EQ(run.ui().stage, row.stage);
        EXPECT_EQ(run.outcome, Outcome::Failed);
        EXPECT_EQ(run.commands.empty(), row.switches < 0);
        EXPECT_EQ(drive.CountOf(0xCC), std::max(row.switches, 0));
        EXPECT_EQ(drive.InLoader(), row.inLoader);
        if (row.writes >= 0) {
            EXPECT_EQ(drive.CountOf(0x3B), row.writes);
        }
    }
}

}  // namespace expect
