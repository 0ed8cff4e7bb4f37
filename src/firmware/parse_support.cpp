#include "firmware/parse_support.h"

#include <cstring>
#include <limits>

#include "common/crc32.h"

void ClearPackageInfo(PackageInfo* info) {
    std::memset(info, 0, sizeof(*info));
}

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

bool CheckParsedSize(std::uint64_t fileSize, ParseReport* report) {
    if (fileSize > std::numeric_limits<std::uint32_t>::max()) {
        return Refuse(report, ParseCheck::SizeOutOfRange);
    }
    return true;
}

bool CrcFromFile(FileReader& file, std::uint64_t count, std::uint32_t& crc) {
    std::uint8_t piece[CRC_PIECE_SIZE];
    while (count > 0) {
        const std::size_t want =
            count < CRC_PIECE_SIZE ? static_cast<std::size_t>(count) : CRC_PIECE_SIZE;
        if (file.Read(piece, want) != want) {
            return false;
        }
        crc = Crc32(crc, want, piece);
        count -= want;
    }
    return true;
}

bool ReadAt(FileReader& file, std::uint64_t offset, std::uint8_t* destination, std::size_t count) {
    return file.Seek(offset) && file.Read(destination, count) == count;
}

void CopyFieldText(char* slot, const std::uint8_t* field, std::size_t width) {
    std::size_t length = 0;
    while (length + 1 < width && field[length] != 0) {
        slot[length] = static_cast<char>(field[length]);
        ++length;
    }
    std::memset(slot + length, 0, width - length);
}

bool Refuse(ParseReport* report, ParseCheck check, std::uint32_t index) {
    if (report != nullptr) {
        report->check = check;
        report->index = index;
    }
    return false;
}
