// Every test process, and every program it starts, keeps its history in a directory of its own:
// no test ever writes the user's. And every program it starts meets the default dispositions of
// the stop signals: a shell that runs the tests in the background ignores SIGINT and SIGQUIT,
// nohup SIGHUP, and the program keeps a signal ignored at its start ignored.
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <string>

namespace {

struct PrivateStateHome {
    std::string dir;
    PrivateStateHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "discflash-state-XXXXXX");
        if (::mkdtemp(pattern.data())) dir = pattern;
        // Without a directory of its own the history goes nowhere rather than home.
        ::setenv("XDG_STATE_HOME", dir.empty() ? "/dev/null/discflash-tests" : dir.c_str(), 1);
    }
    ~PrivateStateHome() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
} g_stateHome;

const bool g_stopSignalsDefault = [] {
    for (int signo : {SIGHUP, SIGINT, SIGQUIT}) std::signal(signo, SIG_DFL);
    return true;
}();

}  // namespace
