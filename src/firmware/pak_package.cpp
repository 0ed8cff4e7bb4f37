// pak and pk2 packages: a fixed header (2268 or 2260 bytes) with a magic, the file's size, a
// CRC-32 of everything from byte 12 on, three sections that locate the boot, kern and flah
// blocks, and fixed-width texts. pak marks each section present with a word of its own; pk2
// has no such words and takes a section as present when its length is not 0.
#include <cstring>

#include "common/crc32.h"
#include "common/update_types.h"
#include "firmware/parse_support.h"
#include "firmware/parsers.h"

namespace {

constexpr std::size_t SECTIONS = 3;
constexpr std::size_t FILE_SIZE_AT = 4;
constexpr std::size_t CRC_AT = 8;
constexpr std::size_t CRC_FROM = 12;
constexpr std::size_t TEXT_SIZE = 32;
constexpr std::size_t TERMINATED_BYTES = 12;

struct HeaderLayout {
    std::size_t headerSize;
    std::uint32_t magic;
    std::size_t presentAt[SECTIONS];  // pak only
    std::size_t lengthAt[SECTIONS];
    std::size_t offsetAt[SECTIONS];
    std::size_t modelAt;
    std::size_t text2At;
    std::size_t text3At;
    std::size_t terminated[TERMINATED_BYTES];  // the last two bytes of every text field
};

constexpr HeaderLayout PAK_LAYOUT = {
    PAK_HEADER_SIZE,
    PAK_MAGIC,
    {12, 92, 204},
    {16, 96, 212},
    {20, 100, 216},
    108,
    140,
    172,
    {58, 59, 90, 91, 138, 139, 170, 171, 202, 203, 2266, 2267},
};

constexpr HeaderLayout PK2_LAYOUT = {
    PK2_HEADER_SIZE,
    PK2_MAGIC,
    {0, 0, 0},
    {16, 92, 200},
    {20, 96, 204},
    104,
    136,
    168,
    {58, 59, 90, 91, 134, 135, 166, 167, 198, 199, 2258, 2259},
};

const HeaderLayout& LayoutFor(bool isPk2) {
    return isPk2 ? PK2_LAYOUT : PAK_LAYOUT;
}

// Section s's length as the entries see it: an absent pak section has none.
std::uint32_t SectionLength(const std::uint8_t* header, const HeaderLayout& layout, bool isPk2,
                            std::size_t s) {
    if (!isPk2 && LoadLe32(header + layout.presentAt[s]) == 0) {
        return 0;
    }
    return LoadLe32(header + layout.lengthAt[s]);
}

void FillInfo(const std::uint8_t* header, PackageInfo* info, bool isPk2) {
    const HeaderLayout& layout = LayoutFor(isPk2);
    info->container = ContainerKind::Pak;
    CopyFieldText(info->model, header + layout.modelAt, TEXT_SIZE);
    CopyFieldText(info->pak.text2, header + layout.text2At, TEXT_SIZE);
    CopyFieldText(info->pak.text3, header + layout.text3At, TEXT_SIZE);
    std::uint32_t count = 0;
    for (std::size_t s = 0; s < SECTIONS; ++s) {
        const std::uint32_t length = SectionLength(header, layout, isPk2, s);
        if (length == 0) {
            continue;
        }
        const std::uint32_t offset = LoadLe32(header + layout.offsetAt[s]);
        const auto type = static_cast<BlockType>(s + 1);
        info->pak.entries[count++] = {type, offset, length, 0};
        if (type == BLOCK_TYPE_KERN) {
            info->kernOffset = offset;
            info->kernLength = length;
        }
    }
    info->pak.entryCount = count;
}

}  // namespace

bool CheckPakHeader(const std::uint8_t* header, std::uint64_t fileSize, bool isPk2,
                    ParseReport* report) {
    const HeaderLayout& layout = LayoutFor(isPk2);
    if (fileSize <= layout.headerSize) {
        return Refuse(report, ParseCheck::NothingAfterHeader);
    }
    if (LoadLe32(header) != layout.magic) {
        return Refuse(report, ParseCheck::Magic);
    }
    if (LoadLe32(header + FILE_SIZE_AT) != fileSize) {
        return Refuse(report, ParseCheck::FileSizeField);
    }
    for (std::uint32_t s = 0; s < SECTIONS; ++s) {
        if (!isPk2 && LoadLe32(header + layout.presentAt[s]) == 0) {
            continue;
        }
        const std::uint32_t length = LoadLe32(header + layout.lengthAt[s]);
        if (!isPk2 && length == 0) {
            return Refuse(report, ParseCheck::SectionLength, s);
        }
        const std::uint64_t end =
            static_cast<std::uint64_t>(LoadLe32(header + layout.offsetAt[s])) + length;
        if (end > fileSize) {
            return Refuse(report, ParseCheck::Bounds, s);
        }
    }
    return true;
}

void TerminateHeaderStrings(std::uint8_t* header, bool isPk2) {
    for (const std::size_t at : LayoutFor(isPk2).terminated) {
        header[at] = 0;
    }
}

void FillInfoFromPak(const std::uint8_t* header, PackageInfo* info) {
    FillInfo(header, info, false);
}

void FillInfoFromPk2(const std::uint8_t* header, PackageInfo* info) {
    FillInfo(header, info, true);
}

bool ParsePakPackage(FileReader& file, std::uint64_t fileSize, PackageInfo* info, bool isPk2,
                     ParseReport* report) {
    if (report != nullptr) {
        *report = ParseReport{};
    }
    ClearPackageInfo(info);
    const HeaderLayout& layout = LayoutFor(isPk2);
    std::uint8_t header[PAK_HEADER_SIZE] = {};

    if (!CheckParsedSize(fileSize, report)) {
        return false;
    }
    if (fileSize < layout.headerSize || !ReadAt(file, 0, header, layout.headerSize)) {
        return Refuse(report, ParseCheck::ShortHeader);
    }
    if (!CheckPakHeader(header, fileSize, isPk2, report)) {
        return false;
    }

    // Taken over the header as read, before its texts are cut.
    std::uint32_t crc = Crc32(0, layout.headerSize - CRC_FROM, header + CRC_FROM);
    if (!CrcFromFile(file, fileSize - layout.headerSize, crc)) {
        return Refuse(report, ParseCheck::ShortRead);
    }
    const std::uint32_t stored = LoadLe32(header + CRC_AT);
    if (report != nullptr) {
        report->storedCrc = stored;
        report->computedCrc = crc;
    }
    if (crc != stored) {
        return Refuse(report, ParseCheck::Crc);
    }

    info->pak.fileSize = static_cast<std::uint32_t>(fileSize);
    TerminateHeaderStrings(header, isPk2);
    if (isPk2) {
        FillInfoFromPk2(header, info);
    } else {
        FillInfoFromPak(header, info);
    }
    return true;
}
