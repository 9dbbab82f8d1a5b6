#include "system/flat_json.h"

#include <cstdio>

#include "system/printable.h"

void AppendJsonString(std::string& out, const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else if (size_t n = Utf8SequenceLength(s + i, text.size() - i)) {
            out.append(text, i, n);
            i += n;
            continue;
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        }
        ++i;
    }
    out += '"';
}

namespace {

class FlatObjectParser {
  public:
    explicit FlatObjectParser(const std::string& s) : s_(s) {}

    bool Parse(std::map<std::string, JsonValue>& fields) {
        Blank();
        if (!Take('{')) return false;
        Blank();
        if (Take('}')) return End();
        for (;;) {
            std::string key;
            JsonValue value;
            Blank();
            if (!String(key)) return false;
            Blank();
            if (!Take(':')) return false;
            Blank();
            if (!Value(value)) return false;
            fields[key] = std::move(value);
            Blank();
            if (Take('}')) return End();
            if (!Take(',')) return false;
        }
    }

  private:
    bool End() {
        Blank();
        return at_ == s_.size();
    }
    void Blank() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
    }
    bool Take(char c) {
        if (at_ >= s_.size() || s_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (s_.compare(at_, w.size(), w) != 0) return false;
        at_ += w.size();
        return true;
    }
    bool Value(JsonValue& v) {
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '"') {
            v.kind = JsonValue::String;
            return String(v.text);
        }
        if (c >= '0' && c <= '9') {
            v.kind = JsonValue::Number;
            return Number(v.number);
        }
        v.kind = c == 'n' ? JsonValue::Null : JsonValue::Bool;
        v.flag = c == 't';
        return Word(c == 'n' ? "null" : c == 't' ? "true" : "false");
    }
    bool Number(uint64_t& n) {
        const size_t start = at_;
        n = 0;
        while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') {
            const uint64_t digit = static_cast<uint64_t>(s_[at_] - '0');
            if (n > (UINT64_MAX - digit) / 10) return false;
            n = n * 10 + digit;
            ++at_;
        }
        const bool leadingZero = s_[start] == '0' && at_ - start > 1;
        return !leadingZero && (at_ >= s_.size() || std::string(".eE").find(s_[at_]) == npos);
    }
    bool Hex4(uint32_t& code) {
        if (at_ + 4 > s_.size()) return false;
        code = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[at_++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            code = code * 16 + static_cast<uint32_t>(d);
        }
        return true;
    }
    // \u0000 to \u00ff are the byte of that value (what AppendJsonString writes for a byte
    // outside UTF-8); code points above come as UTF-8.
    bool Escape(std::string& out) {
        if (at_ >= s_.size()) return false;
        const char c = s_[at_++];
        static const std::string kPlain = "\"\\/bfnrt", kMeant = "\"\\/\b\f\n\r\t";
        if (size_t k = kPlain.find(c); k != npos) {
            out += kMeant[k];
            return true;
        }
        uint32_t code = 0;
        if (c != 'u' || !Hex4(code)) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x100) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        for (;;) {
            if (at_ >= s_.size()) return false;
            const unsigned char c = static_cast<unsigned char>(s_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
            } else if (!Escape(out)) {
                return false;
            }
        }
    }

    static constexpr size_t npos = std::string::npos;
    const std::string& s_;
    size_t at_ = 0;
};

}  // namespace

bool ParseFlatObject(const std::string& line, std::map<std::string, JsonValue>& fields) {
    return FlatObjectParser(line).Parse(fields);
}
