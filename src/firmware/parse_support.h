// Helpers the three parsers share: 64-bit seeking, little-endian words, the streamed CRC,
// text slots and the refusal report. Not part of the subsystem's public face.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "firmware/package_info.h"
#include "firmware/parsers.h"

void ClearPackageInfo(PackageInfo* info);

std::uint32_t LoadLe32(const std::uint8_t* bytes);

// Seeks without the 2 GiB limit of fseek's long on every platform.
bool SeekFile(std::FILE* file, std::uint64_t offset);

// The file's size by seeking to its end; the file is rewound afterwards. False when the
// size cannot be found.
bool MeasureFile(std::FILE* file, std::uint64_t& size);

// MeasureFile for the parsers: refuses (and reports) a file whose size cannot be found or
// does not fit the layouts' 32-bit numbers.
bool MeasureParsedFile(std::FILE* file, std::uint64_t& size, ParseReport* report);

// Feeds count bytes from the file's position into crc, in pieces of at most
// CRC_PIECE_SIZE bytes. False on a short read.
bool CrcFromFile(std::FILE* file, std::uint64_t count, std::uint32_t& crc);

// Copies a text field into a slot of the same width, up to the field's zero byte. A field
// without a zero byte is cut to width - 1 characters: the slot stays zero-terminated and
// nothing past it is touched.
void CopyFieldText(char* slot, const std::uint8_t* field, std::size_t width);

// Records the refusal and returns false, so a parser can write `return Refuse(...)`.
bool Refuse(ParseReport* report, ParseCheck check, std::uint32_t index = 0);
