// --emulate=ID[,key=value...]
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>

#include "emu/emulated_drive.h"

namespace {

// The identities of each group: the loader reports field 0, the main program field 1. The
// ROM-image drives (LD3410, LD3411, LD3520) have no loader; the DVD-RAM group has none either,
// and its ordinary identity is field 0.
const EmulatedProgram kPrograms[] = {
    {"LD3410", "", "HALVERONCD-RW  KR-3410 "},
    {"LD3411", "", "HALVERONCD-RW  KR-3411 "},
    {"LD3520", "", "HALVERONCD-RW  KR-3520 "},
    {"LD3521", "HALVERONCD-RW  KR-3521P", "HALVERONCD-RW  KR-3521 "},
    {"LD4630", "HALVERONCD-RW   KR-4630P", "HALVERONCD-RW   KR-4630 "},
    {"LD4631", "HALVERONCD-RW  KR-4631P", "HALVERONCD-RW  KR-4631 "},
    {"LD4740", "HALVERONCD-RW  KR-4740P", "HALVERONCD-RW  KR-4740 "},
    {"LD4741", "HALVERONCD-RW  KR-4741P", "HALVERONCD-RW  KR-4741 "},
    {"LD4742", "HALVERONCD-RW  KR-4742P", "HALVERONCD-RW  KR-4742 "},
    {"LD5850", "HALVERON LQ10A4 DOWNLOAD", "HALVERONDVD-ROM VD-5850 "},
    {"LD5860", "HALVERON LQ10A4 DOWNLOAD", "HALVERONDVD-ROM VD-5860 "},
    {"LD5871", "HALVERON VD5870 DOWNLOAD", "HALVERONDVD-ROM VD-5871 "},
    {"LD5861", "HALVERON LQ11A5 DOWNLOAD", "HALVERONDVD-ROM VD-5861 "},
    {"LD5862", "HALVERON LQ12A5 DOWNLOAD", "HALVERONDVD-ROM VD-5862 "},
    {"LD5851", "HALVERON LQ11A5 DOWNLOAD", "HALVERONDVD-ROM VD-5851 "},
    {"LD5852", "HALVERON LQ12A5 DOWNLOAD", "HALVERONDVD-ROM VD-5852 "},
    {"LDMULTI", "", "HALVERONDVD-RAM VR-6910N"},
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

bool ParseHexByte(const std::string& s, uint8_t& value) {
    std::string t = s;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.empty() || t.size() > 2) return false;
    unsigned v = 0;
    for (char c : t) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 +
            static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    value = static_cast<uint8_t>(v);
    return true;
}

// Decimal or 0x hex, within [low, high].
bool ParseNumber(const std::string& s, long low, long high, long& value) {
    if (s.empty()) return false;
    int base = 10;
    std::string digits = s;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        digits = s.substr(2);
    }
    if (digits.empty() || digits.size() > 8) return false;
    long v = 0;
    for (char c : digits) {
        unsigned char u = static_cast<unsigned char>(c);
        int d;
        if (std::isdigit(u))
            d = c - '0';
        else if (base == 16 && std::isxdigit(u))
            d = std::tolower(u) - 'a' + 10;
        else
            return false;
        v = v * base + d;
    }
    if (v < low || v > high) return false;
    value = v;
    return true;
}

bool ParseFlag(const std::string& v, bool& flag, std::string& error) {
    if (v == "1") {
        flag = true;
    } else if (v == "0") {
        flag = false;
    } else {
        error = "expected 1 or 0";
        return false;
    }
    return true;
}

// Up to `most` bytes written as hexadecimal digits, two a byte ("3F", "0a1b").
bool ParseHexBytes(const std::string& v, size_t most, std::vector<uint8_t>& bytes,
                   std::string& error) {
    std::vector<uint8_t> out;
    bool ok = !v.empty() && v.size() % 2 == 0 && v.size() <= 2 * most;
    for (size_t i = 0; ok && i < v.size(); i += 2) {
        uint8_t b = 0;
        ok = ParseHexByte(v.substr(i, 2), b);
        out.push_back(b);
    }
    if (!ok) {
        error =
            "expected 1 to " + std::to_string(most) + " bytes in hexadecimal (two digits a byte)";
        return false;
    }
    bytes = std::move(out);
    return true;
}

