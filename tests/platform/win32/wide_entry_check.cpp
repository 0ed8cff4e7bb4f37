// Built with the wide entry: checks that wmain receives its argument as UTF-16, non-ASCII
// letters included. Exit code 0 when it does.
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    static const wchar_t EXPECTED[] = L"-file:\u00e4\u20ac.bin";
    if (argc != 2 || std::wcscmp(argv[1], EXPECTED) != 0) {
        std::fputs("wmain did not receive the argument unchanged\n", stderr);
        return 1;
    }
    return 0;
}
