#include "tools/docgen/docs.h"

#include <cctype>
#include <functional>
#include <map>

#include "app/cli/options.h"
#include "drives/catalogue.h"
#include "emu/emulated_drive.h"
#include "emu/sample_images.h"
#include "tools/mkimage/options.h"

namespace {

std::string Joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : separator) + w;
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == separator)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

std::vector<std::string> FamilyNames() {
    std::vector<std::string> names;
    for (int i = 0; i < kProgramTableSize; ++i) names.push_back(kProgramTable[i].id);
    return names;
}

std::string Bold(const std::string& text) {
    return "\\fB" + RoffText(text) + "\\fR";
}

std::string Italic(const std::string& text) {
    return "\\fI" + RoffText(text) + "\\fR";
}

// A tagged paragraph: the tag line, then the text.
std::string Entry(const std::string& tag, const std::string& text) {
    return ".TP\n" + tag + "\n" + RoffText(text);
}

std::string OptionTag(const OptionRow& option) {
    std::string tag = option.alias ? Bold(option.alias) + ", " : "";
    tag += Bold(option.name);
    if (option.value) tag += "=" + Italic(option.value);
    return tag;
}

std::string OptionsPage() {
    std::vector<std::string> entries;
    for (const OptionRow& option : OptionTable())
        entries.push_back(Entry(OptionTag(option), option.help));
    return Joined(entries, "\n");
}

std::string EmulateKeysPage() {
    size_t count = 0;
    const EmulateKey* keys = EmulateKeys(count);
    std::vector<std::string> entries;
    for (size_t i = 0; i < count; ++i)
        entries.push_back(
            Entry(Bold(std::string(keys[i].name) + "=") + Italic(keys[i].value),
                  std::string(keys[i].help) + (keys[i].repeatable ? " (repeatable)" : "")));
    return Joined(entries, "\n");
}

std::string ExitStatusPage() {
    std::vector<std::string> entries;
    for (const ExitStatus& status : ExitStatuses())
        entries.push_back(Entry(Bold(status.code), status.meaning));
    return Joined(entries, "\n");
}

// Each family with the identities it selects, blanks inside kept visible and unbreakable.
std::string FamiliesPage() {
    std::vector<std::string> entries;
    for (int i = 0; i < kProgramTableSize; ++i) {
        const ProgramEntry& e = kProgramTable[i];
        std::vector<std::string> texts;
        for (int f = 0; f + 1 < e.count; ++f) {  // the closing field marks the end
            std::string text(e.group[f].text, FieldLength(e.group[f]));
            text.erase(text.find_last_not_of(' ') + 1);
            std::string shown;
            for (char c : RoffText(text))
                shown += c == ' ' ? std::string("\\ ") : std::string(1, c);
            texts.push_back("\\%\\(lq" + shown + "\\(rq");
        }
        entries.push_back(".TP\n" + Bold(e.id) + "\n" + Joined(texts, "\n.br\n"));
    }
    return Joined(entries, "\n");
}

std::string GenericNamesTag() {
    std::vector<std::string> names;
    for (int i = 0; i < kGenericIdsSize; ++i) names.push_back(Bold(kGenericIds[i]));
    return Joined(names, ", ");
}

std::string SampleImagesPage() {
    std::vector<std::string> entries;
    for (const SampleImageRule& r : SampleImageRules())
        entries.push_back(Entry(
            Bold(r.id), std::to_string(r.minSize) + " to " + std::to_string(r.maxSize) + " bytes"));
    return Joined(entries, "\n");
}

std::string MkimageOptionsPage() {
    std::vector<std::string> entries;
    for (const MkimageOption& o : kMkimageOptions)
        entries.push_back(
            Entry(Bold(o.name) + (o.value ? " " + Italic(o.value) : std::string()), o.help));
    return Joined(entries, "\n");
}

