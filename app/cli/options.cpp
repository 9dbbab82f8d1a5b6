#include "app/cli/options.h"

namespace {

// ---- what each option does ---------------------------------------------------------------------

// An option without a value sets its flag.
template <bool Options::*flag>
bool SetFlag(const std::string&, Options& o, std::string&) {
    o.*flag = true;
    return true;
}

// A second value for a single-valued option is refused rather than silently overriding the
// first: a script that sets one and a user who adds another cannot both be right.
bool Repeated(bool given, const char* option, std::string& error) {
    if (given) error = std::string(option) + " may be given only once";
    return given;
}

bool SetTransport(const std::string& value, Options& o, std::string& error) {
    if (Repeated(o.transportGiven, "--transport", error)) return false;
    o.transportGiven = true;
    if (value == "sr") {
        o.transport = TransportChoice::Sr;
    } else if (value == "sg") {
        o.transport = TransportChoice::Sg;
    } else {
        error = "--transport takes sr or sg, not '" + value + "'";
        return false;
    }
    return true;
}

bool AddDevice(const std::string& value, Options& o, std::string& error) {
    if (value.empty()) {
        error = "--device needs a device node path";
        return false;
    }
    o.devices.push_back(value);
    return true;
}

bool AddEmulated(const std::string& value, Options& o, std::string& error) {
    EmulatedDriveSpec spec;
    std::string why;
    if (!ParseEmulateOption(value, spec, why)) {
        error = "--emulate=" + value + ": " + why;
        return false;
    }
    o.emulate.push_back(spec);
    return true;
}

bool SetTrace(const std::string& value, Options& o, std::string& error) {
    if (value.empty()) {
        error = "--trace needs a file name";
        return false;
    }
    if (Repeated(!o.tracePath.empty(), "--trace", error)) return false;
    o.tracePath = value;
    return true;
}

const OptionRow kOptions[] = {
    {"--check", nullptr, nullptr, ValueKind::None,
     "check FIRMWARE-FILE as above (every family, or only this one under a family's name), then "
     "exit; no drive is touched. With one --device=PATH or one --emulate: for that drive only, "
     "which receives nothing but INQUIRY (--trace records it): the family DownLoad would pick "
     "for it with the file on the command line judges the image",
     SetFlag<&Options::check>},
    {"--list", nullptr, nullptr, ValueKind::None,
     "list every CD/DVD device of the transport (--device and --emulate honoured), then exit: "
     "node, the other transport's node, host:channel:target:lun, identity, revision, the "
     "program names that serve it, whether it runs its loader, whether this process may "
     "program it (ok, no-rights, held, error), other processes that have it open, media "
     "polling; a drive receives nothing but the scan's INQUIRY",
     SetFlag<&Options::list>},
    {"--history", nullptr, nullptr, ValueKind::None,
     "list the downloads recorded in the history (see above), oldest first, then exit; no drive "
     "is touched",
     SetFlag<&Options::history>},
    {"--json", nullptr, nullptr, ValueKind::None,
     "with --history or --list: print JSON instead of a table", SetFlag<&Options::json>},
    {"--batch", nullptr, nullptr, ValueKind::None,
     "no window: scan, run DownLoad once, print everything on standard output and exit with "
     "the download's status",
     SetFlag<&Options::batch>},
    {"--all", nullptr, nullptr, ValueKind::None,
     "implies --batch: FIRMWARE-FILE into every listed drive of this program's family at once, "
     "one batch run of the program per drive (its node as --device; with --trace=FILE, the run "
     "of list entry K writes FILE.K); each line is prefixed with the drive's node, a summary "
     "follows; only under a family's name",
     SetFlag<&Options::all>},
    {"--yes", nullptr, nullptr, ValueKind::None,
     "in batch mode answer Yes to questions (default: No)", SetFlag<&Options::yes>},
    {"--transport", nullptr, "sr|sg", ValueKind::Choice,
     "sr (default): SCSI pass-through on CD/DVD block devices (/dev/srN; needs CAP_SYS_RAWIO "
     "to send firmware commands); sg: SCSI generic devices by host/target/LUN (/dev/sgN)",
     SetTransport},
    {"--device", nullptr, "PATH", ValueKind::DeviceNode,
     "list only this device node (repeatable, in order given); no other drive is touched",
     AddDevice},
    {"--emulate", nullptr, "ID[,KEY=VALUE...]", ValueKind::EmulatedDrive,
     "add an emulated drive of family ID (repeatable); real devices are then never touched "
     "(keys below)",
     AddEmulated},
    {"--real-time", nullptr, nullptr, ValueKind::None,
     "with --emulate: wait for real instead of on a virtual clock", SetFlag<&Options::realTime>},
    {"--trace", nullptr, "FILE", ValueKind::File,
     "record every command, message, stage, list and progress change and sleep as JSON Lines "
     "in FILE; not the firmware file, a block device or an sg node, and as root not through a "
     "symbolic link",
     SetTrace},
    {"--restore-polling", nullptr, nullptr, ValueKind::None,
     "undo what DUALDOWNLOAD changed on the host, then exit: remove its udev rule, set media "
     "polling back to the kernel default for the listed drives of the two models and reload "
     "udev (through pkexec when not root); no window, no question; status 0 when done, 1 when "
     "a step failed",
     SetFlag<&Options::restorePolling>},
    {"--help", "-h", nullptr, ValueKind::None, "show this help and exit", SetFlag<&Options::help>},
    {"--version", nullptr, nullptr, ValueKind::None, "show the version and exit",
     SetFlag<&Options::version>},
};

const ExitStatus kExitStatuses[] = {
    {"0", "success (batch: the download succeeded; dialog: normal end)"},
    {"1", "the download failed (--all: a drive's download did not complete)"},
    {"2",
     "start-up refused to go on (unknown program name, no drive of the family, transport "
     "missing; DUALDOWNLOAD: wrong transport, media polling switched off and a restart "
     "requested, or polling could not be switched off; no display for the window: use --batch; "
     "with raised rights, a window from a directory others than root may change)"},
    {"3",
     "nothing was done (no drive selected, no listed drive of a known family, a drive of no "
     "known family left alone, no file, cancelled)"},
    {"64",
     "bad command line (--all under HLVDOWNLOAD, WINDWL2 or DUALDOWNLOAD too), or the trace "
     "file cannot be written or is refused"},
    {"128+N",
     "ended by signal N: SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, "
     "SIGXCPU, SIGPWR, SIGSTKFLT, SIGRTMIN to SIGRTMAX; outside a download at once, during one "
     "after its end (--all: the running downloads end first). SIGPIPE, SIGXFSZ and SIGIO are "
     "ignored, as is any signal ignored when the "
     "program starts"},
};
static_assert(kExitOk == 0 && kExitFailed == 1 && kExitRefused == 2 && kExitNothingDone == 3 &&
              kExitUsage == 64);
// --check, --list, --restore-polling and --history end with their own statuses.
constexpr char kCheckStatus[] =
    "With --check: 0 when a family that examines the content accepts the image, else 1;\n"
    "  for one drive: 0 accepted, 1 refused, 2 the drive not found or not answering, 3 the\n"
    "  drive of no known family.\n"
    "With --list: 0 when listed (also when none is found), 1 when the listing failed.\n"
    "With --restore-polling: 0 when done, 1 when a step failed.\n"
    "With --history: 0 when the history was read (or there is none yet), else 1.\n";

// The option `arg` names, with its value; null when none does.
const OptionRow* Match(const std::string& arg, std::string& value) {
    for (const OptionRow& option : kOptions) {
        if (!option.value) {
            if (arg == option.name || (option.alias && arg == option.alias)) return &option;
            continue;
        }
        std::string prefix = std::string(option.name) + "=";
        if (arg.rfind(prefix, 0) == 0) {
            value = arg.substr(prefix.size());
            return &option;
        }
    }
    return nullptr;
}

constexpr size_t kHelpWidth = 80;

// A label in the first columns, its text wrapped from column `column`; on the next line when
// the label leaves no room.
std::string Entry(const std::string& label, const std::string& text, size_t column) {
    std::string body = Wrapped(text, column, kHelpWidth);
    if (label.size() + 1 > column) return label + "\n" + body;
    return label + std::string(column - label.size(), ' ') + body.substr(column);
}

std::string OptionsHelp() {
    std::string text = "Options:\n";
    for (const OptionRow& option : kOptions) {
        std::string label = std::string("  ") +
                            (option.alias ? option.alias + std::string(", ") : "") + option.name +
                            (option.value ? std::string("=") + option.value : "");
        text += Entry(label, option.help, 23);
    }
    return text;
}

std::string EmulateKeysHelp() {
    std::string text = "Keys of --emulate (after the family, separated by commas):\n";
    size_t count = 0;
    const EmulateKey* keys = EmulateKeys(count);
    for (size_t i = 0; i < count; ++i) {
        text += "  " + std::string(keys[i].name) + "=" + keys[i].value + "\n";
        text += Wrapped(std::string(keys[i].help) + (keys[i].repeatable ? " (repeatable)" : ""), 6,
                        kHelpWidth);
    }
    return text;
}

std::string ExitStatusHelp() {
    std::string text = "Exit status:\n";
    for (const ExitStatus& status : kExitStatuses) {
        std::string code = status.code;
        text += Entry("  " + code, status.meaning, 5);
    }
    return text + kCheckStatus;
}

}  // namespace

