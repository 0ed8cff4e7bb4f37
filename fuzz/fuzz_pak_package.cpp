// Each input is tried as both a pak and a pk2 package.
#include "fuzz_support.h"

namespace {

void Run(const std::uint8_t* data, std::size_t size, bool isPk2) {
    std::FILE* file = OpenInput(data, size);
    if (file == nullptr) {
        return;
    }
    PackageInfo info;
    ParseReport report;
    if (ParsePakPackage(file, &info, isPk2, &report)) {
        Require(report.check == ParseCheck::Passed && report.storedCrc == report.computedCrc);
        Require(size > (isPk2 ? PK2_HEADER_SIZE : PAK_HEADER_SIZE));
        CheckAccepted(info, size);
    } else {
        Require(report.check != ParseCheck::Passed);
    }
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WithAndWithoutCrc(FirmwareLayout::Pak, data, size,
                      [](const std::uint8_t* bytes, std::size_t n) { Run(bytes, n, false); });
    WithAndWithoutCrc(FirmwareLayout::Pk2, data, size,
                      [](const std::uint8_t* bytes, std::size_t n) { Run(bytes, n, true); });
    return 0;
}
