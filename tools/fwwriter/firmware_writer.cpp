#include "fwwriter/firmware_writer.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/crc32.h"
#include "common/wide_string.h"

namespace {

constexpr std::size_t BIN_TRAILER = 588;
constexpr std::size_t PAK_HEADER = 2268;
constexpr std::size_t PK2_HEADER = 2260;
constexpr std::size_t QFP_HEADER = 1024;
constexpr std::size_t QFP_ENTRIES = 16;
constexpr std::size_t BIN_ENTRIES = 4;

struct PakOffsets {
    std::size_t present[3];
    std::size_t length[3];
    std::size_t offset[3];
    std::size_t model;
    std::size_t text2;
    std::size_t text3;
};

constexpr PakOffsets PAK_OFFSETS = {{12, 92, 204}, {16, 96, 212}, {20, 100, 216}, 108, 140, 172};
constexpr PakOffsets PK2_OFFSETS = {{0, 0, 0}, {16, 92, 200}, {20, 96, 204}, 104, 136, 168};

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

void PutText(Bytes& bytes, std::size_t at, std::size_t width, const std::string& text) {
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + width), 0);
    std::memcpy(bytes.data() + at, text.data(), std::min(width, text.size()));
}

std::size_t TotalData(const FirmwareSpec& spec) {
    std::size_t total = spec.padding.size();
    for (const SourceBlock& block : spec.blocks) {
        total += block.data.size();
    }
    return total;
}

// Copies the blocks back to back from `at`, then the padding; returns each block's offset.
std::vector<std::uint32_t> PlaceBlocks(const FirmwareSpec& spec, Bytes& out, std::size_t at) {
    std::vector<std::uint32_t> offsets;
    for (const SourceBlock& block : spec.blocks) {
        offsets.push_back(static_cast<std::uint32_t>(at));
        std::copy(block.data.begin(), block.data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(at));
        at += block.data.size();
    }
    std::copy(spec.padding.begin(), spec.padding.end(),
              out.begin() + static_cast<std::ptrdiff_t>(at));
    return offsets;
}

bool WriteBin(const FirmwareSpec& spec, Bytes& out, std::string* error) {
    if (spec.blocks.size() > BIN_ENTRIES) {
        return Fail(error, "a bin image holds at most 4 blocks");
    }
    const std::size_t imageEnd = TotalData(spec);
    out.assign(imageEnd + BIN_TRAILER, 0);
    const std::vector<std::uint32_t> offsets = PlaceBlocks(spec, out, 0);
    std::memcpy(out.data() + imageEnd, "uIMG", 4);
    for (std::uint32_t i = 0; i < spec.blocks.size(); ++i) {
        const SourceBlock& block = spec.blocks[i];
        FieldSpot spot = {};
        EntryFieldSpot(FirmwareLayout::Bin, out.size(), i, EntryField::Tag, spot);
        if (block.tag.size() > spot.width) {
            return Fail(error, "a bin entry name has at most 32 letters");
        }
        PutText(out, spot.at, spot.width, block.tag);
        EntryFieldSpot(FirmwareLayout::Bin, out.size(), i, EntryField::Offset, spot);
        PutLe32(out, spot.at, offsets[i]);
        EntryFieldSpot(FirmwareLayout::Bin, out.size(), i, EntryField::Length, spot);
        PutLe32(out, spot.at, static_cast<std::uint32_t>(block.data.size()));
        EntryFieldSpot(FirmwareLayout::Bin, out.size(), i, EntryField::Extra, spot);
        PutLe32(out, spot.at, block.extra);
    }
    return true;
}

bool WritePak(const FirmwareSpec& spec, Bytes& out, std::string* error) {
    const bool isPk2 = spec.layout == FirmwareLayout::Pk2;
    const std::size_t headerSize = isPk2 ? PK2_HEADER : PAK_HEADER;
    out.assign(headerSize + TotalData(spec), 0);
    const std::vector<std::uint32_t> offsets = PlaceBlocks(spec, out, headerSize);
    PutLe32(out, 0, isPk2 ? 0xABCDEF89u : 0x89ABCDEFu);
    PutLe32(out, 4, static_cast<std::uint32_t>(out.size()));
    const PakOffsets& at = isPk2 ? PK2_OFFSETS : PAK_OFFSETS;
    bool used[3] = {};
    for (std::size_t i = 0; i < spec.blocks.size(); ++i) {
        const SourceBlock& block = spec.blocks[i];
        std::size_t s = 0;
        while (s < 3 && block.tag != BLOCK_TYPE_NAMES[s]) {
            ++s;
        }
        if (s == 3) {
            return Fail(error,
                        "pak and pk2 sections are boot, kern and flah, not '" + block.tag + "'");
        }
        if (used[s]) {
            return Fail(error, "the section " + block.tag + " is given twice");
        }
        used[s] = true;
        if (!isPk2) {
            PutLe32(out, at.present[s], 1);
        }
        PutLe32(out, at.length[s], static_cast<std::uint32_t>(block.data.size()));
        PutLe32(out, at.offset[s], offsets[i]);
    }
    return true;
}

