// The file seam: a firmware file opened for binary reading. The loader and the parsers reach
// the file only through it; each platform supplies OpenFileReader (stdio with 64-bit offsets
// on POSIX systems, a wide-named open on Windows), and tests and fuzz targets hand in files
// that live in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class FileReader {
  public:
    virtual ~FileReader() = default;  // closes the file

    // The file's size as it is now; false when it cannot be found. The position stays.
    virtual bool Measure(std::uint64_t& size) = 0;
    // Moves the position to offset from the start; false when that is not possible.
    virtual bool Seek(std::uint64_t offset) = 0;
    // Reads up to count bytes from the position on and moves past them. Returns how many
    // were read: fewer than count only at the end of the file or on a failed read.
    virtual std::size_t Read(std::uint8_t* destination, std::size_t count) = 0;
};

// Bytes already in memory read as a file: the loader checks its buffer through it, and tools
// and tests hand in files that live in memory. The bytes are not owned.
class MemoryFile : public FileReader {
  public:
    MemoryFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Measure(std::uint64_t& size) override;
    // Any offset, as with a real file; reads beyond the end get nothing.
    bool Seek(std::uint64_t offset) override;
    std::size_t Read(std::uint8_t* destination, std::size_t count) override;

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::uint64_t position_ = 0;
};

// Opens fileName (UTF-16) for binary reading, or gives null when it cannot be opened.
// Anything but a regular file (a folder, a FIFO, a pipe, a device) counts as a file that
// cannot be opened, and the open never waits for a writer.
std::unique_ptr<FileReader> OpenFileReader(const char16_t* fileName);
