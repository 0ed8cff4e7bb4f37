// The three layout parsers. Each takes an open file at any position and the size the loader
// measured for it, checks the layout in its fixed order against that one size, streams the
// range its CRC-32 covers in pieces of at most 4096 bytes, and fills a PackageInfo. They
// never measure the file themselves: a file that changes while it is loaded must not be
// judged by one size and read by another. They return true only when every check passed;
// the optional ParseReport tells which check refused the file, so that the inspector
// explains a refusal with the very rules the loader applies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/file_reader.h"
#include "firmware/package_info.h"

constexpr std::size_t BIN_TRAILER_SIZE = 588;
constexpr std::size_t BIN_ENTRY_SIZE = 76;
constexpr std::size_t BIN_ENTRIES_AT = 220;
constexpr std::size_t PAK_HEADER_SIZE = 2268;
constexpr std::size_t PK2_HEADER_SIZE = 2260;
constexpr std::size_t QFP_HEADER_SIZE = 1024;
constexpr std::size_t QFP_ENTRY_SIZE = 48;
constexpr std::size_t QFP_ENTRIES_AT = 256;
constexpr std::uint32_t PAK_MAGIC = 0x89ABCDEFu;
constexpr std::uint32_t PK2_MAGIC = 0xABCDEF89u;
constexpr std::size_t CRC_PIECE_SIZE = 4096;

// The check that refused a file, in the words of the file's own layout.
enum class ParseCheck : std::uint8_t {
    Passed = 0,
    SizeUnknown,         // the end of the file could not be found
    SizeOutOfRange,      // the loader's size limits (1 to 100 MiB); parsers refuse above 4 GiB
    ShortHeader,         // fewer bytes than the fixed header or trailer
    NothingAfterHeader,  // pak, pk2: the file is no longer than its header
    Magic,
    FileSizeField,   // pak, pk2: the stored size differs from the real one
    SectionLength,   // pak: a present section of length 0
    Bounds,          // a block reaches past the end of the file (bin: of the images)
    EntryCount,      // qfp: no entries or more than sixteen
    EntryLength,     // qfp: an entry of length 0
    EntryTag,        // qfp: a tag that does not fit its place
    BlocksInHeader,  // qfp: every block lies inside the header
    ShortRead,       // a covered byte could not be read
    Crc,
    FileChanged,  // the loader: the file grew, shrank or was rewritten while it was loaded
};

struct ParseReport {
    ParseCheck check;
    std::uint32_t index;      // entry or section (from 0) of the per-entry checks
    std::uint32_t storedCrc;  // both set once the CRC was compared
    std::uint32_t computedCrc;
    std::uint32_t skippedEntries;  // bin: scanned entries whose name is none of the four
};

// A short stable word for scripts ("magic", "crc", ...) and a sentence for people.
const char* ParseCheckName(ParseCheck check);
const char* ParseCheckText(ParseCheck check);

// Bin images. An entry whose name is none of the four block names is skipped: its length
// still counts toward the CRC's range and it is counted in skippedEntries, but it yields no
// PackageEntry. Refusing such files would lock out images that carry an extra part for
// other tools, and the CRC still protects every byte up to that range.
bool ParseBinImage(FileReader& file, std::uint64_t fileSize, PackageInfo* info,
                   ParseReport* report = nullptr);

// pak (isPk2 false) and pk2 packages.
bool ParsePakPackage(FileReader& file, std::uint64_t fileSize, PackageInfo* info, bool isPk2,
                     ParseReport* report = nullptr);

// The steps of ParsePakPackage on a header buffer of PAK_HEADER_SIZE bytes, of which the
// first PK2_HEADER_SIZE are used for pk2. CheckPakHeader takes the real file size and
// checks, in order, that the file is longer than the header, the magic, the stored size and
// the sections.
bool CheckPakHeader(const std::uint8_t* header, std::uint64_t fileSize, bool isPk2,
                    ParseReport* report);
// Zeroes the last two bytes of every text field.
void TerminateHeaderStrings(std::uint8_t* header, bool isPk2);
// Fill the container, kern, texts and entries; a pak section whose presence word is 0
// counts as length 0. kernOffset and kernLength stay 0 unless section 2 yields an entry, so
// that they always describe a block the file really has.
void FillInfoFromPak(const std::uint8_t* header, PackageInfo* info);
void FillInfoFromPk2(const std::uint8_t* header, PackageInfo* info);

// qfp packages.
bool ParseQfpPackage(FileReader& file, std::uint64_t fileSize, PackageInfo* info,
                     ParseReport* report = nullptr);