bool WriteQfp(const FirmwareSpec& spec, Bytes& out, std::string* error) {
    if (spec.blocks.size() > QFP_ENTRIES) {
        return Fail(error, "a qfp package holds at most 16 blocks");
    }
    out.assign(QFP_HEADER + TotalData(spec), 0);
    const std::vector<std::uint32_t> offsets = PlaceBlocks(spec, out, QFP_HEADER);
    std::memcpy(out.data(), "QRNFirmwarePackage", 18);
    PutLe32(out, 44, spec.updateMethod);
    std::uint32_t exfl = 0;
    for (std::uint32_t i = 0; i < spec.blocks.size(); ++i) {
        const SourceBlock& block = spec.blocks[i];
        if (block.tag.size() > 4) {
            return Fail(error, "a qfp tag has at most 4 letters: '" + block.tag + "'");
        }
        const std::size_t entry = 256 + 48 * i;
        PutLe32(out, entry, offsets[i]);
        PutLe32(out, entry + 4, static_cast<std::uint32_t>(block.data.size()));
        PutText(out, entry + 8, 4, block.tag);
        PutLe32(out, entry + 12, block.extra);
        if (block.tag == "exfl") {
            ++exfl;
        }
    }
    PutLe32(out, 248, static_cast<std::uint32_t>(spec.blocks.size()) - exfl);
    PutLe32(out, 252, exfl);
    return true;
}

// The layout's text fields in the order Fault::index counts them.
constexpr HeaderField TEXT_FIELDS[] = {HeaderField::Model, HeaderField::Text2, HeaderField::Text3,
                                       HeaderField::Text4, HeaderField::Text5};

}  // namespace

