// Zero-terminated UTF-16 strings as the command line, the loader and device discovery use
// them. Wide strings are char16_t everywhere in the portable code, so the same code runs
// where wchar_t is 32 bits. Letter case folds exactly A-Z to a-z; nothing else changes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

char16_t FoldAscii(char16_t unit);

std::size_t WideLength(const char16_t* text);

// The position in text right after prefix when text begins with it (A-Z folded on both
// sides), or nullptr. An empty prefix gives text itself.
const char16_t* StartsWithNoCase(const char16_t* text, const char16_t* prefix);

// Same length and equal unit by unit after folding A-Z.
bool EqualsNoCase(const char16_t* left, const char16_t* right);

// Folds A-Z in place up to the terminating zero.
void LowerAscii(char16_t* text);

// Copies source with its terminator. It has no bound of its own: the caller makes sure the
// destination has room.
void CopyWide(char16_t* destination, const char16_t* source);

// UTF-8 to UTF-16 without loss: a byte that does not start a valid UTF-8 sequence becomes the
// lone unit 0xDC00 + byte, which Utf16ToUtf8 turns back into that byte. So any byte string
// (a Linux argument or file name) survives the round trip unchanged.
std::u16string Utf8ToUtf16(std::string_view text);
// Any other unpaired surrogate has no UTF-8 form and becomes U+FFFD, so that nothing but the
// escaped bytes is ever written as invalid UTF-8.
std::string Utf16ToUtf8(std::u16string_view text);

// Every unpaired surrogate, the escaped bytes' units among them, replaced by U+FFFD: for text
// that came from Windows as UTF-16, where such a unit is a broken character, not a byte, and
// that is only to be printed.
std::u16string ReplaceUnpairedSurrogates(std::u16string_view text);

// Text the system handed over as UTF-16 (an argument, a path, a port name), in UTF-8 for
// people to read. On POSIX systems it is Utf16ToUtf8, so every escaped byte comes back as
// that byte; on Windows an unpaired surrogate is a broken character and becomes U+FFFD.
// One implementation per OS, like the sync primitives.
std::string SystemTextToUtf8(std::u16string_view text);

// Appends text with every control character (C0, DEL and C1) and every byte that does not
// start a valid UTF-8 sequence written as \xNN, so that a line made of it stays one line of
// valid UTF-8 whatever the text holds.
void AppendEscaped(std::string& out, std::string_view text);
