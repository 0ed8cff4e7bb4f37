#include "scanfw/json_text.h"

#include <cstdio>

std::string JsonQuoteWide(std::u16string_view text) {
    std::string quoted = "\"";
    for (const char16_t unit : text) {
        if (unit == u'"' || unit == u'\\') {
            quoted += '\\';
            quoted += static_cast<char>(unit);
        } else if (unit < 0x20 || unit >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", static_cast<unsigned>(unit));
            quoted += escape;
        } else {
            quoted += static_cast<char>(unit);
        }
    }
    return quoted + "\"";
}
