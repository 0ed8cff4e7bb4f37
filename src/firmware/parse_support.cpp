#include "firmware/parse_support.h"

#include <cstring>
#include <limits>

#ifndef _WIN32
#include <sys/types.h>
#endif

#include "common/crc32.h"

void ClearPackageInfo(PackageInfo* info) {
    std::memset(info, 0, sizeof(*info));
}

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<__int64>::max())) {
        return false;
    }
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool MeasureFile(std::FILE* file, std::uint64_t& size) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return false;
    }
    const __int64 end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(file);
#endif
    if (end < 0 || !SeekFile(file, 0)) {
        return false;
    }
    size = static_cast<std::uint64_t>(end);
    return true;
}

bool MeasureParsedFile(std::FILE* file, std::uint64_t& size, ParseReport* report) {
    if (!MeasureFile(file, size)) {
        return Refuse(report, ParseCheck::SizeUnknown);
    }
    if (size > std::numeric_limits<std::uint32_t>::max()) {
        return Refuse(report, ParseCheck::SizeOutOfRange);
    }
    return true;
}

bool CrcFromFile(std::FILE* file, std::uint64_t count, std::uint32_t& crc) {
    std::uint8_t piece[CRC_PIECE_SIZE];
    while (count > 0) {
        const std::size_t want =
            count < CRC_PIECE_SIZE ? static_cast<std::size_t>(count) : CRC_PIECE_SIZE;
        if (std::fread(piece, 1, want, file) != want) {
            return false;
        }
        crc = Crc32(crc, want, piece);
        count -= want;
    }
    return true;
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
