#include "fuzz_support.h"

namespace {

void Run(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = OpenInput(data, size);
    if (file == nullptr) {
        return;
    }
    PackageInfo info;
    ParseReport report;
    if (ParseQfpPackage(file, &info, &report)) {
        Require(report.check == ParseCheck::Passed && report.storedCrc == report.computedCrc);
        CheckAccepted(info, size);
    } else {
        Require(report.check != ParseCheck::Passed);
    }
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WithAndWithoutCrc(FirmwareLayout::Qfp, data, size, Run);
    return 0;
}
