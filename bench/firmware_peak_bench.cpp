// Peak memory while loading a 100 MiB bin image: the growth of the process's peak resident
// size (getrusage) across one LoadFirmwareFile. The file is written by a child process so
// that writing it leaves no trace in this process's peak. Target: at most the file's size
// plus 8 MiB.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/wide_string.h"
#include "firmware/firmware_file.h"
#include "firmware_bench_image.h"

namespace {

constexpr long TARGET_KIB = (BENCH_IMAGE_SIZE + 8 * 1024 * 1024) / 1024;

long PeakKib() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

int WriteFile(const std::string& path) {
    std::string error;
    if (!WriteBenchImage(path, &error)) {
        std::fprintf(stderr, "cannot write the bench file: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("scanflash-peak-bench-" + std::to_string(getpid()) + ".bin"))
                                 .string();
    const pid_t child = fork();
    if (child == 0) {
        _exit(WriteFile(path));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the child could not write %s\n", path.c_str());
        return 1;
    }

    const std::u16string name = Utf8ToUtf16(path);
    const long before = PeakKib();
    PackageInfo info;
    FirmwareBuffer buffer;
    const ResultCode result = LoadFirmwareFile(name.c_str(), &info, buffer);
    const long after = PeakKib();
    buffer.Release();
    std::filesystem::remove(path);
    if (result != RESULT_SUCCESS) {
        std::fprintf(stderr, "the bench file did not load: %u\n", result);
        return 1;
    }
    const long grown = after - before;
    std::printf(
        "Loading a %zu-byte file: peak RSS %ld KiB before, %ld KiB after, grew %ld KiB "
        "(%.2f MiB); target at most %ld KiB (file + 8 MiB): %s\n",
        BENCH_IMAGE_SIZE, before, after, grown, static_cast<double>(grown) / 1024.0, TARGET_KIB,
        grown <= TARGET_KIB ? "met" : "MISSED");
    std::printf(
        "Peak beyond the file itself: %.2f MiB\n",
        static_cast<double>(grown) / 1024.0 - static_cast<double>(BENCH_IMAGE_SIZE) / 1048576.0);
    return grown <= TARGET_KIB ? 0 : 1;
}
