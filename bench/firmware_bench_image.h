// The 100 MiB bin image both firmware benchmarks load: one appl block of random bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "fwwriter/firmware_writer.h"

constexpr std::size_t BENCH_IMAGE_SIZE = 104857600;

// Writes the image to path; false with error set when it cannot.
inline bool WriteBenchImage(const std::string& path, std::string* error) {
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Bin;
    spec.model = "EM7";
    SourceBlock image{"appl", Bytes(BENCH_IMAGE_SIZE - 588), 0};
    std::mt19937 random(1);
    for (auto& byte : image.data) {
        byte = static_cast<std::uint8_t>(random());
    }
    spec.blocks.push_back(std::move(image));
    Bytes bytes;
    return WriteFirmware(spec, bytes, error) && SaveBytes(path, bytes, error);
}
