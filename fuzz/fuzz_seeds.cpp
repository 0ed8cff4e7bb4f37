// Writes a starting corpus of valid files for each fuzz target, so that a few seconds of
// fuzzing already get past the magic and CRC checks. Usage: fuzz_seeds OUTPUT_FOLDER; it
// fills OUTPUT_FOLDER/seeds/TARGET and creates the empty OUTPUT_FOLDER/corpus/TARGET that
// the runs grow.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fwwriter/firmware_writer.h"

namespace {

Bytes Fill(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13u);
    }
    return bytes;
}

struct Seed {
    std::string name;
    FirmwareSpec spec;
};

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    const auto add = [&](const std::string& name, FirmwareLayout layout,
                         std::vector<SourceBlock> blocks, std::size_t padding) {
        FirmwareSpec spec;
        spec.layout = layout;
        spec.blocks = std::move(blocks);
        spec.model = "EM7";
        spec.text2 = "second";
        spec.padding = Fill(padding, 9);
        seeds.push_back({name, spec});
    };
    add("bin-four", FirmwareLayout::Bin,
        {{"boot", Fill(40, 1), 1},
         {"kern", Fill(80, 2), 2},
         {"flah", Fill(20, 3), 3},
         {"appl", Fill(60, 4), 4}},
        0);
    add("bin-trailer-only", FirmwareLayout::Bin, {}, 0);
    add("bin-skipped-name", FirmwareLayout::Bin,
        {{"logo", Fill(30, 5), 0}, {"kern", Fill(30, 6), 0}}, 16);
    add("pak-three", FirmwareLayout::Pak,
        {{"boot", Fill(30, 1), 0}, {"kern", Fill(60, 2), 0}, {"flah", Fill(20, 3), 0}}, 8);
    add("pak-kern", FirmwareLayout::Pak, {{"kern", Fill(10, 2), 0}}, 0);
    add("pk2-three", FirmwareLayout::Pk2,
        {{"boot", Fill(30, 1), 0}, {"kern", Fill(60, 2), 0}, {"flah", Fill(20, 3), 0}}, 8);
    add("pk2-flah", FirmwareLayout::Pk2, {{"flah", Fill(10, 2), 0}}, 0);
    add("qfp-normal-exfl", FirmwareLayout::Qfp,
        {{"kern", Fill(50, 1), 1}, {"appl", Fill(40, 2), 2}, {"exfl", Fill(30, 3), 3}}, 12);
    add("qfp-one", FirmwareLayout::Qfp, {{"boot", Fill(8, 4), 0}}, 0);
    std::vector<SourceBlock> sixteen;
    for (std::uint8_t i = 0; i < 16; ++i) {
        sixteen.push_back({i < 10 ? "flah" : "exfl", Fill(4, i), i});
    }
    add("qfp-sixteen", FirmwareLayout::Qfp, sixteen, 0);
    return seeds;
}

const char* TargetOf(FirmwareLayout layout) {
    switch (layout) {
        case FirmwareLayout::Bin:
            return "bin_image";
        case FirmwareLayout::Pak:
        case FirmwareLayout::Pk2:
            return "pak_package";
        case FirmwareLayout::Qfp:
            return "qfp_package";
        case FirmwareLayout::Unknown:
            break;
    }
    return "unknown";
}

// The loader target's first byte picks the layout: 0 bin, 1 pak, 2 pk2, 3 qfp.
std::uint8_t LayoutByte(FirmwareLayout layout) {
    return static_cast<std::uint8_t>(static_cast<int>(layout) - 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    // The device target needs no seeds: an empty input already runs a whole session.
    for (const char* target :
         {"bin_image", "pak_package", "qfp_package", "firmware_loader", "device_replies"}) {
        std::filesystem::create_directories(root / "seeds" / target);
        std::filesystem::create_directories(root / "corpus" / target);
    }
    for (const Seed& seed : Seeds()) {
        Bytes bytes;
        std::string error;
        if (!WriteFirmware(seed.spec, bytes, &error)) {
            std::fprintf(stderr, "fuzz_seeds: %s: %s\n", seed.name.c_str(), error.c_str());
            return 1;
        }
        Bytes loaderInput = {LayoutByte(seed.spec.layout)};
        loaderInput.insert(loaderInput.end(), bytes.begin(), bytes.end());
        const std::filesystem::path seeds = root / "seeds";
        if (!SaveBytes((seeds / TargetOf(seed.spec.layout) / seed.name).string(), bytes, &error) ||
            !SaveBytes((seeds / "firmware_loader" / seed.name).string(), loaderInput, &error)) {
            std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
