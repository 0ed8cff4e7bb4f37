#include "firmware/firmware_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/wide_string.h"
#include "firmware/parse_support.h"

namespace {

bool RunParser(FileReader& file, std::uint64_t fileSize, FirmwareLayout layout, PackageInfo* info,
               ParseReport* report) {
    switch (layout) {
        case FirmwareLayout::Bin:
            return ParseBinImage(file, fileSize, info, report);
        case FirmwareLayout::Pak:
            return ParsePakPackage(file, fileSize, info, false, report);
        case FirmwareLayout::Pk2:
            return ParsePakPackage(file, fileSize, info, true, report);
        case FirmwareLayout::Qfp:
            return ParseQfpPackage(file, fileSize, info, report);
        case FirmwareLayout::Unknown:
            break;
    }
    return false;
}

}  // namespace

bool MemoryFile::Measure(std::uint64_t& size) {
    size = size_;
    return true;
}

bool MemoryFile::Seek(std::uint64_t offset) {
    position_ = offset;
    return true;
}

std::size_t MemoryFile::Read(std::uint8_t* destination, std::size_t count) {
    if (position_ >= size_) {
        return 0;
    }
    const std::size_t take =
        std::min<std::size_t>(count, size_ - static_cast<std::size_t>(position_));
    std::memcpy(destination, data_ + position_, take);
    position_ += take;
    return take;
}

void FirmwareBuffer::Release() {
    bytes_.reset();
    size_ = 0;
}

bool FirmwareBuffer::Allocate(std::size_t size) {
    Release();
    bytes_.reset(new (std::nothrow) std::uint8_t[size]);
    if (bytes_ == nullptr) {
        return false;
    }
    size_ = size;
    return true;
}

const char* FirmwareLayoutName(FirmwareLayout layout) {
    switch (layout) {
        case FirmwareLayout::Bin:
            return "bin";
        case FirmwareLayout::Pak:
            return "pak";
        case FirmwareLayout::Pk2:
            return "pk2";
        case FirmwareLayout::Qfp:
            return "qfp";
        case FirmwareLayout::Unknown:
            break;
    }
    return "unknown";
}

FirmwareLayout LayoutFromFileName(const char16_t* fileName) {
    const char16_t* extension = nullptr;
    for (const char16_t* at = fileName; *at != 0; ++at) {
        if (*at == u'.') {
            extension = at + 1;
        }
    }
    if (extension == nullptr) {
        return FirmwareLayout::Unknown;
    }
    if (EqualsNoCase(extension, u"pak")) {
        return FirmwareLayout::Pak;
    }
    if (EqualsNoCase(extension, u"pk2")) {
        return FirmwareLayout::Pk2;
    }
    if (EqualsNoCase(extension, u"qfp")) {
        return FirmwareLayout::Qfp;
    }
    if (StartsWithNoCase(extension, u"bin") != nullptr) {
        return FirmwareLayout::Bin;
    }
    return FirmwareLayout::Unknown;
}

ResultCode LoadOpenFirmware(FileReader& file, FirmwareLayout layout, PackageInfo* info,
                            FirmwareBuffer& fileData, ParseReport* report) {
    fileData.Release();
    if (report != nullptr) {
        *report = ParseReport{};
    }
    if (layout == FirmwareLayout::Unknown) {
        return RESULT_BAD_EXTENSION;
    }
    // The one size: the parser checks against it and the buffer holds exactly that many bytes.
    std::uint64_t size = 0;
    if (!file.Measure(size)) {
        Refuse(report, ParseCheck::SizeUnknown);
        return RESULT_BAD_FILE;
    }
    if (size == 0 || size > FIRMWARE_MAX_SIZE) {
        Refuse(report, ParseCheck::SizeOutOfRange);
        return RESULT_BAD_FILE;
    }
    if (!RunParser(file, size, layout, info, report)) {
        return RESULT_BAD_FILE;
    }
    const auto length = static_cast<std::size_t>(size);
    if (!fileData.Allocate(length)) {
        return RESULT_NO_MEMORY;
    }
    const std::size_t got = file.Seek(0) ? file.Read(fileData.MutableData(), length) : 0;
    // A byte beyond the size, or a short read of a file whose size is now another, means the
    // file was being written while it was loaded: what was checked is not what was read.
    std::uint8_t beyond = 0;
    std::uint64_t sizeNow = size;
    const bool grew = got == length && file.Read(&beyond, 1) != 0;
    const bool shrank = got < length && file.Measure(sizeNow) && sizeNow != size;
    if (grew || shrank) {
        fileData.Release();
        Refuse(report, ParseCheck::FileChanged);
        return RESULT_BAD_FILE;
    }
    if (got != length) {
        fileData.Release();
        return RESULT_NO_MEMORY;
    }
    // A file rewritten at the same size between the parser's read and the whole read passes
    // every test above: the bytes that are sent must be the bytes that were checked, so the
    // buffer goes through the same checks and must come out with the same summary.
    PackageInfo held;
    MemoryFile buffered(fileData.Data(), length);
    if (!RunParser(buffered, size, layout, &held, nullptr) ||
        std::memcmp(&held, info, sizeof held) != 0) {
        fileData.Release();
        Refuse(report, ParseCheck::FileChanged);
        return RESULT_BAD_FILE;
    }
    return RESULT_SUCCESS;
}

