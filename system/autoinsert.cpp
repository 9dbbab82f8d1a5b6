#include "system/autoinsert.h"

#include <algorithm>
#include <cstring>

#include "scsi/transport.h"
#include "system/runtime.h"
#include "system/udev_rule.h"

namespace {

constexpr const char* kCaption = "自動挿入がONです";
constexpr const char* kQuestion =
    "自動挿入をOFFにしますか?\n自動挿入OFF後はWindowsの再起動を行います";
constexpr const char* kStillOn = "自動挿入がONのまま\nDownLoadを実行しないでください";

// INQUIRY byte 16 on: product identification, revision and vendor-specific bytes.
constexpr size_t kModelTextOffset = 16;
constexpr size_t kModelTextLength = 40;

std::string BlockDeviceOf(HostSettingsPort& host, const DriveRecord& drive) {
    return host.BlockDevice(drive.host, drive.channel, drive.target, drive.lunNumber);
}

// The block devices of the listed drives of the affected models, and their models, once each.
void AffectedDrives(HostSettingsPort& host, std::vector<std::string>& blocks,
                    std::vector<SysfsModel>& models) {
    for (int i = 0; i < driveCount; ++i) {
        const DriveRecord& drive = driveTable[i];
        if (!IsAffectedModel(drive)) continue;
        std::string block = BlockDeviceOf(host, drive);
        if (!block.empty() && std::find(blocks.begin(), blocks.end(), block) == blocks.end())
            blocks.push_back(block);
        SysfsModel model = SysfsModelOf(drive.inquiry);
        if (std::find(models.begin(), models.end(), model) == models.end()) models.push_back(model);
    }
}

// The port that changes the settings, or null with the reason.
HostSettingsPort* SettingsPort(std::string& why) {
    if (!rt().hostSettings) why = "the host settings cannot be reached";
    return rt().hostSettings;
}

bool SwitchEveryAffectedDriveOff() {
    std::string why;
    if (SwitchAutoInsertOff(why)) return true;
    ShowMessage(
        "Media polling could not be switched off:\n" + why + "\n\nNo restart was requested.",
        kCaption, MB_OK | MB_ICONHAND);
    return false;
}

}  // namespace

bool IsAffectedModel(const DriveRecord& drive) {
    const char* text = reinterpret_cast<const char*>(drive.inquiry + kModelTextOffset);
    std::string model(text, strnlen(text, kModelTextLength));
    return model.find("3520") != std::string::npos || model.find("5871") != std::string::npos;
}

int MediaPolling(const DriveRecord& drive) {
    HostSettingsPort* host = rt().hostSettings;
    if (!host) return -1;
    std::string block = BlockDeviceOf(*host, drive);
    long ms = 0;
    if (block.empty() || !host->PollInterval(block, ms)) return -1;
    if (ms == -1 && !host->DefaultPollInterval(ms)) return -1;
    return ms > 0 ? 1 : 0;
}

bool SwitchAutoInsertOff(std::string& why) {
    HostSettingsPort* host = SettingsPort(why);
    if (!host) return false;
    std::vector<std::string> blocks;
    std::vector<SysfsModel> models;
    AffectedDrives(*host, blocks, models);
    return host->SwitchPollingOff(blocks, models, why);
}

bool RestoreAutoInsert(std::vector<std::string>& blocks, std::string& why) {
    HostSettingsPort* host = SettingsPort(why);
    if (!host) return false;
    // The rule goes even when no drive can be listed; the drives then poll again after a replug.
    bool listed = InitTransport() != 0;
    driveCount = listed ? EnumerateDrives(kDriveTableCapacity, driveTable) : 0;
    std::vector<SysfsModel> models;
    AffectedDrives(*host, blocks, models);
    if (!host->RestorePolling(blocks, why)) return false;
    if (!listed)
        why =
            "the udev rule is removed, but the drives could not be listed: their media "
            "polling comes back when they are replugged";
    return listed;
}

int CheckAutoInsert() {
    for (int i = 0; i < driveCount; ++i) {
        if (!IsAffectedModel(driveTable[i]) || !IsAutoInsertOn(driveTable[i])) continue;
        if (ShowMessage(kQuestion, kCaption, MB_YESNO) != IDYES) {
            ShowMessage(kStillOn, kCaption);
            return kAutoInsertGoOn;
        }
        return SwitchEveryAffectedDriveOff() ? kAutoInsertSwitchedOff : kAutoInsertNotSwitched;
    }
    return kAutoInsertGoOn;
}
