#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WithAndWithoutCrc(
        FirmwareLayout::Qfp, data, size,
        [](const std::uint8_t* bytes, std::size_t n) { ParseAndCheck(bytes, n, ParseQfpPackage); });
    return 0;
}
