// What the update trace needs from the operating system: the variable that names the trace
// file, opening it for appending, and the texts of its header.
#pragma once

#include <cstdio>
#include <string>

// The value of SCANFLASH_TRACE; false when it is not set or empty.
bool TraceFileFromEnvironment(std::u16string& path);
// Opens path for appending, in binary mode so that lines end in LF on every system. The trace
// is a regular file or nothing: the open never blocks and never follows a symbolic link at
// the end of the path, and anything but a disk file (a FIFO, a device, a pipe, a console) is
// refused; on POSIX systems so is a file of another user or with more than one name. A new
// file is readable by its owner alone where the system has such modes. Null when it cannot
// or may not be written, with why in refusal.
std::FILE* OpenTraceFile(const std::u16string& path, std::string& refusal);
// The system's name, release and machine, such as "Linux 6.1.0-18-amd64 x86_64".
std::string OperatingSystemText();
// The time now, as "2025-01-31 12:34:56 UTC".
std::string UtcTimeText();
