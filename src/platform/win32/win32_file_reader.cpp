// Firmware files on Windows: the wide name opened with _wfopen (in its \\?\ form when it is
// long), 64-bit offsets and a 64 KiB stdio buffer.
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <limits>
#include <new>

#include "firmware/file_reader.h"
#include "platform/win32/win32_long_path.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "names are handed to _wfopen as they are");

namespace {

// The parsers read in 4096-byte pieces; a larger stdio buffer turns those into a sixteenth
// of the system calls. Without it the default buffer serves, only slower.
constexpr std::size_t READ_BUFFER_SIZE = 65536;

class Win32FileReader final : public FileReader {
  public:
    explicit Win32FileReader(std::FILE* file) : file_(file) {}
    ~Win32FileReader() override { std::fclose(file_); }
    Win32FileReader(const Win32FileReader&) = delete;
    Win32FileReader& operator=(const Win32FileReader&) = delete;

    bool Measure(std::uint64_t& size) override {
        struct _stat64 status = {};
        if (_fstat64(_fileno(file_), &status) != 0 || status.st_size < 0) {
            return false;
        }
        size = static_cast<std::uint64_t>(status.st_size);
        return true;
    }

    bool Seek(std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<__int64>::max())) {
            return false;
        }
        return _fseeki64(file_, static_cast<__int64>(offset), SEEK_SET) == 0;
    }

    std::size_t Read(std::uint8_t* destination, std::size_t count) override {
        return std::fread(destination, 1, count, file_);
    }

  private:
    std::FILE* file_;
};

}  // namespace

// A folder cannot be opened with _wfopen. A pipe, a COM port or a console can (a name such as
// COM1.bin names the port itself on older systems): only a disk file has a size to measure and
// the same bytes when it is read twice.
std::unique_ptr<FileReader> OpenFileReader(const char16_t* fileName) {
    std::FILE* file =
        _wfopen(LongPathForm(reinterpret_cast<const wchar_t*>(fileName)).c_str(), L"rb");
    if (file == nullptr) {
        return nullptr;
    }
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        std::fclose(file);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IOFBF, READ_BUFFER_SIZE);
    std::unique_ptr<FileReader> reader(new (std::nothrow) Win32FileReader(file));
    if (reader == nullptr) {
        std::fclose(file);
    }
    return reader;
}
