// The real binary started as a careless or hostile parent might: descriptors, signals, display.
#include "app/cli/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>

#include "support/program_run.h"

namespace {

// Runs `script` under bash ($P the programs' directory, $IMAGE an LD3411 image), which execs the
// program last: its status (1000 + N when signal N killed it) and all its output.
std::pair<int, std::string> Bash(const std::string& script) {
    const std::string path = TempPath("start_run.sh"), out = TempPath("start_out"),
                      image = TempPath("LD3411.bin");
    std::ofstream(path) << "P=" DISCFLASH_BIN_DIR "\nIMAGE=" << image << "\n"
                        << "$P/discflash-mkimage LD3411 $IMAGE >/dev/null\n"
                        << script << "\n";
    const int raw = std::system(("exec bash " + path + " </dev/null >" + out + " 2>&1").c_str());
    const std::string output = Slurp(out);
    for (const std::string& file : {path, out, image}) std::remove(file.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw), output};
}

}  // namespace

// Whatever reaches the program, a download runs to its end. A held signal ends the program
// afterwards, or outside a download at once with 128 + N; an ignored one changes nothing.
TEST(Startup, SignalsNeverCutADownloadShort) {
    enum Kind { kHeld, kIgnored, kIgnoredAtStart };
    const std::pair<Kind, std::vector<int>> cases[] = {
        {kHeld,
         {SIGINT, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR, SIGSTKFLT,
          SIGRTMIN, SIGRTMAX}},
        {kIgnored, {SIGPIPE, SIGXFSZ, SIGIO}},
        {kIgnoredAtStart, {SIGHUP, SIGQUIT}}};
    for (const auto& [kind, signals] : cases) {
        for (const int signo : signals) {
            const std::string n = std::to_string(signo);
            // At the scan's INQUIRY, outside a download; at the second piece of the image, inside.
            for (const std::string at : {"12", "3B@2"}) {
                if (at != "12" && signo != SIGQUIT && signo != SIGPIPE) continue;
                SCOPED_TRACE(n + "@" + at + " " + std::to_string(kind));
                const std::string env = kind == kIgnoredAtStart ? " --ignore-signal=" + n : "";
                const auto [status, output] =
                    Bash("exec env --default-signal" + env +
                         " $P/LD3411 --batch --emulate=LD3411,signal=" + n + "@" + at + " $IMAGE");
                const bool atOnce = kind == kHeld && at == "12";
                EXPECT_EQ(status, kind == kHeld ? 128 + signo : 0) << output;
                EXPECT_EQ(Has(output, "  Down Load complete\n"), !atOnce);
                EXPECT_EQ(
                    Has(output, "stopped by signal " + n + (atOnce ? "\n" : " after the download")),
                    kind == kHeld);
            }
        }
    }
}

// Closed descriptors never become files the program opens (console text went into the trace,
// and could go into /dev/sgN), and a console whose reader has gone never ends the download.
TEST(Startup, TheConsoleCannotHarmTheDownload) {
    const std::string trace = TempPath("console.jsonl");
    // The ignored --device makes a note for standard error.
    const std::string run =
        "exec $P/LD3411 --batch --emulate=LD3411 --device=emu:sr{1,0} "
        "--trace=" +
        trace + " $IMAGE ";
    for (const std::string& script :
         {run + ">&-", run + "<&- >&- 2>&-", "exec 3> >(exit); wait $!; " + run + ">&3 2>&3"}) {
        EXPECT_EQ(Bash(script).first, 0) << script;
        std::ifstream lines(trace);
        bool complete = false;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line.front() == '{' && line.back() == '}') << script << "\n" << line;
            complete = complete || Has(line, "\"text\":\"Down Load complete\"");
        }
        EXPECT_TRUE(complete) << script;
    }
    std::remove(trace.c_str());
}

TEST(Startup, SecureModeTrustsOnlyWhatTheWindowNeeds) {
    const char* kept =
        "DISPLAY=:0 WAYLAND_DISPLAY=wayland-0 XAUTHORITY=/x HOME=/h XDG_RUNTIME_DIR=/r TZ=UTC "
        "TZ=Europe/Berlin LANG=de_DE.UTF-8 LC_ALL=C QT_QPA_PLATFORM=xcb QT_QPA_PLATFORM=wayland "
        "QT_QPA_PLATFORM=offscreen";
    const char* dropped =
        "TZ=../../tmp/z LC_MESSAGES=/tmp/l LC_=x QT_QPA_PLATFORM=xcb:x QT_QPA_PLATFORM=vnc "
        "QT_PLUGIN_PATH=/tmp QT_QPA_PLATFORMTHEME=gtk3 QT_QPA_GENERIC_PLUGINS=x GTK_PATH=/tmp "
        "GIO_EXTRA_MODULES=/tmp LD_PRELOAD=/tmp/x.so PATH=/tmp display=:0 DISPLAY =:0";
    for (const auto& [list, keep] : {std::pair{kept, true}, {dropped, false}}) {
        std::istringstream entries(list);
        for (std::string entry; entries >> entry;)
            EXPECT_EQ(SecureEnvironment({entry}).size(), keep ? 1u : 0u) << entry;
    }
    // The C library reads the first of a name: a later one never stands in for it.
    EXPECT_EQ(SecureEnvironment({"HOME=/a", "TZ=..", "HOME=/b", "TZ=UTC", "DISPLAY=:1"}),
              (std::vector<std::string>{"HOME=/a", "DISPLAY=:1"}));
    // The program's directory: it and every one above it only root's.
    const std::string mine = TempPath("dir");  // under /tmp, which anyone may write, even as root
    ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
    for (const char* safe : {"/", "/usr/bin"}) EXPECT_TRUE(OnlyRootMayWrite(safe)) << safe;
    for (const std::string& unsafe : {std::string("usr/bin"), std::string("/none"), mine})
        EXPECT_FALSE(OnlyRootMayWrite(unsafe)) << unsafe;
    rmdir(mine.c_str());
}

#ifdef DISCFLASH_TESTS_BIN
// Without a display the window points to --batch rather than aborting. In secure mode it loads no
// plugin the environment names, which the plain program finds. The drive ends each run at its scan.
// Each case: the program after `exec env -i`, its status, what it says.
TEST(Startup, TheWindowStartsOnlyWhereItShould) {
    const std::string hostile =
        "QT_QPA_PLATFORM=offscreen QT_QPA_PLATFORMTHEME=hostile "
        "QT_PLUGIN_PATH=$H QT_QPA_PLATFORM_PLUGIN_PATH=$H/platformthemes ";
    const std::tuple<std::string, int, const char*> cases[] = {
        {"$P/LD4740", 2, "LD4740: cannot open the window: "},
        {"DISPLAY=:4711 $P/LD4740", 2, "run without one with --batch"},
        {hostile + "$P/LD4740", 128 + SIGTERM, "hostile plugin loaded"},
        {hostile + "$T/secure/LD4740", 128 + SIGTERM, "stopped by signal 15"},
    };
    for (const auto& [program, status, says] : cases) {
        const std::string run = "T=" DISCFLASH_TESTS_BIN "; H=$T/hostile; exec env -i " + program;
        const auto [ended, output] = Bash(run + " --emulate=LD4740,signal=TERM@12");
        EXPECT_EQ(ended, status);
        EXPECT_TRUE(Has(output, says)) << program << "\n" << output;
        EXPECT_EQ(Has(output, "hostile"), Has(says, "hostile")) << output;
    }
}
#endif
