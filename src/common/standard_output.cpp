#include "common/standard_output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

std::atomic<StandardOutputWriter> outputWriter{nullptr};

// The progress lines are short; only a long program name in the banner needs more.
constexpr std::size_t SHORT_TEXT = 256;

void PrintFormatted(const char* format, va_list values) __attribute__((format(printf, 1, 0)));
void PrintFormatted(const char* format, va_list values) {
    const StandardOutputWriter writer = outputWriter.load();
    if (writer == nullptr) {
        std::vprintf(format, values);
        std::fflush(stdout);
        return;
    }
    va_list again;
    va_copy(again, values);
    char text[SHORT_TEXT];
    const int length = std::vsnprintf(text, sizeof text, format, values);
    if (length < 0) {
        va_end(again);
        return;
    }
    const auto size = static_cast<std::size_t>(length);
    if (size < sizeof text) {
        writer(text, size);
    } else {
        std::string longText(size + 1, '\0');
        std::vsnprintf(longText.data(), longText.size(), format, again);
        writer(longText.data(), size);
    }
    va_end(again);
}

}  // namespace

void SetStandardOutputWriter(StandardOutputWriter writer) {
    outputWriter.store(writer);
}

void PrintStandardOutput(const char* format, ...) {
    va_list values;
    va_start(values, format);
    PrintFormatted(format, values);
    va_end(values);
}