std::uint32_t GetLe32(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) |
           (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

void PutLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

bool HeaderFieldSpot(FirmwareLayout layout, std::size_t fileSize, HeaderField field,
                     FieldSpot& spot) {
    switch (layout) {
        case FirmwareLayout::Bin: {
            if (fileSize < BIN_TRAILER) {
                return false;
            }
            const std::size_t base = fileSize - BIN_TRAILER;
            switch (field) {
                case HeaderField::Magic:
                    spot = {base, 5};
                    return true;
                case HeaderField::Crc:
                    spot = {base + 8, 4};
                    return true;
                case HeaderField::Model:
                    spot = {base + 20, 32};
                    return true;
                case HeaderField::Text2:
                    spot = {base + 52, 24};
                    return true;
                case HeaderField::Text3:
                    spot = {base + 76, 16};
                    return true;
                case HeaderField::Text4:
                    spot = {base + 92, 24};
                    return true;
                case HeaderField::Text5:
                    spot = {base + 116, 100};
                    return true;
                default:
                    return false;
            }
        }
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2: {
            const PakOffsets& at = layout == FirmwareLayout::Pk2 ? PK2_OFFSETS : PAK_OFFSETS;
            switch (field) {
                case HeaderField::Magic:
                    spot = {0, 4};
                    return true;
                case HeaderField::FileSize:
                    spot = {4, 4};
                    return true;
                case HeaderField::Crc:
                    spot = {8, 4};
                    return true;
                case HeaderField::Model:
                    spot = {at.model, 32};
                    return true;
                case HeaderField::Text2:
                    spot = {at.text2, 32};
                    return true;
                case HeaderField::Text3:
                    spot = {at.text3, 32};
                    return true;
                default:
                    return false;
            }
        }
        case FirmwareLayout::Qfp:
            switch (field) {
                case HeaderField::Magic:
                    spot = {0, 32};
                    return true;
                case HeaderField::Crc:
                    spot = {32, 4};
                    return true;
                case HeaderField::UpdateMethod:
                    spot = {44, 4};
                    return true;
                case HeaderField::Text3:
                    spot = {48, 16};
                    return true;
                case HeaderField::Text2:
                    spot = {64, 32};
                    return true;
                case HeaderField::Model:
                    spot = {96, 32};
                    return true;
                case HeaderField::NormalCount:
                    spot = {248, 4};
                    return true;
                case HeaderField::ExflCount:
                    spot = {252, 4};
                    return true;
                default:
                    return false;
            }
        case FirmwareLayout::Unknown:
            break;
    }
    return false;
}

bool EntryFieldSpot(FirmwareLayout layout, std::size_t fileSize, std::uint32_t index,
                    EntryField field, FieldSpot& spot) {
    switch (layout) {
        case FirmwareLayout::Bin: {
            if (fileSize < BIN_TRAILER || index >= BIN_ENTRIES) {
                return false;
            }
            const std::size_t entry = fileSize - BIN_TRAILER + 220 + 76 * index;
            switch (field) {
                case EntryField::Offset:
                    spot = {entry, 4};
                    return true;
                case EntryField::Length:
                    spot = {entry + 4, 4};
                    return true;
                case EntryField::Tag:
                    spot = {entry + 8, 32};
                    return true;
                case EntryField::Extra:
                    spot = {entry + 40, 4};
                    return true;
                case EntryField::Present:
                    return false;
            }
            return false;
        }
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2: {
            const bool isPk2 = layout == FirmwareLayout::Pk2;
            const PakOffsets& at = isPk2 ? PK2_OFFSETS : PAK_OFFSETS;
            if (index >= 3) {
                return false;
            }
            switch (field) {
                case EntryField::Offset:
                    spot = {at.offset[index], 4};
                    return true;
                case EntryField::Length:
                    spot = {at.length[index], 4};
                    return true;
                case EntryField::Present:
                    spot = {at.present[index], 4};
                    return !isPk2;
                case EntryField::Tag:
                case EntryField::Extra:
                    return false;
            }
            return false;
        }
        case FirmwareLayout::Qfp: {
            if (index >= QFP_ENTRIES) {
                return false;
            }
            const std::size_t entry = 256 + 48 * index;
            switch (field) {
                case EntryField::Offset:
                    spot = {entry, 4};
                    return true;
                case EntryField::Length:
                    spot = {entry + 4, 4};
                    return true;
                case EntryField::Tag:
                    spot = {entry + 8, 4};
                    return true;
                case EntryField::Extra:
                    spot = {entry + 12, 4};
                    return true;
                case EntryField::Present:
                    return false;
            }
            return false;
        }
        case FirmwareLayout::Unknown:
            break;
    }
    return false;
}

void RefreshCrc(FirmwareLayout layout, Bytes& bytes) {
    switch (layout) {
        case FirmwareLayout::Bin: {
            if (bytes.size() < BIN_TRAILER) {
                return;
            }
            const std::size_t base = bytes.size() - BIN_TRAILER;
            std::uint64_t covered = 0;
            for (std::size_t i = 0; i < BIN_ENTRIES; ++i) {
                const std::uint32_t length = GetLe32(bytes, base + 220 + 76 * i + 4);
                if (length == 0) {
                    break;
                }
                covered += length;
            }
            // A range that runs into the trailer covers its bytes as they stand, the CRC
            // word included; such a file cannot be given a matching CRC by this writer.
            covered = std::min<std::uint64_t>(covered, bytes.size());
            std::uint32_t crc = Crc32(0, static_cast<std::size_t>(covered), bytes.data());
            Bytes trailer(bytes.begin() + static_cast<std::ptrdiff_t>(base), bytes.end());
            PutLe32(trailer, 8, 0);
            crc = Crc32(crc, trailer.size(), trailer.data());
            PutLe32(bytes, base + 8, crc);
            return;
        }
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2:
            if (bytes.size() >= 12) {
                PutLe32(bytes, 8, Crc32(0, bytes.size() - 12, bytes.data() + 12));
            }
            return;
        case FirmwareLayout::Qfp: {
            if (bytes.size() < QFP_HEADER) {
                return;
            }
            Bytes header(bytes.begin(), bytes.begin() + QFP_HEADER);
            PutLe32(header, 32, 0);
            std::uint32_t crc = Crc32(0, header.size(), header.data());
            const std::uint64_t total = std::min<std::uint64_t>(
                static_cast<std::uint64_t>(GetLe32(bytes, 248)) + GetLe32(bytes, 252), QFP_ENTRIES);
            std::uint64_t maxEnd = 0;
            for (std::size_t i = 0; i < total; ++i) {
                const std::uint64_t end = static_cast<std::uint64_t>(GetLe32(bytes, 256 + 48 * i)) +
                                          GetLe32(bytes, 256 + 48 * i + 4);
                maxEnd = std::max(maxEnd, end);
            }
            maxEnd = std::min<std::uint64_t>(maxEnd, bytes.size());
            if (maxEnd > QFP_HEADER) {
                crc = Crc32(crc, static_cast<std::size_t>(maxEnd) - QFP_HEADER,
                            bytes.data() + QFP_HEADER);
            }
            PutLe32(bytes, 32, crc);
            return;
        }
        case FirmwareLayout::Unknown:
            return;
    }
}

bool WriteFirmware(const FirmwareSpec& spec, Bytes& out, std::string* error) {
    out.clear();
    bool written = false;
    switch (spec.layout) {
        case FirmwareLayout::Bin:
            written = WriteBin(spec, out, error);
            break;
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2:
            written = WritePak(spec, out, error);
            break;
        case FirmwareLayout::Qfp:
            written = WriteQfp(spec, out, error);
            break;
        case FirmwareLayout::Unknown:
            return Fail(error, "no layout chosen");
    }
    if (!written) {
        out.clear();
        return false;
    }
    const std::string* texts[] = {&spec.model, &spec.text2, &spec.text3, &spec.text4, &spec.text5};
    for (std::size_t i = 0; i < std::size(TEXT_FIELDS); ++i) {
        FieldSpot spot = {};
        if (HeaderFieldSpot(spec.layout, out.size(), TEXT_FIELDS[i], spot)) {
            PutText(out, spot.at, spot.width, *texts[i]);
        } else if (!texts[i]->empty()) {
            out.clear();
            return Fail(error, std::string("the ") + FirmwareLayoutName(spec.layout) +
                                   " layout has no text" + std::to_string(i + 1));
        }
    }
    RefreshCrc(spec.layout, out);
    return true;
}

bool ApplyFault(FirmwareLayout layout, Bytes& bytes, Fault fault, std::string* error) {
    const std::string layoutName = FirmwareLayoutName(layout);
    const std::string entryName = "entry " + std::to_string(fault.index);
    FieldSpot spot = {};
    FieldSpot length = {};
    const auto entryOrFail = [&](EntryField field, FieldSpot& where) {
        return EntryFieldSpot(layout, bytes.size(), fault.index, field, where) ||
               Fail(error, layoutName + " has no " + entryName);
    };
    // The bound a block must end within: the images for bin, the file otherwise.
    const std::size_t bound = layout == FirmwareLayout::Bin && bytes.size() >= BIN_TRAILER
                                  ? bytes.size() - BIN_TRAILER
                                  : bytes.size();
    switch (fault.kind) {
        case FaultKind::None:
            return true;
        case FaultKind::Magic:
            if (!HeaderFieldSpot(layout, bytes.size(), HeaderField::Magic, spot) ||
                fault.index >= spot.width) {
                return Fail(error,
                            layoutName + " has no magic byte " + std::to_string(fault.index));
            }
            bytes[spot.at + fault.index] ^= 0x20;
            break;
        case FaultKind::FileSize:
            if (!HeaderFieldSpot(layout, bytes.size(), HeaderField::FileSize, spot)) {
                return Fail(error, layoutName + " stores no file size");
            }
            PutLe32(bytes, spot.at, GetLe32(bytes, spot.at) + 1);
            break;
        case FaultKind::Crc:
            if (!HeaderFieldSpot(layout, bytes.size(), HeaderField::Crc, spot)) {
                return Fail(error, "no CRC field");
            }
            RefreshCrc(layout, bytes);
            PutLe32(bytes, spot.at, GetLe32(bytes, spot.at) ^ 1u);
            return true;
        case FaultKind::Counts:
            if (layout != FirmwareLayout::Qfp) {
                return Fail(error, "only qfp stores entry counts");
            }
            PutLe32(bytes, 248, 0);
            PutLe32(bytes, 252, 0);
            break;
        case FaultKind::Tag:
            if (layout == FirmwareLayout::Pak || layout == FirmwareLayout::Pk2) {
                return Fail(error, "pak and pk2 sections carry no tag");
            }
            if (!entryOrFail(EntryField::Tag, spot)) {
                return false;
            }
            for (std::size_t i = 0; i < spot.width; ++i) {
                std::uint8_t& letter = bytes[spot.at + i];
                if (letter >= 'a' && letter <= 'z') {
                    letter = static_cast<std::uint8_t>(letter - 0x20);
                }
            }
            break;
        case FaultKind::Length:
            if (!entryOrFail(EntryField::Length, spot) ||
                !entryOrFail(EntryField::Offset, length)) {
                return false;
            }
            if (layout == FirmwareLayout::Pak || layout == FirmwareLayout::Qfp) {
                PutLe32(bytes, spot.at, 0);
            } else {
                const std::uint32_t offset = GetLe32(bytes, length.at);
                PutLe32(bytes, spot.at, static_cast<std::uint32_t>(bound - offset + 1));
            }
            break;
        case FaultKind::Offset:
            if (!entryOrFail(EntryField::Offset, spot) ||
                !entryOrFail(EntryField::Length, length)) {
                return false;
            }
            PutLe32(bytes, spot.at,
                    static_cast<std::uint32_t>(bound + 1 - GetLe32(bytes, length.at)));
            break;
        case FaultKind::Overflow: {
            if (!entryOrFail(EntryField::Offset, spot) ||
                !entryOrFail(EntryField::Length, length)) {
                return false;
            }
            std::uint32_t size = GetLe32(bytes, length.at);
            if (size == 0) {
                size = 1;
                PutLe32(bytes, length.at, size);
            }
            PutLe32(bytes, spot.at, 0u - size);  // offset + length is exactly 2^32
            break;
        }
        case FaultKind::Text:
            if (fault.index >= std::size(TEXT_FIELDS) ||
                !HeaderFieldSpot(layout, bytes.size(), TEXT_FIELDS[fault.index], spot)) {
                return Fail(error, layoutName + " has no text " + std::to_string(fault.index));
            }
            for (std::size_t i = 0; i < spot.width; ++i) {
                bytes[spot.at + i] = static_cast<std::uint8_t>('A' + i % 26);
            }
            break;
    }
    RefreshCrc(layout, bytes);
    return true;
}

bool FaultKindFromName(const std::string& name, FaultKind& kind) {
    static const struct {
        const char* name;
        FaultKind kind;
    } NAMES[] = {
        {"magic", FaultKind::Magic},   {"file-size", FaultKind::FileSize},
        {"crc", FaultKind::Crc},       {"counts", FaultKind::Counts},
        {"tag", FaultKind::Tag},       {"length", FaultKind::Length},
        {"offset", FaultKind::Offset}, {"overflow", FaultKind::Overflow},
        {"text", FaultKind::Text},
    };
    for (const auto& entry : NAMES) {
        if (name == entry.name) {
            kind = entry.kind;
            return true;
        }
    }
    return false;
}

std::FILE* OpenUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
    const std::u16string name = Utf8ToUtf16(path);
    const std::u16string wideMode = Utf8ToUtf16(mode);
    return _wfopen(reinterpret_cast<const wchar_t*>(name.c_str()),
                   reinterpret_cast<const wchar_t*>(wideMode.c_str()));
#else
    return std::fopen(path.c_str(), mode);
#endif
}

