#include "emu/families.h"

#include <cstring>

FamilyProgram FamilyProgramFor(const std::string& programId) {
    struct Entry {
        const char* id;
        FamilyProgram program;
    };
    static const Entry kFamilies[] = {
        {"LD3521", RunLoaderSwitchDrive}, {"LD4631", RunLoaderSwitchDrive},
        {"LD4740", RunLoaderSwitchDrive}, {"LD4741", RunLoaderSwitchDrive},
        {"LD4742", RunLoaderSwitchDrive}, {"LDMULTI", RunMicrocodeDrive},
    };
    for (const Entry& e : kFamilies)
        if (programId == e.id) return e.program;
    return nullptr;
}
