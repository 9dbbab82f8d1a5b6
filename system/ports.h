// The seams between the core and its surroundings: the user, time, the kernel and the host.
// The core (scsi/, drives/, download/, system/) reaches all of them through Runtime (runtime.h).
#pragma once

#include <scsi/sg.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// ---- user interface -------------------------------------------------------------------------

// Message box types and answers, with the values the dialog framework gives them.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_YESNO = 0x04;
constexpr unsigned MB_ICONHAND = 0x10;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_DEFBUTTON2 = 0x100;  // the second button (No) is the default
constexpr unsigned MB_BUTTONS_MASK = 0x0F;
constexpr unsigned MB_ICON_MASK = 0xF0;
constexpr unsigned MB_DEFAULT_MASK = 0xF00;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

struct FileRequest {
    std::string title;
    // (display text, pattern) pairs in order, blanks kept; the first one is selected.
    std::vector<std::pair<std::string, std::string>> filters;
    std::string initialName;  // "*.BIN" or "*.ROM"
    std::string defaultExt;   // "BIN" or "ROM", added to a typed name without extension
};

class UiPort {
  public:
    virtual ~UiPort() = default;
    // drive list
    virtual void ListClear() = 0;
    virtual void ListAdd(const std::string& text) = 0;
    virtual void ListSelect(int index) = 0;  // outside the list: no selection
    virtual int ListSelected() = 0;          // -1 when none
    virtual int ListCount() = 0;
    // progress bar
    virtual void ProgressRange(int32_t low, int32_t high) = 0;
    virtual void ProgressStepSize(int32_t step) = 0;
    virtual void ProgressStep() = 0;
    virtual void ProgressPos(int32_t pos) = 0;
    // read-only lines
    virtual void SetStage(const std::string& text) = 0;
    virtual void SetIdentity(const std::string& text) = 0;
    // modal box; caption is already resolved (never empty). `detail`, when not empty, is the
    // cause in Linux terms, shown beneath the text. Returns IDOK, IDYES or IDNO.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type,
                           const std::string& detail) = 0;
    // file-open dialog; false when cancelled
    virtual bool ChooseFile(const FileRequest& request, std::string& path) = 0;
    // dispatch queued events without waiting
    virtual void PumpMessages() = 0;
    virtual void SetWaitCursor(bool on) = 0;
    // compact layout of the main window (no-op where there is no window)
    virtual void MeasureLayout() = 0;
    virtual void ApplyCompactSize() = 0;
    // end the main loop with this exit code
    virtual void Quit(int exitCode) = 0;
    // A cause and a way out in Linux terms, beside the boxes (whose texts stay as they are):
    // standard error, and the trace. The next box also gets it as its detail.
    virtual void Note(const std::string& text) { (void)text; }
};

// ---- time ---------------------------------------------------------------------------------------

class ClockPort {
  public:
    virtual ~ClockPort() = default;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual uint64_t ProcessMs() = 0;  // milliseconds since the program started
    virtual uint32_t TickMs() = 0;     // system millisecond timer, wraps
    virtual int64_t CalendarSeconds() = 0;
    // ProcessMs without side effects, for records only (a virtual clock advances when read).
    virtual uint64_t ElapsedMs() = 0;
    virtual bool IsVirtual() const = 0;
};

// ---- thread priority ----------------------------------------------------------------------------

class PriorityPort {
  public:
    virtual ~PriorityPort() = default;
    virtual void SetLowest() = 0;
    virtual void SetNormal() = 0;
};

// ---- kernel devices -----------------------------------------------------------------------------

enum class NodeClass { Block, Generic };  // /dev/srN, /dev/sgN

struct DeviceNode {
    std::string path;  // /dev/sr0, /dev/sg1, or an emulated node name
    int index = -1;    // N of srN / sgN
    int host = -1, channel = -1, target = -1, lun = -1;
    int type = -1;  // SCSI peripheral type from sysfs, -1 when unknown
};

// Another process that has a drive's node open.
struct NodeUser {
    int pid = 0;
    std::string name;  // its command name (/proc/PID/comm), as the kernel keeps it
    bool operator==(const NodeUser&) const = default;
};

// Thin layer over the kernel calls both back ends make. Every call reports errno through `err`.
//
// A call from another thread (the worker of a no-wait command, which may be given up on) goes
// through the gate: EnterCall before, LeaveCall after, and no call unless EnterCall said yes. A
// port that goes away first closes the gate (CloseCalls): no call enters any more, calls held in
// the port are let go, and it waits for those inside. So a worker never reaches a port that is
// gone, however late it runs.
class DevicePort {
  public:
    virtual ~DevicePort() = default;

