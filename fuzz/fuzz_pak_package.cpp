// Each input is tried as both a pak and a pk2 package.
#include "fuzz_support.h"

namespace {

void Run(const std::uint8_t* data, std::size_t size, bool isPk2) {
    ParseAndCheck(data, size,
                  [isPk2, size](FileReader& file, std::uint64_t fileSize, PackageInfo* info,
                                ParseReport* report) {
                      const bool accepted = ParsePakPackage(file, fileSize, info, isPk2, report);
                      Require(!accepted || size > (isPk2 ? PK2_HEADER_SIZE : PAK_HEADER_SIZE));
                      return accepted;
                  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WithAndWithoutCrc(FirmwareLayout::Pak, data, size,
                      [](const std::uint8_t* bytes, std::size_t n) { Run(bytes, n, false); });
    WithAndWithoutCrc(FirmwareLayout::Pk2, data, size,
                      [](const std::uint8_t* bytes, std::size_t n) { Run(bytes, n, true); });
    return 0;
}
