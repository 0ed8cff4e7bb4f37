// qfp packages: a 1024-byte header with a 32-byte magic, a CRC-32, texts, two entry counts
// and up to sixteen entries. The CRC covers the header (its own word taken as zero) and
// the file from byte 1024 up to the furthest end of any block; bytes after that are free.
#include <cstring>

#include "common/crc32.h"
#include "common/update_types.h"
#include "firmware/parse_support.h"
#include "firmware/parsers.h"

namespace {

constexpr char QFP_MAGIC[32] = "QRNFirmwarePackage";  // 18 letters, then zero bytes
constexpr std::size_t CRC_AT = 32;
constexpr std::size_t UPDATE_METHOD_AT = 44;
constexpr std::size_t TEXT3_AT = 48;
constexpr std::size_t TEXT2_AT = 64;
constexpr std::size_t MODEL_AT = 96;
constexpr std::size_t NORMAL_COUNT_AT = 248;
constexpr std::size_t EXFL_COUNT_AT = 252;
constexpr std::size_t ENTRY_LENGTH_AT = 4;
constexpr std::size_t ENTRY_TAG_AT = 8;
constexpr std::size_t ENTRY_EXTRA_AT = 12;
constexpr char EXFL_TAG[4] = {'e', 'x', 'f', 'l'};

// The BlockType of a normal entry's tag (exact letters), or 0.
BlockType NormalTagType(const std::uint8_t* tag) {
    for (std::size_t i = 0; i < 4; ++i) {
        if (std::memcmp(tag, BLOCK_TYPE_NAMES[i], 4) == 0) {
            return static_cast<BlockType>(i + 1);
        }
    }
    return 0;
}

}  // namespace

bool ParseQfpPackage(FileReader& file, std::uint64_t fileSize, PackageInfo* info,
                     ParseReport* report) {
    if (report != nullptr) {
        *report = ParseReport{};
    }
    ClearPackageInfo(info);
    std::uint8_t header[QFP_HEADER_SIZE] = {};

    if (!CheckParsedSize(fileSize, report)) {
        return false;
    }
    if (fileSize < QFP_HEADER_SIZE || !ReadAt(file, 0, header, QFP_HEADER_SIZE)) {
        return Refuse(report, ParseCheck::ShortHeader);
    }
    if (std::memcmp(header, QFP_MAGIC, sizeof(QFP_MAGIC)) != 0) {
        return Refuse(report, ParseCheck::Magic);
    }
    const std::uint32_t normalCount = LoadLe32(header + NORMAL_COUNT_AT);
    const std::uint32_t exflCount = LoadLe32(header + EXFL_COUNT_AT);
    const std::uint64_t total = static_cast<std::uint64_t>(normalCount) + exflCount;
    if (total == 0 || total > QFP_MAX_ENTRIES) {
        return Refuse(report, ParseCheck::EntryCount);
    }

    const std::uint32_t stored = LoadLe32(header + CRC_AT);
    std::memset(header + CRC_AT, 0, 4);
    std::uint32_t crc = Crc32(0, QFP_HEADER_SIZE, header);

    PackageEntry entries[QFP_MAX_ENTRIES] = {};
    std::uint64_t maxEnd = 0;
    for (std::uint32_t i = 0; i < total; ++i) {
        const std::uint8_t* entry = header + QFP_ENTRIES_AT + QFP_ENTRY_SIZE * i;
        const std::uint32_t offset = LoadLe32(entry);
        const std::uint32_t length = LoadLe32(entry + ENTRY_LENGTH_AT);
        if (length == 0) {
            return Refuse(report, ParseCheck::EntryLength, i);
        }
        const std::uint64_t end = static_cast<std::uint64_t>(offset) + length;
        if (end > fileSize) {
            return Refuse(report, ParseCheck::Bounds, i);
        }
        if (end > maxEnd) {
            maxEnd = end;
        }
        const std::uint8_t* tag = entry + ENTRY_TAG_AT;
        BlockType type = 0;
        if (i < normalCount) {
            type = NormalTagType(tag);
        } else if (std::memcmp(tag, EXFL_TAG, sizeof(EXFL_TAG)) == 0) {
            type = BLOCK_TYPE_FLAH;
        }
        if (type == 0) {
            return Refuse(report, ParseCheck::EntryTag, i);
        }
        entries[i] = {type, offset, length, LoadLe32(entry + ENTRY_EXTRA_AT)};
    }
    // A block must reach past the header: otherwise the CRC covers no byte beyond it and
    // the header itself would go out as firmware.
    if (maxEnd <= QFP_HEADER_SIZE) {
        return Refuse(report, ParseCheck::BlocksInHeader);
    }

    if (!CrcFromFile(file, maxEnd - QFP_HEADER_SIZE, crc)) {
        return Refuse(report, ParseCheck::ShortRead);
    }
    if (report != nullptr) {
        report->storedCrc = stored;
        report->computedCrc = crc;
    }
    if (crc != stored) {
        return Refuse(report, ParseCheck::Crc);
    }

    info->container = ContainerKind::Qfp;
    info->qfp.updateMethod = LoadLe32(header + UPDATE_METHOD_AT);
    info->qfp.normalCount = normalCount;
    info->qfp.exflCount = exflCount;
    info->qfp.reserved = 0;
    CopyFieldText(info->model, header + MODEL_AT, sizeof(info->model));
    CopyFieldText(info->qfp.text2, header + TEXT2_AT, sizeof(info->qfp.text2));
    CopyFieldText(info->qfp.text3, header + TEXT3_AT, sizeof(info->qfp.text3));
    for (std::uint32_t i = 0; i < total; ++i) {
        info->qfp.entries[i] = entries[i];
        if (entries[i].type == BLOCK_TYPE_KERN) {
            info->kernOffset = entries[i].offset;
            info->kernLength = entries[i].length;
        }
    }
    return true;
}