// OP[@N]: the opcode and which of its commands.
bool ParseOpcodeAt(const std::string& text, FaultRule& rule, std::string& error) {
    std::string op = text, nth;
    size_t at = text.find('@');
    if (at != std::string::npos) {
        op = text.substr(0, at);
        nth = text.substr(at + 1);
    }
    if (!ParseHexByte(op, rule.opcode)) {
        error = Quoted(op) + " is not a hexadecimal opcode (00 to FF)";
        return false;
    }
    if (at != std::string::npos) {
        long n = 0;
        if (!ParseNumber(nth, 1, 1000000000L, n)) {
            error = Quoted(nth) + " is not a command count (a whole number from 1)";
            return false;
        }
        rule.nth = static_cast<int>(n);
    }
    return true;
}

bool ParseFail(const std::string& v, FaultRule& rule, std::string& error) {
    size_t colon = v.find(':');
    if (colon == std::string::npos) {
        error = "expected OP[@N]:KK/AA/QQ";
        return false;
    }
    if (!ParseOpcodeAt(v.substr(0, colon), rule, error)) return false;
    std::string sense = v.substr(colon + 1);
    uint8_t parts[3];
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        size_t slash = i < 2 ? sense.find('/', pos) : sense.size();
        if (slash == std::string::npos || !ParseHexByte(sense.substr(pos, slash - pos), parts[i])) {
            error = Quoted(sense) + " is not a sense KK/AA/QQ (three hexadecimal bytes)";
            return false;
        }
        pos = slash + 1;
    }
    rule.senseKey = parts[0];
    rule.asc = parts[1];
    rule.ascq = parts[2];
    return true;
}

}  // namespace

const EmulatedProgram* FindEmulatedProgram(const std::string& id) {
    std::string up = Upper(id);
    for (const EmulatedProgram& p : kPrograms)
        if (up == p.id) return &p;
    return nullptr;
}

namespace {

// ---- the keys -------------------------------------------------------------------------------

// Text a drive reports: printable ASCII as written, any other byte as \xNN (as real drives fill
// their INQUIRY bytes); from `least` to `most` bytes once decoded.
bool ParseDriveText(const std::string& v, size_t least, size_t most, std::string& text,
                    std::string& error) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(v[i]);
        uint8_t byte = 0;
        if (c == '\\') {
            if (i + 4 > v.size() || v.compare(i, 2, "\\x") != 0 ||
                !ParseHexByte(v.substr(i + 2, 2), byte)) {
                error = "a backslash starts a byte written \\xNN (a backslash itself is \\x5C)";
                return false;
            }
            out += static_cast<char>(byte);
            i += 3;
        } else if (c < 0x20 || c > 0x7E) {
            error = "only printable ASCII characters; write other bytes as \\xNN";
            return false;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() < least || out.size() > most) {
        error = "expected " + std::to_string(least) + " to " + std::to_string(most) +
                " bytes, not " + std::to_string(out.size());
        return false;
    }
    text = std::move(out);
    return true;
}

bool ParseIdentity(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    std::string text;
    if (!ParseDriveText(v, 0, 24, text, error)) return false;
    s.identity = text + std::string(24 - text.size(), ' ');
    return true;
}

// A whole number within [low, high] into `into`; otherwise `expected` is the error.
bool NumberInto(const std::string& v, long low, long high, int& into, const char* expected,
                std::string& error) {
    long n = 0;
    if (!ParseNumber(v, low, high, n)) {
        error = expected;
        return false;
    }
    into = static_cast<int>(n);
    return true;
}

bool ParseType(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return NumberInto(v, 0, 255, s.type, "expected a number from 0 to 255 (decimal or 0x hex)",
                      error);
}

bool ParseDisc(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseFlag(v, s.disc, error);
}

bool ParseLoader(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    if (!ParseFlag(v, s.loader, error)) return false;
    const EmulatedProgram* program = FindEmulatedProgram(s.programId);
    if (s.loader && program && program->loader[0] == '\0') {
        error = s.programId + " drives have no loader program";
        return false;
    }
    return true;
}

bool ParseRevision(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseDriveText(v, 1, 4, s.revision, error);
}

bool ParseLoaderRevision(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseDriveText(v, 1, 4, s.loaderRevision, error);
}

