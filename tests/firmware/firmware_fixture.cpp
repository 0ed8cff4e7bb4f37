#include "firmware_fixture.h"

#include <cstring>

#include <algorithm>
#include <atomic>
#include <random>

#include "common/wide_string.h"

namespace {

std::atomic<unsigned> folderCount{0};

}  // namespace

TempDir::TempDir() {
    std::random_device random;
    const std::string name =
        "scanflash-fw-" + std::to_string(random()) + "-" + std::to_string(folderCount.fetch_add(1));
    root_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(root_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::Path(const std::string& name) const {
    return (root_ / name).string();
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
    const std::string path = Path(name);
    std::string error;
    EXPECT_TRUE(SaveBytes(path, bytes, &error)) << error;
    return path;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed * 31u + i * 7u + (i >> 8));
    }
    return bytes;
}

SourceBlock Block(const std::string& tag, std::size_t size, std::uint8_t seed,
                  std::uint32_t extra) {
    return SourceBlock{tag, Pattern(size, seed), extra};
}

Bytes Build(const FirmwareSpec& spec) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(WriteFirmware(spec, bytes, &error)) << error;
    return bytes;
}

Bytes BuildBroken(const FirmwareSpec& spec, Fault fault) {
    Bytes bytes = Build(spec);
    std::string error;
    EXPECT_TRUE(ApplyFault(spec.layout, bytes, fault, &error)) << error;
    return bytes;
}

ParseOutcome Parse(FirmwareLayout layout, const Bytes& bytes) {
    ParseOutcome outcome = {};
    BytesFile file(bytes);
    switch (layout) {
        case FirmwareLayout::Bin:
            outcome.accepted = ParseBinImage(file, bytes.size(), &outcome.info, &outcome.report);
            break;
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2:
            outcome.accepted = ParsePakPackage(file, bytes.size(), &outcome.info,
                                               layout == FirmwareLayout::Pk2, &outcome.report);
            break;
        case FirmwareLayout::Qfp:
            outcome.accepted = ParseQfpPackage(file, bytes.size(), &outcome.info, &outcome.report);
            break;
        case FirmwareLayout::Unknown:
            ADD_FAILURE() << "no parser for an unknown layout";
            break;
    }
    return outcome;
}

bool ChangingFile::Measure(std::uint64_t& size) {
    if (measures_ < measuredSizes.size()) {
        size = measuredSizes[measures_++];
        return true;
    }
    return BytesFile::Measure(size);
}

bool ChangingFile::Seek(std::uint64_t offset) {
    position_ = offset;
    return BytesFile::Seek(offset);
}

std::size_t ChangingFile::Read(std::uint8_t* destination, std::size_t count) {
    const std::size_t got = BytesFile::Read(destination, std::min(count, readBudget));
    if (rewritten != nullptr && served_ >= rewriteAfter && got != 0) {
        std::memcpy(destination, rewritten->data() + position_, got);
    }
    readBudget -= got;
    served_ += got;
    position_ += got;
    return got;
}

std::u16string Wide(const std::string& path) {
    return Utf8ToUtf16(path);
}
