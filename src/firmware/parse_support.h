// Helpers the three parsers share: little-endian words, the streamed CRC, text slots and
// the refusal report. Not part of the subsystem's public face.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/file_reader.h"
#include "firmware/package_info.h"
#include "firmware/parsers.h"

void ClearPackageInfo(PackageInfo* info);

std::uint32_t LoadLe32(const std::uint8_t* bytes);

// Refuses (and reports) a size that does not fit the layouts' 32-bit numbers.
bool CheckParsedSize(std::uint64_t fileSize, ParseReport* report);

// Feeds count bytes from the file's position into crc, in pieces of at most
// CRC_PIECE_SIZE bytes. False on a short read.
bool CrcFromFile(FileReader& file, std::uint64_t count, std::uint32_t& crc);

// Reads exactly count bytes at offset; false when they are not all there.
bool ReadAt(FileReader& file, std::uint64_t offset, std::uint8_t* destination, std::size_t count);

// Copies a text field into a slot of the same width, up to the field's zero byte. A field
// without a zero byte is cut to width - 1 characters: the slot stays zero-terminated and
// nothing past it is touched.
void CopyFieldText(char* slot, const std::uint8_t* field, std::size_t width);

// Records the refusal and returns false, so a parser can write `return Refuse(...)`.
bool Refuse(ParseReport* report, ParseCheck check, std::uint32_t index = 0);