bool ParsePoll(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseFlag(v, s.poll, error);
}

bool ParseTag(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseHexBytes(v, 2, s.tag, error);
}

bool ParseDriveData(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseHexBytes(v, 4, s.driveData, error);
}

bool ParseConfig(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return ParseHexBytes(v, 2, s.config, error);
}

bool ParseStore(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return NumberInto(v, 0, 100000, s.storeSeconds, "expected whole seconds from 0 to 100000",
                      error);
}

bool ParseInquiryLength(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    long n = 0;
    if (!ParseNumber(v, 1, 255, n)) {
        error = "expected a number of bytes from 1 to 255";
        return false;
    }
    s.inquiryLength = static_cast<int>(n);
    return true;
}

bool ParseFailKey(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    FaultRule rule;
    if (!ParseFail(v, rule, error)) return false;
    s.faults.push_back(rule);
    return true;
}

// OP[@N] keys: a fault rule with one flag set.
template <bool FaultRule::*flag>
bool ParseRuleAt(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    FaultRule rule;
    rule.*flag = true;
    if (!ParseOpcodeAt(v, rule, error)) return false;
    s.faults.push_back(rule);
    return true;
}

// A signal by name (QUIT, SIGQUIT, RTMIN, RTMAX) or number.
bool ParseSignalName(const std::string& text, int& signo) {
    std::string t = Upper(text);
    if (t.rfind("SIG", 0) == 0) t = t.substr(3);
    if (t == "IO") t = "POLL";  // one signal, two names
    long n = 0;
    if (t == "RTMIN" || t == "RTMAX") {
        signo = t == "RTMIN" ? SIGRTMIN : SIGRTMAX;
    } else if (ParseNumber(t, 1, SIGRTMAX, n)) {
        signo = static_cast<int>(n);
    } else {
        signo = 0;
        for (int s = 1; s < __SIGRTMIN && !signo; ++s)
            if (const char* name = sigabbrev_np(s); name && t == name) signo = s;
    }
    // The C library keeps the first real-time signals for itself.
    return signo > 0 && (signo < __SIGRTMIN || signo >= SIGRTMIN);
}

// SIG@OP[@N]
bool ParseSignal(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    const size_t at = v.find('@');
    FaultRule rule;
    if (at == std::string::npos || !ParseSignalName(v.substr(0, at), rule.signal)) {
        error = "expected SIG@OP[@N], SIG a signal's name or number (QUIT, SIGUSR2, RTMIN, 35)";
        return false;
    }
    if (!ParseOpcodeAt(v.substr(at + 1), rule, error)) return false;
    s.faults.push_back(rule);
    return true;
}

bool ParseBusy(const std::string& v, EmulatedDriveSpec& s, std::string& error) {
    return NumberInto(v, 1, 1000000, s.busyFromOpen,
                      "expected the open from which on it is busy (1: every open)", error);
}

