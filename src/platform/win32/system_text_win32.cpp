// Windows: names and arguments are UTF-16 as the system keeps them, so an unpaired surrogate
// is a broken character, never an escaped byte.
#include "common/wide_string.h"

std::string SystemTextToUtf8(std::u16string_view text) {
    return Utf16ToUtf8(ReplaceUnpairedSurrogates(text));
}
