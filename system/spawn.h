// Starting another program from one that may hold capabilities or run as root: by absolute path
// (no shell, no search), with an empty environment, every signal at its default and none blocked,
// standard input on /dev/null, standard output and error captured, no other descriptor inherited.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProgramEnd {
    int err = 0;         // errno when the program could not be started
    int status = -1;     // its exit status; -1 when it did not exit (not started, or a signal)
    std::string output;  // what it wrote on standard output and error, the first 4 KiB
};

// Runs argv[0] with the arguments and waits for its end, calling `waiting` (may be empty) every
// 100 ms meanwhile, so that a window keeps painting.
ProgramEnd SpawnAndWait(const std::vector<std::string>& argv, const std::function<void()>& waiting);