std::span<const OptionRow> OptionTable() {
    return kOptions;
}

std::span<const ExitStatus> ExitStatuses() {
    return kExitStatuses;
}

std::string Wrapped(const std::string& text, size_t indent, size_t width) {
    std::string out;
    std::string line(indent, ' ');
    std::string word;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != ' ') {
            word += text[i];
            continue;
        }
        if (word.empty()) continue;
        if (line.size() > indent && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line.assign(indent, ' ');
        }
        line += (line.size() > indent ? " " : "") + word;
        word.clear();
    }
    return out + line + "\n";
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    bool plainOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
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
            continue;
        }
        std::string value;
        const OptionRow* option = Match(arg, value);
        if (!option) {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
        if (!option->apply(value, o, error)) return false;
    }
    if (o.emulate.size() > kMaxEmulatedDrives) {
        error = "at most " + std::to_string(kMaxEmulatedDrives) + " drives can be emulated";
        return false;
    }
    const bool driveCheck = o.DriveCheck();
    if (o.check && (o.firmwarePath.empty() || o.batch ||
                    (!driveCheck && (o.realTime || !o.tracePath.empty())))) {
        error =
            "--check takes an image file and no --batch; --trace and --real-time only when it "
            "checks for one drive (--device or --emulate)";
        return false;
    }
    if (driveCheck && (o.devices.size() > 1 || (o.devices.empty() && o.emulate.size() != 1))) {
        error = "--check judges the image for one drive: one --device=PATH, or one --emulate";
        return false;
    }
    if (o.list &&
        (!o.firmwarePath.empty() || o.check || o.all || o.yes || o.history || o.restorePolling)) {
        error =
            "--list only lists the drives: no firmware file, --check, --all, --yes, --history or "
            "--restore-polling";
        return false;
    }
    if (o.restorePolling && (o.check || !o.firmwarePath.empty())) {
        error = "--restore-polling takes no firmware file and no --check";
        return false;
    }
    if (o.history &&
        (!o.firmwarePath.empty() || o.check || o.batch || o.yes || !o.emulate.empty() ||
         !o.devices.empty() || o.realTime || !o.tracePath.empty())) {
        error =
            "--history only reads the history: no firmware file, --check, --batch, --yes, "
            "--emulate, --device, --real-time or --trace";
        return false;
    }
    if (o.json && !o.history && !o.list) {
        error = "--json goes with --history or --list";
        return false;
    }
    if (o.all && (o.check || o.firmwarePath.empty())) {
        error = "--all takes a firmware file and no --check";
        return false;
    }
    if (o.all) o.batch = true;
    if (o.realTime && o.emulate.empty()) {
        error = "--real-time only applies to emulated drives (--emulate)";
        return false;
    }
    return true;
}

