// discflash-docgen: writes the manual pages and the shell completion from the programs' own
// tables. Run by the build; not installed.
//
//   discflash-docgen man TEMPLATE OUT
//   discflash-docgen completion OUT
//   discflash-docgen names            (the program names, one a line)
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/docgen/docs.h"

namespace {

bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "discflash-docgen: cannot write '%s'\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "names" && argc == 2) {
        for (const std::string& name : ProgramNames()) std::cout << name << "\n";
        return 0;
    }
    if (mode == "completion" && argc == 3) return Write(argv[2], BashCompletion()) ? 0 : 1;
    if (mode == "man" && argc == 4) {
        std::ifstream in(argv[2], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "discflash-docgen: cannot read '%s'\n", argv[2]);
            return 1;
        }
        std::stringstream tmpl;
        tmpl << in.rdbuf();
        std::string page, error;
        if (!FillManPage(tmpl.str(), DISCFLASH_VERSION, page, error)) {
            std::fprintf(stderr, "discflash-docgen: %s: %s\n", argv[2], error.c_str());
            return 1;
        }
        return Write(argv[3], page) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: discflash-docgen man TEMPLATE OUT | completion OUT | names\n");
    return 64;
}
