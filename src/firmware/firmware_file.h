// Firmware files: the layout chosen by the file name's extension, the checked file held
// whole in one buffer of its exact size, and the list of at most four blocks that the update
// session sends. This header is the subsystem's public face.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/result_code.h"
#include "common/update_types.h"
#include "firmware/file_reader.h"
#include "firmware/package_info.h"
#include "firmware/parsers.h"

class DeviceLink;

constexpr std::uint64_t FIRMWARE_MAX_SIZE = 104857600;  // 100 MiB bounds the one buffer
constexpr std::size_t MAX_UPDATE_BLOCKS = 4;

// The whole firmware file, owned. Every UpdateBlock of a list points into it.
class FirmwareBuffer {
  public:
    const std::uint8_t* Data() const { return bytes_.get(); }
    std::size_t Size() const { return size_; }
    bool Empty() const { return bytes_ == nullptr; }
    void Release();
    // Replaces the content with a new uninitialised buffer of exactly size bytes; false (and
    // empty) when there is no memory for it.
    bool Allocate(std::size_t size);
    std::uint8_t* MutableData() { return bytes_.get(); }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

enum class FirmwareLayout : std::uint8_t { Unknown, Bin, Pak, Pk2, Qfp };

// "bin", "pak", "pk2", "qfp" or "unknown".
const char* FirmwareLayoutName(FirmwareLayout layout);

// The layout by the text after the name's last dot (a dot in a folder name counts too):
// equal to pak, pk2 or qfp, or beginning with bin, letters A-Z folded. Unknown without a dot
// or for any other extension.
FirmwareLayout LayoutFromFileName(const char16_t* fileName);

// Measures the open file once, runs the layout's parser with that size, reads the file whole
// into a buffer of exactly that size and runs the parser over the buffer once more, so that
// the bytes handed back are the bytes that were checked. Returns 0, 9 (size outside 1 to
// 100 MiB, a check failed, or the file changed since it was measured: it grew or shrank, or
// the buffer fails the checks or comes out with another summary: ParseCheck::FileChanged), 12 (no
// memory, or the second read came short of a file whose size did not change) or 10 for
// FirmwareLayout::Unknown. fileData is emptied first. The file stays open; its position is
// undefined.
ResultCode LoadOpenFirmware(FileReader& file, FirmwareLayout layout, PackageInfo* info,
                            FirmwareBuffer& fileData, ParseReport* report = nullptr);

// Judges the extension, opens the file (UTF-16 name), loads it with LoadOpenFirmware and
// closes it on every path. fileData is emptied first. Returns 8 without a name or info, 10
// for an unsupported extension, 15 when the file cannot be opened (a folder counts as one
// that cannot be opened, as on Windows), or LoadOpenFirmware's result.
ResultCode LoadFirmwareFile(const char16_t* fileName, PackageInfo* info, FirmwareBuffer& fileData,
                            ParseReport* report = nullptr);

// The blocks the session gets, normal ones first and the exfl ones after them.
struct BlockList {
    UpdateBlock blocks[MAX_UPDATE_BLOCKS];
    std::uint32_t normalCount;
    std::uint32_t exflCount;
    bool allowUpdate;
    char model[MODEL_TEXT_SIZE];  // empty for pak and pk2
};

// Takes the sendable entries of info (parsed from fileData) into list: bin entries of type
// 1 to 4, pak and pk2 entries of type 2 to 4 (boot never), qfp normal entries and then every
// exfl entry. Returns 0, 14 when nothing is taken, 8 when more than four blocks would be, or
// 9 when a taken entry does not lie wholly inside fileData: no block ever points past it.
ResultCode BuildBlockList(const PackageInfo& info, const FirmwareBuffer& fileData, BlockList& list);

// Everything UpdateFromFile does before the session. The list points into file.
struct PreparedUpdate {
    PackageInfo info;
    FirmwareBuffer file;
    BlockList list;
};

// LoadFirmwareFile and BuildBlockList. On any result but 0 the buffer is already released.
ResultCode PrepareUpdate(const char16_t* fileName, PreparedUpdate& prepared,
                         ParseReport* report = nullptr);

// Whether the session would go on to talk to the device with this list: only a bin image, or
// a qfp package whose update method is 1 and that holds no exfl block.
bool SessionWouldSend(const BlockList& list);

// Hands a prepared list to the update session over the open link, with the options passed
// through unchanged, and releases the buffer when the session returns.
ResultCode RunPreparedUpdate(PreparedUpdate& prepared, DeviceLink* link,
                             const UpdateOptions* options);

// The one entry of the subsystem: PrepareUpdate, then RunPreparedUpdate.
ResultCode UpdateFromFile(DeviceLink* link, const char16_t* fileName, const UpdateOptions* options);
