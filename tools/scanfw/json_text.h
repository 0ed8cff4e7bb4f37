// Texts as JSON strings: quotes and backslashes escaped, everything outside printable ASCII
// as \u escapes of its UTF-16 units, so that any path survives as it was.
#pragma once

#include <string>
#include <string_view>

std::string JsonQuoteWide(std::u16string_view text);
