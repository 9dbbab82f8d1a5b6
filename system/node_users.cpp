#include "system/node_users.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include "system/printable.h"

namespace {

// "1234" -> 1234; -1 for any other entry of /proc.
int PidOf(const char* name) {
    long pid = 0;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9' || pid > INT_MAX / 10) return -1;
        pid = pid * 10 + (*c - '0');
    }
    return *name && pid <= INT_MAX ? static_cast<int>(pid) : -1;
}

std::vector<int> Pids(const std::string& procRoot) {
    std::vector<int> pids;
    DIR* d = opendir(procRoot.c_str());
    if (!d) return pids;
    while (dirent* e = readdir(d))
        if (const int pid = PidOf(e->d_name); pid > 0) pids.push_back(pid);
    closedir(d);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool HasOpen(const std::string& fdDir, const std::vector<std::string>& nodes) {
    DIR* d = opendir(fdDir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[PATH_MAX];
        const ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target) continue;
        const std::string file(target, static_cast<size_t>(n));
        if (std::find(nodes.begin(), nodes.end(), file) != nodes.end()) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

std::vector<NodeUser> ProcessesWithOpen(const std::string& procRoot,
                                        const std::vector<std::string>& nodes, int self) {
    std::vector<NodeUser> users;
    if (nodes.empty()) return users;
    for (int pid : Pids(procRoot)) {
        const std::string dir = procRoot + "/" + std::to_string(pid);
        if (pid == self || !HasOpen(dir + "/fd", nodes)) continue;
        NodeUser user{pid, {}};
        std::ifstream comm(dir + "/comm");
        std::getline(comm, user.name);
        users.push_back(user);
    }
    return users;
}

std::string TwinNode(DevicePort& port, NodeClass cls, int host, int channel, int target, int lun) {
    if (host < 0) return {};
    for (const DeviceNode& n : port.ListNodes(cls))
        if (n.host == host && n.channel == channel && n.target == target && n.lun == lun)
            return n.path;
    return {};
}

std::string UsersText(const std::vector<NodeUser>& users) {
    std::string text;
    for (const NodeUser& u : users)
        text += (text.empty() ? "PID " : ", PID ") + std::to_string(u.pid) + " (" +
                TerminalText(u.name) + ")";
    return text;
}