ResultCode LoadFirmwareFile(const char16_t* fileName, PackageInfo* info, FirmwareBuffer& fileData,
                            ParseReport* report) {
    fileData.Release();
    if (report != nullptr) {
        *report = ParseReport{};
    }
    if (fileName == nullptr || info == nullptr) {
        return RESULT_BAD_REQUEST;
    }
    ClearPackageInfo(info);
    const FirmwareLayout layout = LayoutFromFileName(fileName);
    if (layout == FirmwareLayout::Unknown) {
        return RESULT_BAD_EXTENSION;
    }
    const std::unique_ptr<FileReader> file = OpenFileReader(fileName);
    if (file == nullptr) {
        return RESULT_FILE_OPEN_FAILED;
    }
    return LoadOpenFirmware(*file, layout, info, fileData, report);
}

ResultCode BuildBlockList(const PackageInfo& info, const FirmwareBuffer& fileData,
                          BlockList& list) {
    list = BlockList{};
    const PackageEntry* entries = nullptr;
    std::uint32_t walked = 0;
    std::uint32_t normalEnd = 0;  // entries from here on are exfl entries
    BlockType firstType = BLOCK_TYPE_BOOT;
    switch (info.container) {
        case ContainerKind::Bin:
            list.allowUpdate = true;
            std::memcpy(list.model, info.model, sizeof(list.model));
            entries = info.bin.entries;
            walked = std::min<std::uint32_t>(info.bin.entryCount, BIN_MAX_ENTRIES);
            normalEnd = walked;
            break;
        case ContainerKind::Qfp:
            list.allowUpdate = info.qfp.updateMethod == 1;
            std::memcpy(list.model, info.model, sizeof(list.model));
            entries = info.qfp.entries;
            normalEnd = std::min<std::uint32_t>(info.qfp.normalCount, QFP_MAX_ENTRIES);
            walked = std::min<std::uint32_t>(
                normalEnd + std::min<std::uint32_t>(info.qfp.exflCount, QFP_MAX_ENTRIES),
                QFP_MAX_ENTRIES);
            break;
        case ContainerKind::Pak:
            // Checked in full but never sendable; the boot section is never passed on.
            entries = info.pak.entries;
            walked = std::min<std::uint32_t>(info.pak.entryCount, PAK_MAX_ENTRIES);
            normalEnd = walked;
            firstType = BLOCK_TYPE_KERN;
            break;
        case ContainerKind::None:
            break;
    }

    std::uint32_t taken = 0;
    for (std::uint32_t i = 0; i < walked; ++i) {
        const PackageEntry& entry = entries[i];
        const bool exfl = i >= normalEnd;
        if (!exfl && (entry.type < firstType || entry.type > BLOCK_TYPE_APPL)) {
            continue;
        }
        if (static_cast<std::uint64_t>(entry.offset) + entry.length > fileData.Size()) {
            list = BlockList{};
            return RESULT_BAD_FILE;
        }
        if (taken < MAX_UPDATE_BLOCKS) {
            UpdateBlock& block = list.blocks[taken];
            block.data = fileData.Data() + entry.offset;
            block.length = entry.length;
            block.type = entry.type;
            block.extra = entry.extra;  // the pak parser leaves it 0
        }
        ++taken;
        if (exfl) {
            ++list.exflCount;
        } else {
            ++list.normalCount;
        }
    }
    if (taken == 0 || taken > MAX_UPDATE_BLOCKS) {
        list = BlockList{};
        return taken == 0 ? RESULT_NO_BLOCKS : RESULT_BAD_REQUEST;
    }
    return RESULT_SUCCESS;
}

ResultCode PrepareUpdate(const char16_t* fileName, PreparedUpdate& prepared, ParseReport* report) {
    prepared.list = BlockList{};
    ResultCode result = LoadFirmwareFile(fileName, &prepared.info, prepared.file, report);
    if (result == RESULT_SUCCESS) {
        result = BuildBlockList(prepared.info, prepared.file, prepared.list);
    }
    if (result != RESULT_SUCCESS) {
        prepared.file.Release();
    }
    return result;
}

bool SessionWouldSend(const BlockList& list) {
    return list.allowUpdate && list.exflCount == 0 && list.normalCount > 0;
}
