// --list: every CD/DVD device of the transport as the scan finds it, with what a user wants to
// know before a download: which program serves it, whether it runs its loader, whether this
// process may program it, who else has it open, and whether the kernel polls it for media.
#pragma once

#include <string>
#include <vector>

#include "system/ports.h"

struct Options;
class SilentUi;

struct ListedDrive {
    std::string node;       // the transport's node: /dev/sr0 or /dev/sg1
    std::string otherNode;  // the same drive's node of the other transport; empty when unknown
    std::string hctl;       // "host:channel:target:lun"; empty when unknown
    std::string identity;   // INQUIRY bytes 8 to 31, trailing zero bytes dropped; raw
    std::string revision;   // bytes 32 to 35, likewise
    std::vector<std::string> programs;  // every program name whose group takes the drive
    bool inLoader = false;              // it reports its loader's identity
    std::string access;                 // ok, no-rights, held or error
    std::string accessReason;           // why not ok
    std::vector<NodeUser> openBy;       // other processes with one of its nodes open
    std::string polling;                // on, off or unknown
};

// The scan of the transport in force (its INQUIRY the only command a drive receives), then for
// each drive: its nodes, its families, a download's open and the back end's rights check (no
// command), who has it open and its media polling, all through the plugged ports. False when
// the transport cannot list at all; its message has been shown.
bool ListDrives(std::vector<ListedDrive>& drives);

// A header line and one line per drive, then why each drive that is not ok is not; every byte
// from outside printable.
std::string DriveListTable(const std::vector<ListedDrive>& drives);
// {"drives":[...]} on one line.
std::string DriveListJson(const std::vector<ListedDrive>& drives);

// Columns as wide as their widest cell, two blanks apart, each line after `indent`; the last
// column is not padded.
std::string TextTable(const std::vector<std::vector<std::string>>& rows, const char* indent = "");

// What a scan said through a SilentUi, on standard error: its boxes' texts after the program's
// name, each note once after "note: ".
void PrintScanSaid(const SilentUi& said);

// The whole --list run over the plugged ports: the list on standard output, the scan's messages
// and notes on standard error. 0 when listed (none found included), 1 when the listing failed.
int RunDriveList(const Options& o, UiPort* (*wrapUi)(UiPort*));