std::string HelpText(const std::string& title) {
    return "Usage: " + title +
           " [OPTION]... [FIRMWARE-FILE]\n"
           "  or:  " +
           title +
           " --check FIRMWARE-FILE [--device=PATH | --emulate=ID]\n"
           "  or:  " +
           title +
           " --list [--json] [--transport=sr|sg] [--device=PATH]...\n"
           "  or:  " +
           title +
           " --history [--json]\n"
           "  or:  " +
           title +
           " --all [OPTION]... FIRMWARE-FILE\n"
           "Download firmware into an optical drive of the family named by the program's own\n"
           "name (LD3410, LD4740, ..., LDMULTI; HLVDOWNLOAD, WINDWL2, DUALDOWNLOAD: any family).\n"
           "\n"
           "First check a new image: --check runs it through the download of every family (of\n"
           "this one only under a family's name), each against an emulated drive, and prints a\n"
           "line a family: accepted (bytes, pieces, identity found) or refused (and why). No\n"
           "drive is touched.\n"
           "\n"
           "Every download that sent a drive a command is recorded in\n"
           "$XDG_STATE_HOME/discflash/history.jsonl (~/.local/state/discflash/history.jsonl);\n"
           "--history lists them.\n"
           "\n"
           "Without --batch the main dialog opens. A FIRMWARE-FILE given here is used by the\n"
           "first DownLoad, on the first listed drive of any known family.\n"
           "\n" +
           OptionsHelp() + "\n" + EmulateKeysHelp() + "\n" + ExitStatusHelp();
}
