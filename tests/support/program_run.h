// The real binary run as a user runs it, standard output and error captured.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "discflash_" + std::to_string(getpid()) + "_" + name;
}

inline std::string Slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs bin/NAME with the arguments; standard output and error captured through files.
inline ProgramRun RunProgram(const std::string& name, const std::vector<std::string>& args) {
    std::string outPath = TempPath("out"), errPath = TempPath("err");
    std::string cmd = std::string(DISCFLASH_BIN_DIR) + "/" + name;
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " </dev/null >" + outPath + " 2>" + errPath;
    ProgramRun r;
    int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(outPath);
    r.err = Slurp(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return r;
}

inline bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

inline int Count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}
