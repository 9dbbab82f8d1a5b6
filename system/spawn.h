// Starting another program from one that may hold capabilities or run as root: by absolute path
// (no shell, no search), with an empty environment, every signal at its default and none blocked,
// standard input on /dev/null, standard output and error captured, no other descriptor inherited.
#pragma once

#include <sys/types.h>

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

// A pipe whose ends lie above the standard descriptors: one of those may be closed, and an end
// that is already 1 or 2 would keep its close-on-exec flag through dup2. False with errno set.
bool PipeAboveStandard(int fds[2]);

// Starts `path` (no shell, no search) with `argv` and `envp`: standard input on /dev/null,
// output and error onto the given descriptors, no other descriptor inherited, no signal blocked;
// with `defaultSignals` every signal at its default action, else as this process has them
// (ignored ones stay ignored). 0, or the errno of the failure.
int StartProgram(const char* path, const std::vector<std::string>& argv, char* const envp[],
                 int outFd, int errFd, bool defaultSignals, pid_t& pid);
