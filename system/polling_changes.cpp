#include "system/polling_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "system/spawn.h"
#include "system/udev_rule.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRulesHeader =
    "# Written by discflash: the kernel's media polling and desktop automount stay off for\n"
    "# these drive models while their firmware is replaced. \"discflash --restore-polling\"\n"
    "# undoes it (or delete this file and run \"udevadm control --reload\").\n";

constexpr const char* kUdevadm = "/bin/udevadm";

// More than any drive table holds; a command line beyond it is not the program's.
constexpr size_t kMaxBlocks = 32;
constexpr size_t kMaxModels = 16;

std::string Failure(const char* what, const std::string& path, int err) {
    return std::string("cannot ") + what + " " + path + ": " + std::strerror(err);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The whole file; a missing file reads as empty. False (with errno) when it cannot be read.
bool ReadFile(const std::string& path, std::string& text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        text.clear();
        return errno == ENOENT;
    }
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            errno = err;
            return false;
        }
        all.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    text = std::move(all);
    return true;
}

// Written beside the file, flushed to disk and renamed over it: the rules must outlive the
// restart that follows, and udev never reads half a file.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& why) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        why = Failure("write", path, errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        why = Failure("write", path, err);
    }
    return ok;
}

bool HasLine(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line) return true;
    return false;
}

// srN, as the sr driver names a CD/DVD drive's block device: nothing that leaves /sys/block.
bool IsBlockName(const std::string& name) {
    if (name.size() < 3 || name.size() > 5 || name.compare(0, 2, "sr") != 0) return false;
    for (size_t i = 2; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

}  // namespace

void ReloadUdevRules(const std::string& root) {
    // Without udevadm there is no udev to tell; the rule is read when udev starts.
    SpawnAndWait({root + kUdevadm, "control", "--reload"}, nullptr);
}

PollingFiles::PollingFiles(std::string root, std::function<void()> reloadRules)
    : root_(std::move(root)), reloadRules_(std::move(reloadRules)) {}

bool PollingFiles::SetPollInterval(const std::string& block, long ms, std::string& why) {
    std::string path = root_ + "/sys/block/" + block + "/events_poll_msecs";
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = fd >= 0 && WriteAll(fd, std::to_string(ms) + "\n");
    int err = errno;
    if (fd >= 0) ::close(fd);
    if (!ok) why = Failure("write", path, err);
    return ok;
}

bool PollingFiles::SwitchOff(const std::vector<std::string>& blocks,
                             const std::vector<SysfsModel>& models, std::string& why) {
    for (const std::string& block : blocks)
        if (!SetPollInterval(block, 0, why)) return false;
    std::string path = root_ + kNoMediaPollRulesPath;
    std::string text;
    if (!ReadFile(path, text)) {
        // Rewriting a file that cannot be read would drop the rules already in it.
        why = Failure("read", path, errno);
        return false;
    }
    std::string added;
    for (const SysfsModel& model : models) {
        std::string rule = NoMediaPollRule(model);
        if (!HasLine(text, rule) && !HasLine(added, rule)) added += rule + "\n";
    }
    if (added.empty()) return true;
    if (text.empty()) text = kRulesHeader;
    if (text.back() != '\n') text += '\n';
    if (!ReplaceFile(path, text + added, why)) return false;
    if (reloadRules_) reloadRules_();
    return true;
}

bool PollingFiles::Restore(const std::vector<std::string>& blocks, std::string& why) {
    std::string path = root_ + kNoMediaPollRulesPath;
    if (::unlink(path.c_str()) == 0) {
        // Before polling returns: an event meanwhile would have the old rule switch it off.
        if (reloadRules_) reloadRules_();
    } else if (errno != ENOENT) {
        why = Failure("remove", path, errno);
        return false;
    }
    // Every drive gets its chance; the first failure is the one told.
    bool ok = true;
    for (const std::string& block : blocks) {
        std::string failed;
        if (!SetPollInterval(block, -1, failed) && ok) {
            why = failed;
            ok = false;
        }
    }
    return ok;
}

std::vector<std::string> HelperArguments(const PollingRequest& request) {
    std::vector<std::string> args = {request.off ? "off" : "restore"};
    for (const std::string& block : request.blocks) args.insert(args.end(), {"--block", block});
    for (const SysfsModel& m : request.models)
        args.insert(args.end(), {"--model", m.vendor, m.model});
    return args;
}

bool ParseHelperArguments(const std::vector<std::string>& args, PollingRequest& request,
                          std::string& why) {
    request = PollingRequest{};
    if (args.empty() || (args[0] != "off" && args[0] != "restore")) {
        why = "the first argument must be off or restore";
        return false;
    }
    request.off = args[0] == "off";
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--block" && i + 1 < args.size()) {
            if (!IsBlockName(args[i + 1])) {
                why = "argument " + std::to_string(i + 2) + " is no block device name (srN)";
                return false;
            }
            request.blocks.push_back(args[++i]);
        } else if (arg == "--model" && request.off && i + 2 < args.size()) {
            SysfsModel m{args[i + 1], args[i + 2]};
            if (!IsSysfsModel(m)) {
                why = "not a vendor (8) and model (16 printable characters) as sysfs shows them";
                return false;
            }
            request.models.push_back(m);
            i += 2;
        } else {
            why = "unexpected argument " + std::to_string(i + 1);
            return false;
        }
    }
    if (request.blocks.size() > kMaxBlocks || request.models.size() > kMaxModels) {
        why = "too many drives";
        return false;
    }
    if (request.off && request.blocks.empty() && request.models.empty()) {
        why = "off needs a --block or a --model";
        return false;
    }
    return true;
}

int RunPollingHelper(const std::vector<std::string>& args, PollingFiles& files) {
    PollingRequest request;
    std::string why;
    if (!ParseHelperArguments(args, request, why)) {
        std::fprintf(stderr, "media-polling: %s\n", why.c_str());
        return kHelperRefused;
    }
    bool ok = request.off ? files.SwitchOff(request.blocks, request.models, why)
                          : files.Restore(request.blocks, why);
    if (ok) return kHelperDone;
    std::fprintf(stderr, "media-polling: %s\n", why.c_str());
    return kHelperStepFailed;
}
