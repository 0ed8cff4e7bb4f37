// Writes bin, pak, pk2 and qfp firmware files from blocks and texts, and breaks single
// fields on request, so that tests build their fixtures instead of keeping binaries. The
// field positions here are written down on their own, not taken from the parsers, so that a
// wrong offset in either shows up as a failing test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/firmware_file.h"

using Bytes = std::vector<std::uint8_t>;

struct SourceBlock {
    // bin: the entry's name; pak, pk2: "boot", "kern" or "flah" choose the section; qfp: the
    // four-letter tag ("exfl" for an exfl entry). Any text is written as given, so that
    // tests can write names the parsers must refuse.
    std::string tag;
    Bytes data;
    std::uint32_t extra = 0;  // bin and qfp
};

struct FirmwareSpec {
    FirmwareLayout layout = FirmwareLayout::Bin;
    std::vector<SourceBlock> blocks;  // laid out back to back in this order
    std::string model;
    std::string text2;
    std::string text3;
    std::string text4;               // bin only
    std::string text5;               // bin only
    std::uint32_t updateMethod = 1;  // qfp only
    // Bytes after the last block (bin: before the trailer). They lie outside the CRC's range
    // for bin and qfp, and inside it for pak and pk2.
    Bytes padding;
};

// Builds the file. Texts longer than their field fill it without a zero byte. False with a
// message for what the layout cannot hold (too many blocks, an unknown pak section, a
// section given twice, a name longer than its field, no layout).
bool WriteFirmware(const FirmwareSpec& spec, Bytes& out, std::string* error);

// Positions of single fields in a written file, counted from the start of the file.
struct FieldSpot {
    std::size_t at;
    std::size_t width;
};

enum class HeaderField : std::uint8_t {
    Magic,
    Crc,
    FileSize,  // pak, pk2
    Model,
    Text2,
    Text3,
    Text4,         // bin
    Text5,         // bin
    UpdateMethod,  // qfp
    NormalCount,   // qfp
    ExflCount,     // qfp
};

enum class EntryField : std::uint8_t { Offset, Length, Tag, Extra, Present };

// False when the layout has no such field; index is the entry (pak, pk2: the section).
bool HeaderFieldSpot(FirmwareLayout layout, std::size_t fileSize, HeaderField field,
                     FieldSpot& spot);
bool EntryFieldSpot(FirmwareLayout layout, std::size_t fileSize, std::uint32_t index,
                    EntryField field, FieldSpot& spot);

std::uint32_t GetLe32(const Bytes& bytes, std::size_t at);
void PutLe32(Bytes& bytes, std::size_t at, std::uint32_t value);

// Stores the CRC-32 that the layout's rules give for the file as it now stands, so that a
// test can change one field and still fail only on the check it aims at.
void RefreshCrc(FirmwareLayout layout, Bytes& bytes);

// One field made wrong, the CRC refreshed afterwards (except for Crc itself), so that
// exactly one check refuses the file.
enum class FaultKind : std::uint8_t {
    None,
    Magic,     // byte `index` of the magic changed
    FileSize,  // pak, pk2: stored size one more than the real one
    Crc,       // stored CRC changed
    Counts,    // qfp: both counts 0
    Tag,       // bin, qfp: entry `index`'s name or tag in capitals
    Length,    // entry `index`: length 0 (pak, qfp) or one byte too long (bin, pk2)
    Offset,    // entry `index` moved to end one byte past its bound
    Overflow,  // entry `index`: offset plus length wraps around 32 bits
    Text,      // text field `index` (0 model, 1 text2, ...) filled without a zero byte
};

struct Fault {
    FaultKind kind = FaultKind::None;
    std::uint32_t index = 0;
};

bool ApplyFault(FirmwareLayout layout, Bytes& bytes, Fault fault, std::string* error);

// Names as scanfw's --break takes them: "magic", "file-size", "crc", "counts", "tag",
// "length", "offset", "overflow", "text".
bool FaultKindFromName(const std::string& name, FaultKind& kind);

// Bytes in memory behind the file seam, so that tests and fuzz targets run the parsers and
// the loader without touching the disk. The bytes are not copied: they must outlive it.
class BytesFile : public MemoryFile {
  public:
    using MemoryFile::MemoryFile;
    explicit BytesFile(const Bytes& bytes) : MemoryFile(bytes.data(), bytes.size()) {}
};

// Paths are UTF-8 (converted to UTF-16 for the Windows file functions).
std::FILE* OpenUtf8(const std::string& path, const char* mode);
// Writes the bytes into a new file beside path and renames it to path once every byte is
// written, so that path holds either its old content or all of the new one: a full disk or
// a second writer never leaves half a firmware file behind. An existing path that is not a
// regular file (a symbolic link, a FIFO, a device, a folder) is refused and left alone.
bool SaveBytes(const std::string& path, const Bytes& bytes, std::string* error);
bool LoadBytes(const std::string& path, Bytes& bytes, std::string* error);
