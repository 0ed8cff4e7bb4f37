// What a HID host learns of a hidraw node before it talks to the device: the report
// descriptor through HIDIOCGRDESCSIZE and HIDIOCGRDESC, and the report_descriptor and uevent
// of the hid device above the node in sysfs. Run under umockdev's preload, it shows a host's
// view of an emulated scanner.
//
// usage: hidraw_probe NAME (such as hidraw0)
// Prints "ioctl" and "sysfs", each followed by the descriptor's bytes in hex, then the
// uevent's lines. Exit status 0, or 1 with the step that failed on standard error.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

int Failed(const char* step) {
    std::perror(step);
    return 1;
}

void PrintHex(const char* label, const unsigned char* bytes, std::size_t length) {
    std::printf("%s", label);
    for (std::size_t at = 0; at < length; ++at) {
        std::printf(" %02x", bytes[at]);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hidraw_probe NAME\n");
        return 1;
    }
    const std::string name = argv[1];
    const int fd = open(("/dev/" + name).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return Failed("open");
    }
    int size = 0;
    hidraw_report_descriptor descriptor{};
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) {
        return Failed("HIDIOCGRDESCSIZE");
    }
    descriptor.size = static_cast<unsigned int>(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        return Failed("HIDIOCGRDESC");
    }
    close(fd);
    PrintHex("ioctl", descriptor.value, descriptor.size);

    const std::string device = "/sys/class/hidraw/" + name + "/device/";
    unsigned char bytes[HID_MAX_DESCRIPTOR_SIZE];
    FILE* file = std::fopen((device + "report_descriptor").c_str(), "rb");
    if (file == nullptr) {
        return Failed("report_descriptor");
    }
    const std::size_t length = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    PrintHex("sysfs", bytes, length);

    file = std::fopen((device + "uevent").c_str(), "r");
    if (file == nullptr) {
        return Failed("uevent");
    }
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::fputs(line, stdout);
    }
    std::fclose(file);
    return 0;
}
