// --check: an image through the download procedure of each family, every one against a default
// emulated drive of its family on the virtual clock, before any real drive is touched. Nothing
// is shown: what a procedure would have said is kept for its family's line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/runtime.h"

struct Options;

struct FamilyCheck {
    enum class Verdict { Accepted, Refused, NotChecked };
    std::string id;
    Verdict verdict = Verdict::NotChecked;
    bool examined = true;  // the family's procedure looks into the image's content
    // Accepted: what the drive was sent, and the identity the procedure found in the image.
    uint32_t bytes = 0;
    int pieces = 0;
    std::string identity;
    // What the procedure said, in order; not checked: why not.
    std::vector<std::string> messages;
    std::vector<std::string> notes;  // why, in Linux terms (a file that cannot be read, ...)
    std::string reason;
    bool quit = false;  // the procedure would have ended the program
};

// The families of the catalogue in order, or only `onlyId` when it names one exactly. The
// process-wide state is reset before and after each family.
std::vector<FamilyCheck> CheckImage(const std::string& path, const std::string& onlyId,
                                    TransportChoice transport);

// One line a family: "LD3410   accepted: ...", "... refused: \"Invalid format\"".
std::string CheckLine(const FamilyCheck& check);

// The families' notes on standard error, each once, in order: most apply to the file, not to
// one family.
void PrintCheckNotes(const std::vector<FamilyCheck>& checks);

// 0 when a family that examines the content accepts the image, 1 otherwise.
int CheckStatus(const std::vector<FamilyCheck>& checks);

// --check for one drive (--device=PATH, or the one --emulate): the scan's INQUIRY, the only
// command the drive receives, identifies it; the family DownLoad would pick for it with the
// image on the command line judges the image against an emulated stand-in with the drive's
// identity and loader state, untraced. One line; 0 accepted, 1 refused, 2 the drive not found
// or not answering, 3 of no known family. The ports must be plugged.
int RunDriveCheck(const Options& o, UiPort* (*wrapUi)(UiPort*));
