#include "system/linux_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "system/node_users.h"

namespace {

bool ReadLine(const std::string& path, std::string& line) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, line);
    return true;
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> v;
    DIR* d = opendir(dir.c_str());
    if (!d) return v;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") v.push_back(n);
    }
    closedir(d);
    return v;
}

// "sr12" with prefix "sr" -> 12; -1 when the name is not prefix + digits.
int IndexOf(const std::string& name, const char* prefix) {
    size_t p = std::char_traits<char>::length(prefix);
    if (name.size() <= p || name.compare(0, p, prefix) != 0) return -1;
    int n = 0;
    for (size_t i = p; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string Resolve(const std::string& path) {
    char buf[PATH_MAX];
    if (!realpath(path.c_str(), buf)) return {};
    return buf;
}

std::string BaseName(const std::string& path) {
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

}  // namespace

LinuxDevicePort::LinuxDevicePort(std::string sysRoot, std::string devRoot, std::string procStatus,
                                 std::string procRoot)
    : sys_(std::move(sysRoot)),
      dev_(std::move(devRoot)),
      procStatus_(std::move(procStatus)),
      proc_(std::move(procRoot)) {}

std::vector<NodeUser> LinuxDevicePort::OpenedBy(const std::vector<std::string>& paths) {
    return ProcessesWithOpen(proc_, paths, static_cast<int>(getpid()));
}

LinuxDevicePort::~LinuxDevicePort() {
    // A worker's SG_IO held by the kernel returns only when the drive answers or the command
    // times out; the process could not end before that anyway.
    CloseCalls([] {});
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [fd, path] : opened_) ::close(fd);
    for (auto& [fd, claim] : claims_) ::close(claim);
}

std::string LinuxDevicePort::ClassDir(NodeClass cls) const {
    if (cls == NodeClass::Generic) return sys_ + "/class/scsi_generic";
    // Older kernels without the block class directory still have /sys/block.
    std::string d = sys_ + "/class/block";
    return IsDir(d) ? d : sys_ + "/block";
}

bool LinuxDevicePort::FromEntry(NodeClass cls, const std::string& name, DeviceNode& node) const {
    int index = IndexOf(name, cls == NodeClass::Generic ? "sg" : "sr");
    if (index < 0) return false;
    std::string entry = ClassDir(cls) + "/" + name;
    if (!IsDir(entry)) return false;
    node = DeviceNode{};
    node.path = dev_ + "/" + name;
    node.index = index;
    // The device link ends in the SCSI device's name, "host:channel:target:lun".
    std::string scsiDevice = BaseName(Resolve(entry + "/device"));
    int h, c, t, l;
    char tail;
    if (std::sscanf(scsiDevice.c_str(), "%d:%d:%d:%d%c", &h, &c, &t, &l, &tail) == 4) {
        node.host = h;
        node.channel = c;
        node.target = t;
        node.lun = l;
    }
    std::string type;
    if (ReadLine(entry + "/device/type", type) && !type.empty())
        node.type = std::atoi(type.c_str());
    return true;
}

std::string LinuxDevicePort::BlockEntryOf(int genericIndex) const {
    std::vector<std::string> names = Entries(ClassDir(NodeClass::Generic) + "/sg" +
                                             std::to_string(genericIndex) + "/device/block");
    if (names.empty()) return {};
    std::sort(names.begin(), names.end());
    return names.front();
}

std::vector<DeviceNode> LinuxDevicePort::ListNodes(NodeClass cls) {
    std::vector<DeviceNode> nodes;
    for (const std::string& name : Entries(ClassDir(cls))) {
        DeviceNode n;
        if (FromEntry(cls, name, n)) nodes.push_back(n);
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const DeviceNode& a, const DeviceNode& b) { return a.index < b.index; });
    return nodes;
}

