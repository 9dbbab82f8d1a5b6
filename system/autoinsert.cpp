#include "system/autoinsert.h"

#include <cstring>

#include "scsi/transport.h"
#include "system/drive_text.h"
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

std::string TrimmedIdentity(const DriveRecord& drive) {
    std::string id(drive.IdentityText(), strnlen(drive.IdentityText(), 24));
    return PrintableDriveText(id.erase(id.find_last_not_of(' ') + 1));
}

bool SwitchEveryAffectedDriveOff() {
    for (int i = 0; i < driveCount; ++i) {
        const DriveRecord& drive = driveTable[i];
        if (!IsAffectedModel(drive)) continue;
        std::string why;
        if (SwitchAutoInsertOff(drive, why)) continue;
        ShowMessage("Media polling of " + TrimmedIdentity(drive) + " could not be switched off:\n" +
                        why +
                        "\n\nNo restart was requested. Run the program as root (for example "
                        "with sudo) and try again.",
                    kCaption, MB_OK | MB_ICONHAND);
        return false;
    }
    return true;
}

}  // namespace

bool IsAffectedModel(const DriveRecord& drive) {
    const char* text = reinterpret_cast<const char*>(drive.inquiry + kModelTextOffset);
    std::string model(text, strnlen(text, kModelTextLength));
    return model.find("3520") != std::string::npos || model.find("5871") != std::string::npos;
}

int IsAutoInsertOn(const DriveRecord& drive) {
    HostSettingsPort* host = rt().hostSettings;
    if (!host) return 0;
    std::string block = BlockDeviceOf(*host, drive);
    long ms = 0;
    if (block.empty() || !host->PollInterval(block, ms)) return 0;
    if (ms == -1 && !host->DefaultPollInterval(ms)) return 0;
    return ms > 0 ? 1 : 0;
}

bool SwitchAutoInsertOff(const DriveRecord& drive, std::string& why) {
    HostSettingsPort* host = rt().hostSettings;
    if (!host) {
        why = "the host settings cannot be reached";
        return false;
    }
    std::string block = BlockDeviceOf(*host, drive);
    if (!block.empty() && !host->SetPollInterval(block, 0, why)) return false;
    return host->AddUdevRule(NoMediaPollRule(drive.inquiry), why);
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
