// The device port over the running kernel: sysfs to find the nodes, the sg and block-device
// SCSI interfaces to command them. The sysfs, /dev and /proc/self/status locations are
// parameters so that tests can point the port at a tree of their own.
#pragma once

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "system/ports.h"

class LinuxDevicePort : public DevicePort {
  public:
    explicit LinuxDevicePort(std::string sysRoot = "/sys", std::string devRoot = "/dev",
                             std::string procStatus = "/proc/self/status",
                             std::string procRoot = "/proc");
    ~LinuxDevicePort() override;

    std::vector<DeviceNode> ListNodes(NodeClass cls) override;
    bool Describe(const std::string& path, NodeClass cls, DeviceNode& node) override;
    bool GenericDriverPresent() override;
    int Open(const std::string& path, int& err) override;
    int OpenExclusive(const std::string& path, int& err, std::string& busy) override;
    void Close(int handle) override;
    int Duplicate(int handle, int& err) override;
    int SgIo(int handle, sg_io_hdr_t& hdr, int& err) override;
    int Submit(int handle, sg_io_hdr_t& hdr, int& err) override;
    int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) override;
    int SetReservedSize(int handle, int bytes, int& err) override;
    uint32_t MaxTransferBytes(int handle) override;
    bool MaySendAnyCommand(NodeClass cls) override;
    std::string NodeGroup(const std::string& path) override;
    std::string WhyNoNode(const std::string& path, NodeClass cls) override;
    std::vector<NodeUser> OpenedBy(const std::vector<std::string>& paths) override;

    // Is capability bit `cap` in the effective set of a /proc/<pid>/status file?
    static bool HasCapability(const std::string& procStatus, int cap);

  private:
    std::string ClassDir(NodeClass cls) const;
    // The node for a sysfs entry name ("sr0", "sg3"); false when it is not one of the class.
    bool FromEntry(NodeClass cls, const std::string& name, DeviceNode& node) const;
    // The class entry ("sr0") whose device number a node has; empty when none.
    std::string EntryOf(const struct stat& st, NodeClass cls) const;
    // The block device entry ("sr1") of the SCSI device a generic node ("sg3") belongs to; empty
    // when it has none.
    std::string BlockEntryOf(int genericIndex) const;

    std::string sys_, dev_, procStatus_, proc_;
    std::mutex mu_;
    std::map<int, std::string> opened_;  // handle -> path, for the queue limits
    std::map<int, int> claims_;          // handle -> its drive's block device, held beside it
};
