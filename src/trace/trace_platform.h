// What the update trace needs from the operating system: the variable that names the trace
// file, opening it for appending, and the texts of its header.
#pragma once

#include <cstdio>
#include <string>

// The value of SCANFLASH_TRACE; false when it is not set or empty.
bool TraceFileFromEnvironment(std::u16string& path);
// Opens path for appending, in binary mode so that lines end in LF on every system; null
// (errno set) when it cannot.
std::FILE* OpenTraceFile(const std::u16string& path);
// The system's name, release and machine, such as "Linux 6.1.0-18-amd64 x86_64".
std::string OperatingSystemText();
// The time now, as "2025-01-31 12:34:56 UTC".
std::string UtcTimeText();
