// Every test process, and every program it starts, keeps its history in a directory of its own:
// no test ever writes the user's. And every program it starts meets the default dispositions of
// the stop signals: a shell that runs the tests in the background ignores SIGINT and SIGQUIT,
// nohup SIGHUP, and the program keeps a signal ignored at its start ignored.
#include <stdlib.h>

#include <csignal>

#include "support/scratch_dir.h"

namespace {

struct PrivateStateHome : ScratchDir {
    // Without a directory of its own the history goes nowhere rather than home.
    PrivateStateHome() : ScratchDir("discflash-state") {
        ::setenv("XDG_STATE_HOME", path.empty() ? "/dev/null/discflash-tests" : path.c_str(), 1);
    }
} g_stateHome;

const bool g_stopSignalsDefault = [] {
    for (int signo : {SIGHUP, SIGINT, SIGQUIT}) std::signal(signo, SIG_DFL);
    return true;
}();

}  // namespace
