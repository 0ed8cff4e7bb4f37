// What a layout parser found in a firmware file: a common head and one body per container
// kind, the bodies sharing their storage. Text slots have exactly the widths of the file's
// fields; a field that fills its whole width without a zero byte is cut to width - 1
// characters so that every slot stays zero-terminated (see CopyFieldText).
#pragma once

#include <cstddef>
#include <cstdint>

enum class ContainerKind : std::uint32_t {
    None = 0,
    Pak = 1,  // pak and pk2 share one parser and one body
    Bin = 2,
    Qfp = 3,
};

// One block as the file describes it. type is a BlockType; extra is 0 for pak and pk2.
struct PackageEntry {
    std::uint32_t type;
    std::uint32_t offset;  // from the start of the file
    std::uint32_t length;
    std::uint32_t extra;
};

constexpr std::size_t MODEL_TEXT_SIZE = 32;
constexpr std::size_t PAK_MAX_ENTRIES = 3;
constexpr std::size_t BIN_MAX_ENTRIES = 4;
constexpr std::size_t QFP_MAX_ENTRIES = 16;

struct PakBody {
    char text2[32];
    char text3[32];
    std::uint32_t fileSize;
    std::uint32_t entryCount;
    PackageEntry entries[PAK_MAX_ENTRIES];
};

struct BinBody {
    char text2[24];
    char text3[16];
    char text4[24];
    char text5[100];
    std::uint32_t imageEnd;  // bytes before the trailer
    std::uint32_t entryCount;
    PackageEntry entries[BIN_MAX_ENTRIES];
};

struct QfpBody {
    char text2[32];
    char text3[16];
    std::uint32_t reserved;  // always 0
    std::uint32_t updateMethod;
    std::uint32_t normalCount;
    std::uint32_t exflCount;
    PackageEntry entries[QFP_MAX_ENTRIES];  // normal entries first, then the exfl ones
};

// Plain bytes: the parsers clear it whole with memset before filling the body that
// container names. Only that body is read afterwards.
struct PackageInfo {
    std::uint32_t kernOffset;  // the "kern" block's offset and length; 0 when there is none
    std::uint32_t kernLength;
    ContainerKind container;
    char model[MODEL_TEXT_SIZE];
    union {
        PakBody pak;
        BinBody bin;
        QfpBody qfp;
    };
};

static_assert(sizeof(PackageEntry) == 16);
static_assert(sizeof(PakBody) == 64 + 8 + 3 * 16);
static_assert(sizeof(BinBody) == 164 + 8 + 4 * 16);
static_assert(sizeof(QfpBody) == 48 + 16 + 16 * 16);
static_assert(sizeof(PackageInfo) == 12 + MODEL_TEXT_SIZE + sizeof(QfpBody));
