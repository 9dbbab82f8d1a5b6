#include "app/cli/options.h"

namespace {

bool TakeValue(const std::string& arg, const char* name, std::string& value) {
    std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

// One line a key, its meaning wrapped below it.
std::string EmulateKeysHelp() {
    std::string text = "Keys of --emulate (after the family, separated by commas):\n";
    size_t count = 0;
    const EmulateKey* keys = EmulateKeys(count);
    for (size_t i = 0; i < count; ++i) {
        text += "  " + std::string(keys[i].name) + "=" + keys[i].value + "\n";
        std::string line = "      ";
        std::string word;
        std::string help = std::string(keys[i].help) + (keys[i].repeatable ? " (repeatable)" : "");
        for (size_t j = 0; j <= help.size(); ++j) {
            if (j < help.size() && help[j] != ' ') {
                word += help[j];
                continue;
            }
            if (line.size() + word.size() + 1 > 86) {
                text += line + "\n";
                line = "      ";
            }
            line += (line.size() > 6 ? " " : "") + word;
            word.clear();
        }
        text += line + "\n";
    }
    return text;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    bool plainOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        if (plainOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            // The first plain argument is the firmware file; further ones are refused rather
            // than silently ignored, so that a typo cannot pick the wrong image.
            if (!o.firmwarePath.empty()) {
                error = "only one firmware file may be given (got '" + o.firmwarePath + "' and '" +
                        arg + "')";
                return false;
            }
            o.firmwarePath = arg;
            continue;
        }
        if (arg == "--") {
            plainOnly = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--batch") {
            o.batch = true;
        } else if (arg == "--yes") {
            o.yes = true;
        } else if (arg == "--real-time") {
            o.realTime = true;
        } else if (TakeValue(arg, "--transport", value)) {
            if (value == "sr") {
                o.transport = TransportChoice::Sr;
            } else if (value == "sg") {
                o.transport = TransportChoice::Sg;
            } else {
                error = "--transport takes sr or sg, not '" + value + "'";
                return false;
            }
        } else if (TakeValue(arg, "--device", value)) {
            if (value.empty()) {
                error = "--device needs a device node path";
                return false;
            }
            o.devices.push_back(value);
        } else if (TakeValue(arg, "--emulate", value)) {
            EmulatedDriveSpec spec;
            std::string why;
            if (!ParseEmulateOption(value, spec, why)) {
                error = "--emulate=" + value + ": " + why;
                return false;
            }
            o.emulate.push_back(spec);
        } else if (TakeValue(arg, "--trace", value)) {
            if (value.empty()) {
                error = "--trace needs a file name";
                return false;
            }
            o.tracePath = value;
        } else {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
    }
    if (o.emulate.size() > kMaxEmulatedDrives) {
        error = "at most " + std::to_string(kMaxEmulatedDrives) + " drives can be emulated";
        return false;
    }
    if (o.realTime && o.emulate.empty()) {
        error = "--real-time only applies to emulated drives (--emulate)";
        return false;
    }
    return true;
}

std::string HelpText(const std::string& title) {
    return "Usage: " + title +
           " [OPTION]... [FIRMWARE-FILE]\n"
           "Download firmware into an optical drive of the family named by the program's own\n"
           "name (LD3410, LD4740, ..., LDMULTI; HLVDOWNLOAD, WINDWL2, DUALDOWNLOAD: any family).\n"
           "\n"
           "Without --batch the main dialog opens. A FIRMWARE-FILE given here is used by the\n"
           "first DownLoad, on the first listed drive of any known family.\n"
           "\n"
           "Options:\n"
           "  --batch              no window: scan, run DownLoad once, print everything on\n"
           "                       standard output and exit with the download's status\n"
           "  --yes                in batch mode answer Yes to questions (default: No)\n"
           "  --transport=sr|sg    sr (default): SCSI pass-through on CD/DVD block devices\n"
           "                       (/dev/srN; needs CAP_SYS_RAWIO to send firmware commands);\n"
           "                       sg: SCSI generic devices by host/target/LUN (/dev/sgN)\n"
           "  --device=PATH        list only this device node (repeatable, in order given);\n"
           "                       no other drive is touched\n"
           "  --emulate=ID[,KEY=VALUE...]\n"
           "                       add an emulated drive of family ID (repeatable); real\n"
           "                       devices are then never touched (keys below)\n"
           "  --real-time          with --emulate: wait for real instead of on a virtual clock\n"
           "  --trace=FILE         record every command, message, stage, list and progress\n"
           "                       change and sleep as JSON Lines in FILE\n"
           "  --help               show this help and exit\n"
           "  --version            show the version and exit\n"
           "\n" +
           EmulateKeysHelp() +
           "\n"
           "Exit status:\n"
           "  0  success (batch: the download succeeded)\n"
           "  1  the download failed\n"
           "  2  start-up refused to go on (unknown program name, no drive of the family,\n"
           "     DUALDOWNLOAD: wrong transport, media polling switched off or not switchable)\n"
           "  3  nothing was done (no drive selected, no procedure for the family, no file)\n"
           "  64 bad command line\n";
}
