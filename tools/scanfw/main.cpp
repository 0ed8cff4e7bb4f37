// scanfw's entry. Arguments reach RunScanfw as UTF-8: as they come on Linux, converted from
// the wide command line on Windows.
#include <iostream>
#include <string>
#include <vector>

#include "scanfw/scanfw.h"

#ifdef _WIN32
#include "common/wide_string.h"

int wmain(int argc, wchar_t** argv) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    }
    return RunScanfw(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunScanfw(args, std::cout, std::cerr);
}
#endif
