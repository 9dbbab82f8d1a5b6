// Every test process, and every program it starts, keeps its history in a directory of its own:
// no test ever writes the user's.
#include <stdlib.h>

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

}  // namespace
