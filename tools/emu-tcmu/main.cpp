// discflash-emu-tcmu: serves one emulated drive to the running kernel as the TCMU user backstore
// NAME (set up in configfs by discflash-emu-serve), so that it appears as /dev/srN and /dev/sgN.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "emu/emulated_drive.h"
#include "system/sha256.h"
#include "tools/emu-tcmu/tcmu_ring.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitFailed = 1;

const char kHelp[] =
    "Usage: discflash-emu-tcmu --backstore=NAME --emulate=ID[,KEY=VALUE...] [--log=FILE]\n"
    "                          [--state=FILE] [--ready=FILE]\n"
    "Serves one emulated drive (the keys of discflash --emulate) to the kernel as the TCMU user\n"
    "backstore NAME, created and enabled beforehand (tools/emu-tcmu/discflash-emu-serve does\n"
    "that and more). Runs until SIGTERM or SIGINT.\n"
    "  --log=FILE    one line per command the drive received: the CDB bytes as they arrived,\n"
    "                the direction, the data length, the bytes moved, status and sense\n"
    "  --state=FILE  written on SIGUSR1 and at the end: the drive's identity, program, disc,\n"
    "                the SHA-256 of its data buffer and of the last image it stored; the bytes\n"
    "                themselves go to FILE.buffer and FILE.firmware\n"
    "  --ready=FILE  created once the drive answers, for scripts that wait for it\n"
    "Exit status: 0 stopped by a signal, 1 the backstore cannot be served, 64 bad usage.\n";

struct Options {
    std::string backstore, log, state, ready;
    EmulatedDriveSpec spec;
    bool haveSpec = false;
};

bool Take(const std::string& arg, const char* name, std::string& value) {
    std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The /dev/uioN whose name is "tcm-user/<hba>/NAME" or "tcm-user/<hba>/NAME/<config>", and the
// size of its map 0; empty when there is none.
std::string FindUio(const std::string& backstore, size_t& mapSize) {
    for (int i = 0; i < 256; ++i) {
        std::string dir = "/sys/class/uio/uio" + std::to_string(i);
        std::string name = ReadLine(dir + "/name");
        if (name.rfind("tcm-user/", 0) != 0) continue;
        size_t hbaEnd = name.find('/', 9);
        if (hbaEnd == std::string::npos) continue;
        std::string rest = name.substr(hbaEnd + 1);
        if (rest != backstore && rest.rfind(backstore + "/", 0) != 0) continue;
        mapSize = std::strtoull(ReadLine(dir + "/maps/map0/size").c_str(), nullptr, 0);
        return "/dev/uio" + std::to_string(i);
    }
    return {};
}

void WriteState(const std::string& path, EmulatedDrive& drive) {
    if (path.empty()) return;
    std::vector<uint8_t> buffer = drive.BufferBytes(0, EmulatedDrive::kBufferSize);
    std::ofstream raw(path + ".buffer", std::ios::binary | std::ios::trunc);
    raw.write(reinterpret_cast<const char*>(buffer.data()),
              static_cast<std::streamsize>(buffer.size()));
    std::ofstream out(path, std::ios::trunc);
    out << "identity=" << drive.Identity() << "\n"
        << "program=" << (drive.InLoader() ? "loader" : "main") << "\n"
        << "disc=" << (drive.Disc() ? 1 : 0) << "\n"
        << "buffer-sha256=" << Sha256Hex(buffer.data(), buffer.size()) << "\n"
        << "stores=" << drive.Stores() << "\n";
    std::vector<uint8_t> firmware = drive.StoredFirmware();
    std::ofstream(path + ".firmware", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(firmware.data()),
               static_cast<std::streamsize>(firmware.size()));
    out << "firmware-sha256=" << Sha256Hex(firmware.data(), firmware.size()) << "\n"
        << "firmware-length=" << firmware.size() << "\n";
}

int Serve(const Options& o) {
    size_t mapSize = 0;
    std::string uio = FindUio(o.backstore, mapSize);
    if (uio.empty()) {
        std::fprintf(stderr, "discflash-emu-tcmu: no TCMU backstore named '%s' is enabled\n",
                     o.backstore.c_str());
        return kExitFailed;
    }
    int fd = ::open(uio.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "discflash-emu-tcmu: %s: %s\n", uio.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    void* map = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "discflash-emu-tcmu: mapping %zu bytes of %s: %s\n", mapSize,
                     uio.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    TcmuRing ring(static_cast<uint8_t*>(map), mapSize);
    std::string why;
    if (!ring.Valid(why)) {
        std::fprintf(stderr, "discflash-emu-tcmu: %s: %s\n", uio.c_str(), why.c_str());
        return kExitFailed;
    }

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int sfd = signalfd(-1, &signals, SFD_CLOEXEC);

    EmulatedDrive drive(o.spec);
    FILE* log = o.log.empty() ? nullptr : std::fopen(o.log.c_str(), "w");
    auto record = [log](const ServedCommand& c) {
        if (!log) return;
        std::fprintf(log, "%s\n", DescribeServed(c).c_str());
        std::fflush(log);
    };
    if (!o.ready.empty()) std::ofstream(o.ready) << uio << "\n";

    // The drive's clock: milliseconds since it was switched on.
    const auto start = std::chrono::steady_clock::now();
    auto now = [start] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
    };
    for (;;) {
        // Commands queued before the first wait are served too.
        if (ring.Serve(drive, now(), record) > 0) {
            uint32_t kick = 0;
            if (::write(fd, &kick, sizeof kick) < 0 && errno != EINTR) break;
        }
        // Sleep until the kernel queues more, a signal comes, or a held answer is due.
        int timeout = -1;
        if (std::optional<uint64_t> due = ring.NextDue()) {
            uint64_t t = now();
            timeout = *due > t ? static_cast<int>(std::min<uint64_t>(*due - t, 60000)) : 0;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (::poll(p, 2, timeout) < 0 && errno != EINTR) break;
        if (p[0].revents & POLLIN) {
            uint32_t events = 0;
            if (::read(fd, &events, sizeof events) < 0 && errno != EINTR && errno != EAGAIN) break;
        }
        if (p[1].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sfd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) continue;
            WriteState(o.state, drive);
            if (si.ssi_signo != SIGUSR1) {
                if (log) std::fclose(log);
                return 0;
            }
        }
    }
    std::fprintf(stderr, "discflash-emu-tcmu: %s: %s\n", uio.c_str(), std::strerror(errno));
    WriteState(o.state, drive);
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (Take(arg, "--backstore", value)) {
            o.backstore = value;
        } else if (Take(arg, "--emulate", value)) {
            std::string why;
            if (!ParseEmulateOption(value, o.spec, why)) {
                std::fprintf(stderr, "discflash-emu-tcmu: --emulate=%s: %s\n", value.c_str(),
                             why.c_str());
                return kExitUsage;
            }
            o.haveSpec = true;
        } else if (Take(arg, "--log", value)) {
            o.log = value;
        } else if (Take(arg, "--state", value)) {
            o.state = value;
        } else if (Take(arg, "--ready", value)) {
            o.ready = value;
        } else {
            std::fprintf(stderr, "discflash-emu-tcmu: unknown argument '%s' (see --help)\n",
                         arg.c_str());
            return kExitUsage;
        }
    }
    if (o.backstore.empty() || !o.haveSpec) {
        std::fprintf(stderr, "discflash-emu-tcmu: --backstore and --emulate are needed\n");
        return kExitUsage;
    }
    return Serve(o);
}
