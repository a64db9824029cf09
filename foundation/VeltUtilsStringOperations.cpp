#include "foundation/VeltUtilsStringOperations.h"

#include <cctype>
#include <cstdint>

#include "foundation/VeltExceptions.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`; malformed input yields U+FFFD and skips one byte.
char32_t DecodeUtf8(const std::string& text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        ++pos;
        return kReplacement;
    }
    if (pos + extra >= text.size()) {  // truncated sequence
        ++pos;
        return kReplacement;
    }
    for (int i = 1; i <= extra; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        cp = (cp << 6) | (byte(pos + i) & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += extra + 1;
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLetter(char32_t cp) {
    if (cp < 0x80) return std::isalpha(static_cast<int>(cp)) != 0;
    // Latin-1 letters (without the multiplication and division signs), Latin Extended,
    // IPA, Greek and Cyrillic: the scripts travel agencies write names in.
    if (cp >= 0xC0 && cp <= 0x24F) return cp != 0xD7 && cp != 0xF7;
    if (cp >= 0x370 && cp <= 0x3FF) return cp != 0x37E && cp != 0x387 && cp != 0x375;
    if (cp >= 0x400 && cp <= 0x4FF) return !(cp >= 0x482 && cp <= 0x489);
    return false;
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t cp = DecodeUtf8(text, pos);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

std::string StringToHexCodes(const std::string& text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char16_t unit : Utf8ToUtf16(text)) {
        for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
    }
    return out;
}

std::string HexCodesToString(const std::string& hexCodes) {
    std::u16string units;
    for (std::size_t pos = 0; pos + 4 <= hexCodes.size(); pos += 4) {
        char16_t unit = 0;
        for (std::size_t i = pos; i < pos + 4; ++i) {
            const int digit = HexDigitValue(hexCodes[i]);
            if (digit < 0) throw EConvertError("'" + hexCodes.substr(pos, 4) + "' is not a valid hexadecimal code");
            unit = static_cast<char16_t>((unit << 4) | digit);
        }
        units += unit;
    }
    return Utf16ToUtf8(units);
}

std::string PadLeftTo(const std::string& text, char fill, std::size_t length) {
    return text.size() >= length ? text : std::string(length - text.size(), fill) + text;
}

std::string PadRightTo(const std::string& text, char fill, std::size_t length) {
    return text.size() >= length ? text : text + std::string(length - text.size(), fill);
}

std::string TrimLeadingChar(const std::string& text, char c) {
    const auto first = text.find_first_not_of(c);
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string TrimTrailingChar(const std::string& text, char c) {
    const auto last = text.find_last_not_of(c);
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string TrimBlanks(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return text.substr(begin, end - begin);
}

std::string LowerCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string UpperCaseAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool IsAlphabeticOnly(const std::string& text) {
    if (text.empty()) return false;
    for (std::size_t pos = 0; pos < text.size();) {
        if (!IsLetter(DecodeUtf8(text, pos))) return false;
    }
    return true;
}

std::string IntToTrimmedStr(long long value) { return std::to_string(value); }

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
    return text;
}
