// POSIX systems: names and arguments are bytes, which Utf8ToUtf16 escaped where they were
// not UTF-8; they go back as those very bytes.
#include "common/wide_string.h"

std::string SystemTextToUtf8(std::u16string_view text) {
    return Utf16ToUtf8(text);
}
