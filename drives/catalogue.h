// The program identifier table and the catalogue of drive identities: constant data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A 25-byte identity field: up to 24 characters of text, then zero bytes.
struct IdentityField {
    char text[25];
};

// A group is an array of fields ending with its "DATAEND" field (counted).
using IdentityGroup = IdentityField;

struct ProgramEntry {
    const char* id;              // "LD3410" ...
    const IdentityGroup* group;  // first field
    int32_t count;               // fields, closing field included
    int32_t settleSeconds;
    uint8_t kind;
    int32_t compareLength;  // 0: leave the scan's default (23)
    bool perFieldLength;    // "LDMULTI": each field over its own text length
};

// In the order they are tested.
extern const ProgramEntry kProgramTable[];
extern const int kProgramTableSize;

// The ROM-image families (kinds 1 to 3) and the microcode family (48) program the running
// firmware; every other family's drive has a loader, which reports its group's first identity.
inline bool HasLoader(const ProgramEntry& entry) {
    return entry.kind > 3 && entry.kind != 48;
}

// The program table entry for an identifier spelled exactly, or null.
const ProgramEntry* FindProgramEntry(const char* id);

extern const char* const kGenericIds[];  // "HLVDOWNLOAD", "WINDWL2", "DUALDOWNLOAD"
extern const int kGenericIdsSize;

// Text length of a field (up to its first zero byte, at most 25).
int FieldLength(const IdentityField& field);

// How many identity bytes a program's group is compared over: its own, or the scan's default.
constexpr int32_t kDefaultCompareLength = 23;
inline int32_t CompareLengthOf(const ProgramEntry& entry) {
    return entry.compareLength ? entry.compareLength : kDefaultCompareLength;
}

// Whether a drive's identity (INQUIRY bytes from 8 on) begins with the field's text over n
// bytes; n is clamped to the field, since the record has room for more bytes than a field.
bool FieldEquals(const IdentityField& field, const uint8_t* inquiry, int n);

// The field of a group that a drive's INQUIRY data matches, compared as identification compares
// it: over `length` bytes, or over each field's own text length in the "LDMULTI" group, which
// also takes the "HALVERONDVD-RAM QM-R5" drives as members (kFamilyMember). kNoField: none.
constexpr int kNoField = -1;
constexpr int kFamilyMember = -2;
int GroupFieldMatch(int32_t length, const IdentityGroup* group, int32_t count,
                    const uint8_t* inquiry);
// Whether the entry's group takes the drive, over the entry's own compare length.
bool TakesDrive(const ProgramEntry& entry, const uint8_t* inquiry);
// Whether the drive runs the entry's loader: it reports the first identity of a group whose family
// has one.
bool InItsLoader(const ProgramEntry& entry, const uint8_t* inquiry);
// The program table entries whose groups take the drive, each over its own compare length, in
// table order.
std::vector<const ProgramEntry*> FamilyEntriesOf(const uint8_t* inquiry);
// Whether the drive belongs to any group of the table, each with its own compare length.
bool OfKnownFamily(const uint8_t* inquiry);
// The program identifiers whose groups take the drive, as OfKnownFamily compares: "LD5850, LD5860".
std::string FamiliesOf(const uint8_t* inquiry);

// Identification state of the process.
struct IdentificationState {
    const IdentityGroup* currentGroup = nullptr;
    int32_t currentGroupCount = -1;
    int32_t settleSeconds = 0;
    void Reset() { *this = IdentificationState{}; }
};
IdentificationState& identification();
extern const IdentityGroup*& currentGroup;
extern int32_t& currentGroupCount;
extern int32_t& settleSeconds;
