#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/wide_string.h"
#include "trace/trace_platform.h"

bool TraceFileFromEnvironment(std::u16string& path) {
    const char* value = std::getenv("SCANFLASH_TRACE");
    if (value == nullptr || *value == 0) {
        return false;
    }
    path = Utf8ToUtf16(value);
    return true;
}

namespace {

// Why a trace file is refused: a planted link, a FIFO or device, or a file that is not the
// user's own (a tool run as root must not append to whatever a shared folder offers it).
const char* Refusal(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) {
        return "it is not a regular file";
    }
    if (status.st_uid != geteuid()) {
        return "it belongs to another user";
    }
    if (status.st_nlink > 1) {
        return "it has more than one name";
    }
    return nullptr;
}

}  // namespace

std::FILE* OpenTraceFile(const std::u16string& path, std::string& refusal) {
    // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one;
    // on a regular file it changes nothing. O_CLOEXEC: programs the process may start do not
    // inherit the descriptor.
    const int fd = open(Utf16ToUtf8(path).c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        refusal = error == ELOOP   ? "it is a symbolic link"
                  : error == ENXIO ? "it is not a regular file"
                                   : std::strerror(error);
        return nullptr;
    }
    struct stat status = {};
    const char* refused = fstat(fd, &status) != 0 ? std::strerror(errno) : Refusal(status);
    std::FILE* file = refused == nullptr ? fdopen(fd, "ab") : nullptr;
    if (file == nullptr) {
        refusal = refused != nullptr ? refused : std::strerror(errno);
        close(fd);
    }
    return file;
}

std::string OperatingSystemText() {
    utsname names{};
    if (uname(&names) != 0) {
        return "unknown";
    }
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

std::string UtcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "unknown";
    if (gmtime_r(&now, &parts) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}
