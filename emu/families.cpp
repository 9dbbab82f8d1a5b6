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
        {"LD3410", RunRomImageDrive},     {"LD3411", RunRomImageDrive},
        {"LD3520", RunRomImageDrive},
        {"LD4630", RunImageLoaderDrive},  {"LD5850", RunImageLoaderDrive},
        {"LD5871", RunImageLoaderDrive},  {"LD5860", RunImageLoaderDrive},
        {"LD5861", RunImageLoaderDrive},  {"LD5862", RunImageLoaderDrive},
        {"LD5851", RunImageLoaderDrive},  {"LD5852", RunImageLoaderDrive},
    };
    for (const Entry& e : kFamilies)
        if (programId == e.id) return e.program;
    return nullptr;
}