namespace {

#ifdef _WIN32
const wchar_t* WideName(const std::u16string& name) {
    return reinterpret_cast<const wchar_t*>(name.c_str());
}

bool MayReplace(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(WideName(Utf8ToUtf16(path)));
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

std::FILE* CreateNew(const std::string& path) {
    const int fd = _wopen(WideName(Utf8ToUtf16(path)), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                          _S_IREAD | _S_IWRITE);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) {
        _close(fd);
    }
    return file;
}

bool Replace(const std::string& from, const std::string& to) {
    return MoveFileExW(WideName(Utf8ToUtf16(from)), WideName(Utf8ToUtf16(to)),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

void Discard(const std::string& path) {
    _wremove(WideName(Utf8ToUtf16(path)));
}

unsigned long ProcessId() {
    return GetCurrentProcessId();
}
#else
bool MayReplace(const std::string& path) {
    struct stat status = {};
    return lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode);
}

std::FILE* CreateNew(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) {
        close(fd);
    }
    return file;
}

bool Replace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void Discard(const std::string& path) {
    std::remove(path.c_str());
}

unsigned long ProcessId() {
    return static_cast<unsigned long>(getpid());
}
#endif

}  // namespace

bool SaveBytes(const std::string& path, const Bytes& bytes, std::string* error) {
    if (!MayReplace(path)) {
        return Fail(error, "cannot write " + path + ": it is not a regular file");
    }
    const std::string part = path + ".part-" + std::to_string(ProcessId());
    std::FILE* file = CreateNew(part);
    if (file == nullptr) {
        return Fail(error, "cannot create " + path);
    }
    const bool written =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed && Replace(part, path)) {
        return true;
    }
    Discard(part);
    return Fail(error, "cannot write " + path);
}

bool LoadBytes(const std::string& path, Bytes& bytes, std::string* error) {
    bytes.clear();
    std::FILE* file = OpenUtf8(path, "rb");
    if (file == nullptr) {
        return Fail(error, "cannot open " + path);
    }
    std::uint8_t piece[65536];
    std::size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof(piece), file)) > 0) {
        bytes.insert(bytes.end(), piece, piece + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed || Fail(error, "cannot read " + path);
}
