// bin images: the images themselves, then a 588-byte trailer that names and locates up to
// four of them. The CRC covers the first S bytes of the file, S being the sum of the scanned
// entries' lengths, and then the trailer with its own CRC word taken as zero.
#include <cstring>

#include "common/crc32.h"
#include "common/update_types.h"
#include "firmware/parse_support.h"
#include "firmware/parsers.h"

namespace {

constexpr std::uint8_t BIN_MAGIC[5] = {'u', 'I', 'M', 'G', 0};
constexpr std::size_t CRC_AT = 8;
constexpr std::size_t MODEL_AT = 20;
constexpr std::size_t TEXT2_AT = 52;
constexpr std::size_t TEXT3_AT = 76;
constexpr std::size_t TEXT4_AT = 92;
constexpr std::size_t TEXT5_AT = 116;
constexpr std::size_t ENTRY_LENGTH_AT = 4;
constexpr std::size_t ENTRY_NAME_AT = 8;
constexpr std::size_t ENTRY_EXTRA_AT = 40;

// The BlockType whose name the field holds, letter case counting and up to its zero byte,
// or 0 for any other name.
BlockType TypeFromName(const std::uint8_t* name) {
    for (std::size_t i = 0; i < 4; ++i) {
        if (std::memcmp(name, BLOCK_TYPE_NAMES[i], sizeof(BLOCK_TYPE_NAMES[i])) == 0) {
            return static_cast<BlockType>(i + 1);
        }
    }
    return 0;
}

}  // namespace

bool ParseBinImage(FileReader& file, std::uint64_t fileSize, PackageInfo* info,
                   ParseReport* report) {
    if (report != nullptr) {
        *report = ParseReport{};
    }
    ClearPackageInfo(info);
    std::uint8_t trailer[BIN_TRAILER_SIZE] = {};

    if (!CheckParsedSize(fileSize, report)) {
        return false;
    }
    if (fileSize < BIN_TRAILER_SIZE) {
        return Refuse(report, ParseCheck::ShortHeader);
    }
    const std::uint64_t imageEnd = fileSize - BIN_TRAILER_SIZE;
    if (!ReadAt(file, imageEnd, trailer, BIN_TRAILER_SIZE)) {
        return Refuse(report, ParseCheck::ShortHeader);
    }
    if (std::memcmp(trailer, BIN_MAGIC, sizeof(BIN_MAGIC)) != 0) {
        return Refuse(report, ParseCheck::Magic);
    }

    PackageEntry entries[BIN_MAX_ENTRIES] = {};
    std::uint32_t entryCount = 0;
    std::uint64_t covered = 0;
    for (std::uint32_t i = 0; i < BIN_MAX_ENTRIES; ++i) {
        const std::uint8_t* entry = trailer + BIN_ENTRIES_AT + BIN_ENTRY_SIZE * i;
        const std::uint32_t offset = LoadLe32(entry);
        const std::uint32_t length = LoadLe32(entry + ENTRY_LENGTH_AT);
        if (length == 0) {
            break;
        }
        covered += length;
        if (static_cast<std::uint64_t>(offset) + length > imageEnd) {
            return Refuse(report, ParseCheck::Bounds, i);
        }
        const BlockType type = TypeFromName(entry + ENTRY_NAME_AT);
        if (type == 0) {
            if (report != nullptr) {
                ++report->skippedEntries;
            }
            continue;
        }
        entries[entryCount++] = {type, offset, length, LoadLe32(entry + ENTRY_EXTRA_AT)};
    }

    std::uint32_t crc = 0;
    if (!file.Seek(0) || !CrcFromFile(file, covered, crc)) {
        return Refuse(report, ParseCheck::ShortRead);
    }
    const std::uint32_t stored = LoadLe32(trailer + CRC_AT);
    std::memset(trailer + CRC_AT, 0, 4);
    crc = Crc32(crc, BIN_TRAILER_SIZE, trailer);
    if (report != nullptr) {
        report->storedCrc = stored;
        report->computedCrc = crc;
    }
    if (crc != stored) {
        return Refuse(report, ParseCheck::Crc);
    }

    info->container = ContainerKind::Bin;
    info->bin.imageEnd = static_cast<std::uint32_t>(imageEnd);
    info->bin.entryCount = entryCount;
    CopyFieldText(info->model, trailer + MODEL_AT, sizeof(info->model));
    CopyFieldText(info->bin.text2, trailer + TEXT2_AT, sizeof(info->bin.text2));
    CopyFieldText(info->bin.text3, trailer + TEXT3_AT, sizeof(info->bin.text3));
    CopyFieldText(info->bin.text4, trailer + TEXT4_AT, sizeof(info->bin.text4));
    CopyFieldText(info->bin.text5, trailer + TEXT5_AT, sizeof(info->bin.text5));
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        info->bin.entries[i] = entries[i];
        if (entries[i].type == BLOCK_TYPE_KERN) {
            info->kernOffset = entries[i].offset;
            info->kernLength = entries[i].length;
        }
    }
    return true;
}
