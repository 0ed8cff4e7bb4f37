#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WithAndWithoutCrc(
        FirmwareLayout::Bin, data, size,
        [](const std::uint8_t* bytes, std::size_t n) { ParseAndCheck(bytes, n, ParseBinImage); });
    return 0;
}