    bool EnterCall() {
        std::lock_guard<std::mutex> lock(callMu_);
        if (callsClosed_) return false;
        ++callsInside_;
        return true;
    }
    void LeaveCall() {
        std::lock_guard<std::mutex> lock(callMu_);
        --callsInside_;
        callCv_.notify_all();
    }
    // Nodes of a class in ascending N. Generic nodes carry their host/channel/target/LUN.
    virtual std::vector<DeviceNode> ListNodes(NodeClass cls) = 0;
    // The node (any class) a path names, following symbolic links; false when it is none.
    virtual bool Describe(const std::string& path, NodeClass cls, DeviceNode& node) = 0;
    // Is the SCSI generic driver there?
    virtual bool GenericDriverPresent() = 0;
    // open read-write, non-blocking; a handle >= 0, or -1 with err
    virtual int Open(const std::string& path, int& err) = 0;
    // Open for a download, held against other programs until Close: no other exclusive opener or
    // mount of the drive's block device, no other opener of its generic node, and the kernel's
    // media polling held off (linux_devices.cpp says how). On EBUSY, `busy` names the node that
    // another program holds.
    virtual int OpenExclusive(const std::string& path, int& err, std::string& busy) {
        busy = path;
        return Open(path, err);
    }
    virtual void Close(int handle) = 0;
    // A second handle on the same open node (dup), closed on its own: a command still running on
    // it does not keep the first from closing. -1 with err.
    virtual int Duplicate(int handle, int& err) = 0;
    // SG_IO ioctl: 0 or -1 with err
    virtual int SgIo(int handle, sg_io_hdr_t& hdr, int& err) = 0;
    // sg asynchronous interface: submit (write) and collect (poll + read).
    virtual int Submit(int handle, sg_io_hdr_t& hdr, int& err) = 0;
    // 1 collected into hdr, 0 nothing ready within timeoutMs (0 = do not wait), -1 error
    virtual int Collect(int handle, sg_io_hdr_t& hdr, int timeoutMs, int& err) = 0;
    // SG_SET_RESERVED_SIZE; the size in force afterwards (bytes), or -1
    virtual int SetReservedSize(int handle, int bytes, int& err) = 0;
    // largest single transfer the node's queue takes, in bytes (max_hw_sectors_kb), 0 = unknown
    virtual uint32_t MaxTransferBytes(int handle) = 0;
    // may this process send any command (WRITE BUFFER, vendor opcodes) through this node?
    virtual bool MaySendAnyCommand(NodeClass cls) = 0;
    // The group that owns a node, for telling a user who may not open it how to get access;
    // empty when unknown.
    virtual std::string NodeGroup(const std::string& path) {
        (void)path;
        return {};
    }
    // The processes other than this one that have one of `paths` open, by PID; none where the
    // port cannot tell. Other programs' commands reach the drive between ours.
    virtual std::vector<NodeUser> OpenedBy(const std::vector<std::string>& paths) {
        (void)paths;
        return {};
    }
    // Why Describe(path, cls) found no node, in a user's words.
    virtual std::string WhyNoNode(const std::string& path, NodeClass cls) {
        (void)path;
        return cls == NodeClass::Block ? "not a CD/DVD block device (/dev/srN)"
                                       : "not a SCSI generic node (/dev/sgN)";
    }
    // a virtual-clock run asks this after each sleep: is a blocked call due by now?
    virtual bool CallDue() { return false; }
    // ... and is a call blocked until a later (virtual) time, so that only a sleep frees it?
    virtual bool CallWaiting() { return false; }

  protected:
    // For the destructor of a port, first: shuts the gate, has `release` let held calls return,
    // and waits until the calls that entered have left.
    template <typename Release>
    void CloseCalls(Release release) {
        {
            std::lock_guard<std::mutex> lock(callMu_);
            callsClosed_ = true;
        }
        release();
        std::unique_lock<std::mutex> lock(callMu_);
        callCv_.wait(lock, [this] { return callsInside_ == 0; });
    }

  private:
    std::mutex callMu_;
    std::condition_variable callCv_;
    int callsInside_ = 0;
    bool callsClosed_ = false;
};

// ---- host services ------------------------------------------------------------------------------

class HostPort {
  public:
    virtual ~HostPort() = default;
    // A restart is asked for without waiting for the answer: polkit may ask the user for a
    // password first, for as long as a person takes. RestartAnswer is kRestartPending until the
    // request started by StartRestart has been answered, then non-zero when it was accepted (the
    // restart follows later), 0 when not. One request at a time.
    static constexpr int kRestartPending = -1;
    virtual void StartRestart() = 0;
    virtual int RestartAnswer() = 0;
    // hold a block inhibitor on shutdown and sleep; true when one is held
    virtual bool Inhibit(const std::string& why) = 0;
    virtual void ReleaseInhibit() = 0;
};

// ---- host settings ------------------------------------------------------------------------------

// A drive model's vendor and model texts as the kernel shows them in sysfs: 8 and 16 printable
// ASCII characters, blank padded.
struct SysfsModel {
    std::string vendor;
    std::string model;
    bool operator==(const SysfsModel&) const = default;
};

// What the host does with a drive behind the program's back: the kernel's media polling of its
// block device (which desktop automounting follows), and the persistent udev rules that keep
// both off. A change is made as a whole (the helper that makes it for a process that is not root
// asks for authentication once); a failure comes back false with its cause in `why`.
class HostSettingsPort {
  public:
    virtual ~HostSettingsPort() = default;
    // The block device ("sr0") of the SCSI device at host:channel:target:lun; empty when none.
    virtual std::string BlockDevice(int host, int channel, int target, int lun) = 0;
    // events_poll_msecs of a block device in ms (0 off, -1 the kernel default); false when
    // unreadable.
    virtual bool PollInterval(const std::string& block, long& ms) = 0;
    // The kernel default the -1 stands for (events_dfl_poll_msecs); false when unreadable.
    virtual bool DefaultPollInterval(long& ms) = 0;
    // Polling of `blocks` off now, and a line for each model in the program's rule file (its
    // other lines kept) that keeps it off after a restart; udev reloads its rules.
    virtual bool SwitchPollingOff(const std::vector<std::string>& blocks,
                                  const std::vector<SysfsModel>& models, std::string& why) = 0;
    // Undoes it: the rule file goes, udev reloads, `blocks` poll at the kernel default again.
    virtual bool RestorePolling(const std::vector<std::string>& blocks, std::string& why) = 0;
};
