// The helper pkexec runs as root for a discflash that is not: it switches media polling off or
// back on and writes or removes the udev rule. It trusts nothing of its caller but the checked
// arguments: no environment, no path, no root directory; its files are fixed when it is built.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "system/polling_changes.h"

#ifndef DISCFLASH_HELPER_ROOT
#define DISCFLASH_HELPER_ROOT ""  // a test build puts its tree elsewhere
#endif

int main(int argc, char** argv) {
    ::clearenv();
    // A closed standard descriptor would hand its number to the next file opened.
    int fd;
    while ((fd = ::open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
    }
    if (fd > 2) ::close(fd);
    ::umask(022);
    // Its caller or terminal may go away; a change once started is made whole.
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) std::signal(sig, SIG_IGN);
    const std::string root = DISCFLASH_HELPER_ROOT;
    PollingFiles files(root, [&root] { ReloadUdevRules(root); });
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return RunPollingHelper(args, files);
}
