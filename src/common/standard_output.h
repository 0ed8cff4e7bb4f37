// The product's progress text on standard output, printed with printf formats and flushed at
// once, so that a watching user or script sees each step as it happens. By default it goes
// through the C runtime's stdout exactly as printf writes it; a platform may hand in a writer
// of its own for a console (Windows writes a console's text as UTF-16).
#pragma once

#include <cstddef>

// Takes the formatted text, UTF-8 without a terminator.
using StandardOutputWriter = void (*)(const char* text, std::size_t length);

// nullptr puts the C runtime's stdout back.
void SetStandardOutputWriter(StandardOutputWriter writer);

void PrintStandardOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));
