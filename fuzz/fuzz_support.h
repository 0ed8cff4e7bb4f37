// What every fuzz target shares: the input as a file in memory (BytesFile, so a run costs no
// disk I/O), and the properties an accepted file must have whatever its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "firmware/firmware_file.h"
#include "fwwriter/firmware_writer.h"

// Random bytes almost never carry a matching CRC, which would keep the fuzzer in front of
// the CRC check. So every input also runs a second time with the CRC that the firmware
// writer (written apart from the parsers) computes for it.
template <typename Run>
void WithAndWithoutCrc(FirmwareLayout layout, const std::uint8_t* data, std::size_t size, Run run) {
    run(data, size);
    Bytes fixed(data, data + size);
    RefreshCrc(layout, fixed);
    run(fixed.data(), fixed.size());
}

inline void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

inline bool Terminated(const char* slot, std::size_t width) {
    return std::memchr(slot, 0, width) != nullptr;
}

// An accepted file's summary: every text slot terminated, every entry of a known type and
// inside the file (bin: inside the images), counts within their tables.
inline void CheckAccepted(const PackageInfo& info, std::size_t size) {
    Require(Terminated(info.model, sizeof(info.model)));
    const PackageEntry* entries = nullptr;
    std::uint64_t count = 0;
    std::uint64_t bound = size;
    switch (info.container) {
        case ContainerKind::Bin:
            Require(info.bin.entryCount <= BIN_MAX_ENTRIES);
            Require(Terminated(info.bin.text2, sizeof(info.bin.text2)) &&
                    Terminated(info.bin.text3, sizeof(info.bin.text3)) &&
                    Terminated(info.bin.text4, sizeof(info.bin.text4)) &&
                    Terminated(info.bin.text5, sizeof(info.bin.text5)));
            Require(info.bin.imageEnd + BIN_TRAILER_SIZE == size);
            entries = info.bin.entries;
            count = info.bin.entryCount;
            bound = info.bin.imageEnd;
            break;
        case ContainerKind::Pak:
            Require(info.pak.entryCount <= PAK_MAX_ENTRIES);
            Require(Terminated(info.pak.text2, sizeof(info.pak.text2)) &&
                    Terminated(info.pak.text3, sizeof(info.pak.text3)));
            Require(info.pak.fileSize == size);
            entries = info.pak.entries;
            count = info.pak.entryCount;
            break;
        case ContainerKind::Qfp:
            count = static_cast<std::uint64_t>(info.qfp.normalCount) + info.qfp.exflCount;
            Require(count >= 1 && count <= QFP_MAX_ENTRIES);
            Require(Terminated(info.qfp.text2, sizeof(info.qfp.text2)) &&
                    Terminated(info.qfp.text3, sizeof(info.qfp.text3)));
            Require(info.qfp.reserved == 0);
            entries = info.qfp.entries;
            break;
        case ContainerKind::None:
            Require(false);
            break;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        Require(entries[i].type >= 1 && entries[i].type <= 4);
        Require(entries[i].length > 0);
        Require(static_cast<std::uint64_t>(entries[i].offset) + entries[i].length <= bound);
    }
}

// Runs one parser over the input: an accepted file passed every check and has the summary's
// properties; a refused one names the check that failed.
template <typename Parse>
void ParseAndCheck(const std::uint8_t* data, std::size_t size, Parse parse) {
    BytesFile file(data, size);
    PackageInfo info;
    ParseReport report;
    if (parse(file, size, &info, &report)) {
        Require(report.check == ParseCheck::Passed && report.storedCrc == report.computedCrc);
        CheckAccepted(info, size);
    } else {
        Require(report.check != ParseCheck::Passed);
    }
}
