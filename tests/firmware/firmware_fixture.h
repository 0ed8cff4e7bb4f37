// Temp folders and fixture builders for the firmware tests. Every file lives in a folder of
// its own test and is removed with it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "firmware/firmware_file.h"
#include "fwwriter/firmware_writer.h"

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const;
    // Writes bytes to name inside the folder and returns the file's path.
    std::string Write(const std::string& name, const Bytes& bytes) const;

  private:
    std::filesystem::path root_;
};

// n bytes that differ from block to block (seed) and from byte to byte.
Bytes Pattern(std::size_t n, std::uint8_t seed);
SourceBlock Block(const std::string& tag, std::size_t size, std::uint8_t seed,
                  std::uint32_t extra = 0);

// The writer's output; a spec the writer refuses fails the test.
Bytes Build(const FirmwareSpec& spec);
Bytes BuildBroken(const FirmwareSpec& spec, Fault fault);

struct ParseOutcome {
    bool accepted;
    PackageInfo info;
    ParseReport report;
};

// Runs the layout's parser directly on the bytes, as a file of their size.
ParseOutcome Parse(FirmwareLayout layout, const Bytes& bytes);

// A file that changes under the loader: its first Measure calls report measuredSizes in
// turn (later ones the size of the content), reads stop once readBudget bytes were served in
// all, however often it is rewound, and once rewriteAfter bytes were served the bytes come
// from rewritten (of the same size) instead.
class ChangingFile : public BytesFile {
  public:
    explicit ChangingFile(const Bytes& content) : BytesFile(content) {}

    bool Measure(std::uint64_t& size) override;
    bool Seek(std::uint64_t offset) override;
    std::size_t Read(std::uint8_t* destination, std::size_t count) override;

    std::vector<std::uint64_t> measuredSizes;
    std::size_t readBudget = SIZE_MAX;
    const Bytes* rewritten = nullptr;
    std::size_t rewriteAfter = 0;

  private:
    std::size_t measures_ = 0;
    std::uint64_t position_ = 0;
    std::size_t served_ = 0;
};

std::u16string Wide(const std::string& path);

// gtest prints the check's word rather than its number.
inline void PrintTo(ParseCheck check, std::ostream* out) {
    *out << ParseCheckName(check);
}
inline void PrintTo(FirmwareLayout layout, std::ostream* out) {
    *out << FirmwareLayoutName(layout);
}
