// Firmware files on POSIX systems: stdio with 64-bit offsets and a 64 KiB buffer. The
// UTF-16 name goes to the file system as UTF-8, with every byte that Utf8ToUtf16 escaped
// turned back into that byte, so any name a user typed opens.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "common/wide_string.h"
#include "firmware/file_reader.h"

namespace {

// The parsers read in 4096-byte pieces; a larger stdio buffer turns those into a sixteenth
// of the system calls. Without it the default buffer serves, only slower.
constexpr std::size_t READ_BUFFER_SIZE = 65536;

class PosixFileReader final : public FileReader {
  public:
    explicit PosixFileReader(std::FILE* file) : file_(file) {}
    ~PosixFileReader() override { std::fclose(file_); }
    PosixFileReader(const PosixFileReader&) = delete;
    PosixFileReader& operator=(const PosixFileReader&) = delete;

    bool Measure(std::uint64_t& size) override {
        struct stat status = {};
        if (fstat(fileno(file_), &status) != 0 || status.st_size < 0) {
            return false;
        }
        size = static_cast<std::uint64_t>(status.st_size);
        return true;
    }

    bool Seek(std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return false;
        }
        return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
    }

    std::size_t Read(std::uint8_t* destination, std::size_t count) override {
        return std::fread(destination, 1, count, file_);
    }

  private:
    std::FILE* file_;
};

}  // namespace

std::unique_ptr<FileReader> OpenFileReader(const char16_t* fileName) {
    const std::string name = Utf16ToUtf8(fileName);
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is then refused
    // with every other file that is not a regular one (a folder, a device): only a regular
    // file has a size to measure and the same bytes when it is read twice.
    const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status = {};
    std::FILE* file = nullptr;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (file = fdopen(fd, "rb")) == nullptr) {
        close(fd);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IOFBF, READ_BUFFER_SIZE);
    std::unique_ptr<FileReader> reader(new (std::nothrow) PosixFileReader(file));
    if (reader == nullptr) {
        std::fclose(file);
    }
    return reader;
}