bool IsPlaceholderName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!(std::isupper(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

// ---- the completion ----------------------------------------------------------------------------

// One case arm of the option's value, by what the value is.
std::string ValueArm(const OptionRow& option) {
    std::string body;
    switch (option.kind) {
        case ValueKind::None:
            return "";
        case ValueKind::Choice:
            body = "COMPREPLY=($(compgen -W '" + Joined(Split(option.value, '|'), " ") +
                   "' -- \"$cur\"))";
            break;
        case ValueKind::File:
            body = "_filedir";
            break;
        case ValueKind::DeviceNode:
            body = "_discflash_device";
            break;
        case ValueKind::EmulatedDrive:
            body = "_discflash_emulate";
            break;
    }
    return "        " + std::string(option.name) + ")\n            " + body +
           "\n            return\n            ;;\n";
}

std::string EmulateFunction() {
    size_t count = 0;
    const EmulateKey* keys = EmulateKeys(count);
    std::vector<std::string> names;
    std::string arms;
    for (size_t i = 0; i < count; ++i) {
        names.push_back(keys[i].name);
        std::string value = keys[i].value;
        if (value.find('|') != std::string::npos)
            arms += "            " + std::string(keys[i].name) + ") values='" +
                    Joined(Split(value, '|'), " ") + "' ;;\n";
    }
    return R"(# The value of --emulate: a family, then KEY=VALUE items separated by commas.
_discflash_emulate()
{
    if [[ $cur != *,* ]]; then
        COMPREPLY=($(compgen -W ')" +
           Joined(FamilyNames(), " ") + R"(' -- "${cur^^}"))
        return
    fi
    local head=${cur%,*} item=${cur##*,}
    if [[ $item != *=* ]]; then
        COMPREPLY=($(compgen -P "$head," -S = -W ')" +
           Joined(names, " ") + R"(' -- "$item"))
        compopt -o nospace
    else
        local values=
        case ${item%%=*} in
)" + arms + R"(        esac
        COMPREPLY=($(compgen -P "${cur%=*}=" -W "$values" -- "${item#*=}"))
    fi
    # The shell replaces only what follows the last '=' or ':' of the word.
    local tail=${cur##*[=:]} i
    for i in "${!COMPREPLY[@]}"; do
        COMPREPLY[i]=${COMPREPLY[i]:${#cur}-${#tail}}
    done
}
)";
}

}  // namespace

std::vector<std::string> ProgramNames() {
    std::vector<std::string> names = FamilyNames();
    for (int i = 0; i < kGenericIdsSize; ++i) names.push_back(kGenericIds[i]);
    return names;
}

std::string RoffText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool startsWord = i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]));
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && startsWord)
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

bool FillManPage(const std::string& tmpl, const std::string& version, std::string& page,
                 std::string& error) {
    const std::map<std::string, std::function<std::string()>> fills = {
        {"VERSION", [&] { return version; }},
        {"NAMES", [] { return RoffText("discflash, " + Joined(ProgramNames(), ", ")); }},
        {"FAMILIES", FamiliesPage},
        {"GENERIC_NAMES", GenericNamesTag},
        {"OPTIONS", OptionsPage},
        {"EMULATE_KEYS", EmulateKeysPage},
        {"EXIT_STATUS", ExitStatusPage},
        {"SAMPLE_IMAGES", SampleImagesPage},
        {"MKIMAGE_OPTIONS", MkimageOptionsPage},
        {"MKIMAGE_DEFAULT_SIZE", [] { return std::to_string(kMkimageDefaultSize); }},
    };
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t at = tmpl.find('@', pos);
        size_t end = at == std::string::npos ? at : tmpl.find('@', at + 1);
        if (end == std::string::npos) break;
        std::string name = tmpl.substr(at + 1, end - at - 1);
        if (!IsPlaceholderName(name)) {
            out += tmpl.substr(pos, at + 1 - pos);
            pos = at + 1;
            continue;
        }
        auto fill = fills.find(name);
        if (fill == fills.end()) {
            error = "unknown placeholder @" + name + "@";
            return false;
        }
        out += tmpl.substr(pos, at - pos) + fill->second();
        pos = end + 1;
    }
    page = out + tmpl.substr(pos);
    return true;
}

std::string BashCompletion() {
    std::vector<std::string> words, familyWords;
    std::string arms;
    for (const OptionRow& option : OptionTable()) {
        if (option.alias) words.push_back(option.alias);
        // --all is refused under the names of no family: not offered there.
        (std::string(option.name) == "--all" ? familyWords : words)
            .push_back(std::string(option.name) + (option.value ? "=" : ""));
        arms += ValueArm(option);
    }
    std::vector<std::string> generic = {"discflash"};
    for (int i = 0; i < kGenericIdsSize; ++i) generic.push_back(kGenericIds[i]);
    std::vector<std::string> mkimageWords;
    std::string mkimageValued;
    for (const MkimageOption& o : kMkimageOptions) {
        mkimageWords.push_back(o.name);
        if (o.value) mkimageValued += std::string(mkimageValued.empty() ? "" : "|") + o.name;
    }
    std::vector<std::string> sampleFamilies;
    for (const SampleImageRule& r : SampleImageRules()) sampleFamilies.push_back(r.id);

    return R"(# bash completion for discflash under its program names, and for discflash-mkimage.
# Made by the build from the programs' own tables.

# A device node: the CD/DVD and generic SCSI nodes first.
_discflash_device()
{
    if [[ -z $cur ]]; then
        COMPREPLY=($(compgen -G '/dev/s[rg][0-9]*'))
    else
        _filedir
    fi
}

)" + EmulateFunction() +
           R"(
_discflash()
{
    local cur prev words cword split
    _init_completion -s -n : || return

    local i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            _filedir
            return
        fi
    done

    case $prev in
)" + arms + R"(    esac
    $split && return

    if [[ $cur == -* ]]; then
        local offer=')" +
           Joined(words, " ") + R"('
        case ${words[0]##*/} in
            )" +
           Joined(generic, " | ") +
           R"() ;;
            *) offer+=' )" +
           Joined(familyWords, " ") + R"(' ;;
        esac
        COMPREPLY=($(compgen -W "$offer" -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi
    _filedir
} &&
    complete -F _discflash discflash )" +
           Joined(ProgramNames(), " ") + R"(

_discflash_mkimage()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        )" +
           mkimageValued +
           R"()
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W ')" +
           Joined(mkimageWords, " ") + R"(' -- "$cur"))
        return
    fi
    # The first plain argument is the family, the second the image file.
    local i plain=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            )" +
           mkimageValued +
           R"() ((i++)) ;;
            -*) ;;
            *) ((plain++)) ;;
        esac
    done
    if ((plain == 0)); then
        COMPREPLY=($(compgen -W ')" +
           Joined(sampleFamilies, " ") + R"(' -- "${cur^^}"))
    else
        _filedir
    fi
} &&
    complete -F _discflash_mkimage discflash-mkimage

# ex: filetype=sh
)";
}