bool LinuxDevicePort::Describe(const std::string& path, NodeClass cls, DeviceNode& node) {
    std::string real = Resolve(path);
    if (real.empty()) return false;
    struct stat st {};
    bool isNode = stat(real.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
    if (isNode) {
        // A device node under any name: match its device number against the class.
        bool wantBlock = cls == NodeClass::Block;
        if (wantBlock != S_ISBLK(st.st_mode)) return false;
        std::string name = EntryOf(st, cls);
        if (name.empty() || !FromEntry(cls, name, node)) return false;
        node.path = real;
        return true;
    }
    // Not a device node (a tree without device files): go by the name it resolves to.
    if (!FromEntry(cls, BaseName(real), node)) return false;
    node.path = real;
    return true;
}

std::string LinuxDevicePort::EntryOf(const struct stat& st, NodeClass cls) const {
    std::string want = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    for (const std::string& name : Entries(ClassDir(cls))) {
        std::string dev;
        if (ReadLine(ClassDir(cls) + "/" + name + "/dev", dev) && dev == want) return name;
    }
    return {};
}

std::string LinuxDevicePort::WhyNoNode(const std::string& path, NodeClass cls) {
    const bool block = cls == NodeClass::Block;
    const char* wanted =
        block ? "a CD/DVD block device (/dev/srN)" : "a SCSI generic node (/dev/sgN)";
    std::string real = Resolve(path);
    struct stat st {};
    if (real.empty() || stat(real.c_str(), &st) != 0)
        return std::string("there is no such file (") + std::strerror(errno) + ")";
    if (S_ISREG(st.st_mode)) return std::string("a regular file, not ") + wanted;
    if (S_ISDIR(st.st_mode)) return std::string("a directory, not ") + wanted;
    if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode))
        return std::string("not a device node; the transport wants ") + wanted;
    if (block == !S_ISBLK(st.st_mode)) {
        NodeClass other = block ? NodeClass::Generic : NodeClass::Block;
        if (!EntryOf(st, other).empty())
            return real + (block ? " is a SCSI generic node: --transport=sr takes the drives' "
                                   "block devices (/dev/srN); use --transport=sg for it"
                                 : " is a CD/DVD block device: --transport=sg takes SCSI generic "
                                   "nodes (/dev/sgN); use --transport=sr for it");
        return real + " is a " + (S_ISBLK(st.st_mode) ? "block" : "character") + " device, not " +
               wanted;
    }
    return real + " is not " + wanted + (block ? " but another block device" : "");
}

std::string LinuxDevicePort::NodeGroup(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    std::vector<char> buf(16384);
    group g{};
    group* found = nullptr;
    if (getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) != 0 || !found)
        return std::to_string(st.st_gid);
    return found->gr_name;
}

bool LinuxDevicePort::GenericDriverPresent() {
    return IsDir(sys_ + "/class/scsi_generic");
}

int LinuxDevicePort::Open(const std::string& path, int& err) {
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    std::lock_guard<std::mutex> lock(mu_);
    opened_[fd] = path;
    return fd;
}

