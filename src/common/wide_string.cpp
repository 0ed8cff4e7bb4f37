#include "common/wide_string.h"

#include <cstdint>

char16_t FoldAscii(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + 0x20) : unit;
}

std::size_t WideLength(const char16_t* text) {
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

const char16_t* StartsWithNoCase(const char16_t* text, const char16_t* prefix) {
    while (*prefix != 0) {
        if (FoldAscii(*text) != FoldAscii(*prefix)) {
            return nullptr;
        }
        ++text;
        ++prefix;
    }
    return text;
}

bool EqualsNoCase(const char16_t* left, const char16_t* right) {
    while (*left != 0 && *right != 0) {
        if (FoldAscii(*left) != FoldAscii(*right)) {
            return false;
        }
        ++left;
        ++right;
    }
    return *left == 0 && *right == 0;
}

void LowerAscii(char16_t* text) {
    for (; *text != 0; ++text) {
        *text = FoldAscii(*text);
    }
}

void CopyWide(char16_t* destination, const char16_t* source) {
    while ((*destination++ = *source++) != 0) {
    }
}

namespace {

constexpr char16_t ESCAPED_BYTE_BASE = 0xDC00;
constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0u) == 0x80u;
}

// Length of the valid UTF-8 sequence at the start of text and its code point, or 0.
std::size_t DecodeOne(std::string_view text, char32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80u) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0u) == 0xC0u) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0u) == 0xE0u) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8u) == 0xF0u) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!IsContinuation(byte)) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte & 0x3Fu);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0u | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80u | (codePoint & 0x3Fu)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0u | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80u | ((codePoint >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (codePoint & 0x3Fu)));
    } else {
        out.push_back(static_cast<char>(0xF0u | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80u | ((codePoint >> 12) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | ((codePoint >> 6) & 0x3Fu)));
        out.push_back(static_cast<char>(0x80u | (codePoint & 0x3Fu)));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = DecodeOne(text, codePoint);
        if (length == 0) {
            out.push_back(
                static_cast<char16_t>(ESCAPED_BYTE_BASE + static_cast<unsigned char>(text[0])));
            text.remove_prefix(1);
            continue;
        }
        if (codePoint >= 0x10000) {
            const char32_t offset = codePoint - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(codePoint));
        }
        text.remove_prefix(length);
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool nextLow = i + 1 < text.size() && IsLowSurrogate(text[i + 1]);
        if (IsHighSurrogate(unit) && nextLow) {
            const char32_t codePoint = 0x10000 + ((static_cast<char32_t>(unit - 0xD800) << 10) |
                                                  static_cast<char32_t>(text[i + 1] - 0xDC00));
            AppendUtf8(out, codePoint);
            ++i;
        } else if (unit >= ESCAPED_BYTE_BASE + 0x80 && unit <= ESCAPED_BYTE_BASE + 0xFF) {
            out.push_back(static_cast<char>(unit - ESCAPED_BYTE_BASE));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            AppendUtf8(out, REPLACEMENT_CHARACTER);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

std::u16string ReplaceUnpairedSurrogates(std::u16string_view text) {
    std::u16string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (IsHighSurrogate(out[i]) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(out[i]) || IsLowSurrogate(out[i])) {
            out[i] = static_cast<char16_t>(REPLACEMENT_CHARACTER);
        }
    }
    return out;
}

void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = DecodeOne(text, codePoint);
        const bool control = codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0);
        if (length != 0 && !control) {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
            continue;
        }
        const std::size_t escaped = length == 0 ? 1 : length;
        for (std::size_t i = 0; i < escaped; ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            const char digits[4] = {'\\', 'x', DIGITS[byte >> 4], DIGITS[byte & 0x0F]};
            out.append(digits, sizeof digits);
        }
        text.remove_prefix(escaped);
    }
}