const EmulateKey kKeys[] = {
    {"identity", "TEXT", false, ParseIdentity,
     "the 24 identity bytes (vendor and product, INQUIRY bytes 8-31) of the main program; any "
     "byte as \\xNN"},
    {"revision", "TEXT", false, ParseRevision,
     "the main program's INQUIRY revision, bytes 32-35 (default 1.00); any byte as \\xNN"},
    {"type", "N", false, ParseType, "INQUIRY byte 0 (5 is a CD/DVD device)"},
    {"disc", "1|0", false, ParseDisc, "a disc is in the drive"},
    {"loader", "1|0", false, ParseLoader, "the drive starts in its loader program"},
    {"poll", "1|0", false, ParsePoll, "the host polls the drive for media (auto-insert on)"},
    {"loader-revision", "TEXT", false, ParseLoaderRevision,
     "the loader's INQUIRY revision, bytes 32-35 (default 0.10); any byte as \\xNN"},
    {"tag", "HEX", false, ParseTag,
     "the reply to the tag command 0xCF, up to 2 bytes (default zeros)"},
    {"drive-data", "HEX", false, ParseDriveData,
     "the reply to the drive-data command 0xCE, up to 4 bytes (default zeros)"},
    {"config", "HEX", false, ParseConfig,
     "the 2 configuration bytes the loader returns from body offsets 0x6009 and 0x1FFDD (DVD-ROM "
     "families; default zeros)"},
    {"store", "SECONDS", false, ParseStore,
     "how long the microcode store command 0xF5 runs (default 5)"},
    {"inquiry-length", "N", false, ParseInquiryLength,
     "the drive sends N bytes of INQUIRY data (1 to 255, its additional length N-5) whatever the "
     "command asks for; the host takes no more than it asked for (default: 36, cut to the "
     "allocation length)"},
    {"fail", "OP[@N]:KK/AA/QQ", true, ParseFailKey,
     "the N-th command (default the first) with opcode OP ends with CHECK CONDITION and sense "
     "KK/AA/QQ"},
    {"hang", "OP[@N]", true, ParseRuleAt<&FaultRule::hang>, "that command never completes"},
    {"garble", "OP[@N]", true, ParseRuleAt<&FaultRule::garble>,
     "that command returns its data with the first byte inverted"},
    {"short", "OP[@N]", true, ParseRuleAt<&FaultRule::shorten>,
     "that command moves one byte of data less than it would; the kernel reports the byte not "
     "moved (the residual)"},
    {"vanish", "OP[@N]", false, ParseRuleAt<&FaultRule::vanish>,
     "the drive is unplugged at that command: it goes with it, and from then on the kernel "
     "answers as for a removed drive (ENODEV, ENXIO; DID_NO_CONNECT with --transport=sg)"},
    {"signal", "SIG@OP[@N]", true, ParseSignal,
     "the program is sent signal SIG (a name such as QUIT, or a number) as that command reaches "
     "the drive, which then answers as usual"},
    {"busy", "N", false, ParseBusy,
     "from the N-th opening of its nodes on, another program holds the drive: opening fails with "
     "EBUSY (1: every opening; 2: the scan lists it, the download cannot open it)"},
};

}  // namespace

const EmulateKey* EmulateKeys(size_t& count) {
    count = sizeof kKeys / sizeof kKeys[0];
    return kKeys;
}

bool ParseEmulateOption(const std::string& value, EmulatedDriveSpec& spec, std::string& error) {
    EmulatedDriveSpec s;
    std::vector<std::string> items;
    size_t pos = 0;
    while (true) {
        size_t comma = value.find(',', pos);
        items.push_back(value.substr(pos, comma == std::string::npos ? comma : comma - pos));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    const EmulatedProgram* program = FindEmulatedProgram(items[0]);
    if (items[0].empty()) {
        error = "a drive needs a program identifier (LD3410 to LDMULTI)";
        return false;
    }
    if (!program) {
        error = "unknown program identifier " + Quoted(items[0]) + " (LD3410 to LDMULTI)";
        return false;
    }
    s.programId = program->id;

    std::vector<std::string> seen;
    for (size_t i = 1; i < items.size(); ++i) {
        const std::string& item = items[i];
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = Quoted(item) + " is not key=value";
            return false;
        }
        std::string key = item.substr(0, eq), v = item.substr(eq + 1);
        const EmulateKey* k = nullptr;
        for (const EmulateKey& candidate : kKeys)
            if (key == candidate.name) k = &candidate;
        if (!k) {
            std::string names;
            for (const EmulateKey& candidate : kKeys)
                names += std::string(names.empty() ? "" : ", ") + candidate.name;
            error = "unknown key " + Quoted(key) + " (" + names + ")";
            return false;
        }
        if (!k->repeatable) {
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                error = key + " is given twice";
                return false;
            }
            seen.push_back(key);
        }
        std::string why;
        if (!k->parse(v, s, why)) {
            error = key + "=" + v + ": " + why;
            return false;
        }
    }
    spec = std::move(s);
    return true;
}

bool ParseEmulateOptions(const std::vector<std::string>& values,
                         std::vector<EmulatedDriveSpec>& specs, std::string& error) {
    if (values.size() > kMaxEmulatedDrives) {
        error = "at most " + std::to_string(kMaxEmulatedDrives) + " emulated drives";
        return false;
    }
    std::vector<EmulatedDriveSpec> out;
    for (const std::string& v : values) {
        EmulatedDriveSpec spec;
        std::string why;
        if (!ParseEmulateOption(v, spec, why)) {
            error = "--emulate=" + v + ": " + why;
            return false;
        }
        out.push_back(std::move(spec));
    }
    specs = std::move(out);
    return true;
}
