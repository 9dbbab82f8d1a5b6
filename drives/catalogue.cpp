#include "drives/catalogue.h"

#include <cstring>

namespace {

IdentificationState g_identification;

// Every identity a program identifier may program, byte for byte: blanks inside and at the end
// of a text take part in the comparison, and the zero bytes after it keep a too-long compare
// from ever matching. The trailing number is the text length.
constexpr IdentityField kLD3410[] = {
    {"HALVERONCD-RW  KR-3410P"},  // 23
    {"HALVERONCD-RW  KR-3410 "},  // 23
    {"TORVIK  CD-RW  KR-3410 "},  // 23
    {"PELLOWAYCD-RW  ZX3320E "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD3411[] = {
    {"HALVERONCD-RW  KR-3411P"},  // 23
    {"HALVERONCD-RW  KR-3411 "},  // 23
    {"PELLOWAYCD-RW  ZX3329E "},  // 23
    {"KMVR    T470           "},  // 23
    {"MVR     T470           "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD3520[] = {
    {"HALVERONCD-RW  KR-3520P"},  // 23
    {"HALVERONCD-RW  KR-3520 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD3521[] = {
    {"HALVERONCD-RW  KR-3521P"},  // 23
    {"HALVERONCD-RW  KR-3521 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD4630[] = {
    {"HALVERONCD-RW   KR-4630P"},  // 24
    {"HALVERONCD-RW   KR-4630 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD4631[] = {
    {"HALVERONCD-RW  KR-4631P"},  // 23
    {"HALVERONCD-RW  KR-4631 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD4740[] = {
    {"HALVERONCD-RW  KR-4740P"},  // 23
    {"HALVERONCD-RW  KR-4740 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD4741[] = {
    {"HALVERONCD-RW  KR-4741P"},  // 23
    {"HALVERONCD-RW  KR-4741 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD4742[] = {
    {"HALVERONCD-RW  KR-4742P"},  // 23
    {"HALVERONCD-RW  KR-4742 "},  // 23
    {"DATAEND                "},  // 23
};
constexpr IdentityField kLD5850[] = {
    {"HALVERON LQ10A4 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5850 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5860[] = {
    {"HALVERON LQ10A4 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5860 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5861[] = {
    {"HALVERON LQ11A5 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5861 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5862[] = {
    {"HALVERON LQ12A5 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5862 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5871[] = {
    {"HALVERON VD5870 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5871 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5851[] = {
    {"HALVERON LQ11A5 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5851 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLD5852[] = {
    {"HALVERON LQ12A5 DOWNLOAD"},  // 24
    {"HALVERONDVD-ROM VD-5852 "},  // 24
    {"DATAEND                 "},  // 24
};
constexpr IdentityField kLDMULTI[] = {
    {"HALVERONDVD-RAM VR-6910N"},  // 24
    {"HALVERONDVD-RAM VR-6900"},   // 23
    {"HALVERONDVD-RAM VR-6910"},   // 23
    {"HALVERONDVD-R   VR-6910"},   // 23
    {"HALVERONDVD-RAM VR-6920"},   // 23
    {"HALVERONDVD-RAM TB-210"},    // 22
    {"HALVERONTB-215"},            // 14
    {"HALVERONDVD-R   TB-215"},    // 22
    {"HALVERONDVD-R   TB-215A"},   // 23
    {"HALVERONDVD-R   TB-216"},    // 22
    {"HALVERONDVD-RAM TB-215"},    // 22
    {"HALVERONDVD-RAM TB-215A"},   // 23
    {"HALVERONDVD-RAM TB-216"},    // 22
    {"HALVERONDVD-RAM QM-R740"},   // 23
    {"HALVERONDVD-RAM VR-6901"},   // 23
    {"HALVERONDVD-RAM VR-6911"},   // 23
    {"DATAEND               "},    // 22
};

template <size_t N>
constexpr int32_t Count(const IdentityField (&)[N]) {
    return static_cast<int32_t>(N);
}

}  // namespace

// The kinds do not follow the table order everywhere ("LD4631" 18, "LD4740" 17; "LD5862" 37,
// "LD5851" 36): they name procedures, not positions.
const ProgramEntry kProgramTable[] = {
    {"LD3410", kLD3410, Count(kLD3410), 55, 1, 0, false},
    {"LD3411", kLD3411, Count(kLD3411), 10, 2, 0, false},
    {"LD3520", kLD3520, Count(kLD3520), 30, 3, 0, false},
    {"LD3521", kLD3521, Count(kLD3521), 95, 4, 0, false},
    {"LD4630", kLD4630, Count(kLD4630), 10, 16, 24, false},
    {"LD4631", kLD4631, Count(kLD4631), 30, 18, 23, false},
    {"LD4740", kLD4740, Count(kLD4740), 120, 17, 23, false},
    {"LD4741", kLD4741, Count(kLD4741), 20, 19, 23, false},
    {"LD4742", kLD4742, Count(kLD4742), 30, 20, 23, false},
    {"LD5850", kLD5850, Count(kLD5850), 10, 32, 24, false},
    {"LD5860", kLD5860, Count(kLD5860), 10, 33, 24, false},
    {"LD5871", kLD5871, Count(kLD5871), 10, 34, 24, false},
    {"LD5861", kLD5861, Count(kLD5861), 10, 35, 24, false},
    {"LD5862", kLD5862, Count(kLD5862), 10, 37, 24, false},
    {"LD5851", kLD5851, Count(kLD5851), 10, 36, 24, false},
    {"LD5852", kLD5852, Count(kLD5852), 10, 38, 24, false},
    {"LDMULTI", kLDMULTI, Count(kLDMULTI), 120, 48, 24, true},
};
const int kProgramTableSize = static_cast<int>(sizeof(kProgramTable) / sizeof(kProgramTable[0]));
static_assert(sizeof(kProgramTable) / sizeof(kProgramTable[0]) == 17);

const char* const kGenericIds[] = {"HLVDOWNLOAD", "WINDWL2", "DUALDOWNLOAD"};
const int kGenericIdsSize = 3;

const ProgramEntry* FindProgramEntry(const char* id) {
    if (!id) return nullptr;
    for (const ProgramEntry& e : kProgramTable)
        if (std::strcmp(e.id, id) == 0) return &e;
    return nullptr;
}

int FieldLength(const IdentityField& field) {
    return static_cast<int>(strnlen(field.text, sizeof(field.text)));
}

bool FieldEquals(const IdentityField& field, const uint8_t* inquiry, int n) {
    if (n < 0) n = 0;
    if (n > static_cast<int>(sizeof(field.text))) n = sizeof(field.text);
    return std::memcmp(field.text, inquiry + 8, static_cast<size_t>(n)) == 0;
}

IdentificationState& identification() {
    return g_identification;
}
const IdentityGroup*& currentGroup = g_identification.currentGroup;
int32_t& currentGroupCount = g_identification.currentGroupCount;
int32_t& settleSeconds = g_identification.settleSeconds;