// What holds a drive against whom, as the kernel does it (tools/vm-kernel shows each case):
// - O_EXCL on /dev/srN is the block layer's exclusive claim: another O_EXCL opener or a mount
//   gets EBUSY. Held read-write, it also stops the kernel's media polling (sr has the block layer
//   hold its events off for exclusive writers), which would otherwise send TEST UNIT READY and GET
//   EVENT STATUS NOTIFICATION every few seconds and, on a change, set off udev's CD prober.
// - O_EXCL on /dev/sgN is the sg driver's own: it fails while any other program has the node
//   open, and keeps every later opener of the node out.
// - Neither keeps out a program that opens /dev/srN without O_EXCL, as udev's CD prober does: its
//   commands still reach the drive.
// So a download holds its own node with O_EXCL, and beside a generic node the drive's block
// device as well. A block device this process may not open (or no sr driver) leaves the generic
// node held alone.
int LinuxDevicePort::OpenExclusive(const std::string& path, int& err, std::string& busy) {
    busy = path;
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    int claim = -1;
    DeviceNode node;
    if (Describe(path, NodeClass::Generic, node)) {
        std::string entry = BlockEntryOf(node.index);
        if (!entry.empty()) {
            std::string block = dev_ + "/" + entry;
            claim = ::open(block.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
            if (claim < 0 && errno == EBUSY) {
                ::close(fd);
                err = EBUSY;
                busy = block;
                return -1;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mu_);
    opened_[fd] = path;
    if (claim >= 0) claims_[fd] = claim;
    return fd;
}

void LinuxDevicePort::Close(int handle) {
    if (handle < 0) return;
    int claim = -1;
    {
        std::lock_guard<std::mutex> lock(mu_);
        opened_.erase(handle);
        auto it = claims_.find(handle);
        if (it != claims_.end()) {
            claim = it->second;
            claims_.erase(it);
        }
    }
    ::close(handle);
    if (claim >= 0) ::close(claim);
}

int LinuxDevicePort::Duplicate(int handle, int& err) {
    int fd = ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    std::lock_guard<std::mutex> lock(mu_);
    auto it = opened_.find(handle);
    opened_[fd] = it != opened_.end() ? it->second : std::string();
    return fd;
}

int LinuxDevicePort::SgIo(int handle, sg_io_hdr_t& hdr, int& err) {
    int r;
    do {
        r = ::ioctl(handle, SG_IO, &hdr);
    } while (r < 0 && errno == EINTR);
    if (r < 0) err = errno;
    return r < 0 ? -1 : 0;
}

int LinuxDevicePort::Submit(int handle, sg_io_hdr_t& hdr, int& err) {
    ssize_t n;
    do {
        n = ::write(handle, &hdr, sizeof hdr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        err = errno;
        return -1;
    }
    return 0;
}

int LinuxDevicePort::Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    for (;;) {
        hdr.interface_id = 'S';
        ssize_t n = ::read(handle, &hdr, sizeof hdr);
        if (n >= 0) return 1;
        if (errno != EAGAIN && errno != EINTR) {
            err = errno;
            return -1;
        }
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return 0;
        pollfd p{handle, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (r < 0 && errno != EINTR) {
            err = errno;
            return -1;
        }
    }
}

int LinuxDevicePort::SetReservedSize(int handle, int bytes, int& err) {
    if (::ioctl(handle, SG_SET_RESERVED_SIZE, &bytes) < 0) {
        err = errno;
        return -1;
    }
    int now = 0;
    if (::ioctl(handle, SG_GET_RESERVED_SIZE, &now) < 0) {
        err = errno;
        return -1;
    }
    return now;
}

uint32_t LinuxDevicePort::MaxTransferBytes(int handle) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = opened_.find(handle);
        if (it == opened_.end()) return 0;
        path = it->second;
    }
    DeviceNode node;
    std::string queue;
    if (Describe(path, NodeClass::Block, node)) {
        queue = ClassDir(NodeClass::Block) + "/sr" + std::to_string(node.index) + "/queue";
    } else if (Describe(path, NodeClass::Generic, node)) {
        // A generic node's limits are those of the block device on the same SCSI device.
        std::string entry = BlockEntryOf(node.index);
        if (entry.empty()) return 0;
        queue = ClassDir(NodeClass::Generic) + "/sg" + std::to_string(node.index) +
                "/device/block/" + entry + "/queue";
    } else {
        return 0;
    }
    std::string kb;
    if (!ReadLine(queue + "/max_hw_sectors_kb", kb)) return 0;
    long v = std::atol(kb.c_str());
    if (v <= 0 || v > 4 * 1024 * 1024) return 0;
    uint64_t bytes = static_cast<uint64_t>(v) * 1024u;
    // The adapter also limits the scatter list. Both SG_IO on the block node (the caller's
    // pages mapped or copied a page at a time) and sg's own buffers (which fall back to single
    // pages when memory is fragmented) may need one segment per page, so only max_segments
    // pages are sure to fit; a larger request fails with EINVAL or ENOMEM before it is sent.
    std::string segs;
    long pageSize = sysconf(_SC_PAGESIZE);
    if (ReadLine(queue + "/max_segments", segs) && pageSize > 0) {
        long n = std::atol(segs.c_str());
        if (n > 0) bytes = std::min<uint64_t>(bytes, static_cast<uint64_t>(n) * pageSize);
    }
    return static_cast<uint32_t>(bytes);
}

bool LinuxDevicePort::HasCapability(const std::string& procStatus, int cap) {
    std::ifstream in(procStatus);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 7, "CapEff:") != 0) continue;
        unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (mask >> cap) & 1u;
    }
    return false;
}

bool LinuxDevicePort::MaySendAnyCommand(NodeClass cls) {
    // The block layer lets WRITE BUFFER and vendor opcodes through only with CAP_SYS_RAWIO;
    // the sg driver lets anything through a node opened read-write.
    if (cls == NodeClass::Generic) return true;
    constexpr int kCapSysRawio = 17;
    return HasCapability(procStatus_, kCapSysRawio);
}
