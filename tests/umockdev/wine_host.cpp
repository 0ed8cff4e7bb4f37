#include "wine_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace {

constexpr char USB_DEVICE_INTERFACES[] = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char HID_INTERFACES[] =
    "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
    "{4d1e55b2-f16f-11cf-88cb-001111000030}";
// The setup class of USB devices that are no ports.
constexpr char USB_CLASS[] = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr char READY_MARK[] = ".scanflash-hid-ready";
constexpr char SAVED_REGISTRY[] = ".scanflash-registry";
// The registry files a server writes as it ends; each run starts from the copies taken once
// the prefix was made, so that nothing of an earlier run's devices is left in it.
constexpr const char* REGISTRY_FILES[] = {"system.reg", "user.reg", "userdef.reg"};
constexpr auto MAKE_LIMIT = std::chrono::minutes(3);
constexpr auto SERVER_LIMIT = std::chrono::seconds(30);
constexpr auto PUBLISH_LIMIT = std::chrono::seconds(30);
constexpr auto LOOK_AGAIN = std::chrono::milliseconds(50);

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string Escaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return escaped;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string RegistryText(const std::vector<RegistryEntry>& entries) {
    const std::string root = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\";
    std::string text = "REGEDIT4\r\n\r\n";
    for (const RegistryEntry& entry : entries) {
        text += "[" + root + entry.key + "]\r\n";
        for (const auto& [name, value] : entry.strings) {
            text += "\"" + name + "\"=\"" + Escaped(value) + "\"\r\n";
        }
        for (const auto& [name, value] : entry.numbers) {
            char number[16];
            std::snprintf(number, sizeof number, "%08x", value);
            text += "\"" + name + "\"=dword:" + number + "\r\n";
        }
        text += "\r\n";
    }
    return text;
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                      error);
}

}  // namespace

UsbDeviceDescription ForWine(UsbDeviceDescription device) {
    device.physNamesInterface = device.interfaces.size() > 1;
    return device;
}

std::string HidPathStart(const UsbDeviceDescription& device, const std::string& node) {
    std::string start = "hid#vid_" + Hex4(device.vendorId) + "&pid_" + Hex4(device.productId);
    for (const UsbInterfaceDescription& iface : device.interfaces) {
        if (iface.node == node && device.physNamesInterface) {
            char interface[8];
            std::snprintf(interface, sizeof interface, "&mi_%02u", iface.number);
            start += interface;
        }
    }
    return Lower(start + "#");
}

std::vector<RegistryEntry> UsbDeviceInterface(const UsbDeviceDescription& usb) {
    const std::string device =
        "USB\\VID_" + Hex4(usb.vendorId) + "&PID_" + Hex4(usb.productId) + "\\" + usb.serial;
    std::string tail;
    for (const char c : device) {
        tail += c == '\\' ? '#' : c;
    }
    const std::string link = std::string("Control\\DeviceClasses\\") + USB_DEVICE_INTERFACES +
                             "\\##?#" + Lower(tail) + "#" + USB_DEVICE_INTERFACES;
    return {{"Enum\\" + device, {{"ClassGUID", USB_CLASS}}, {}},
            {link, {{"DeviceInstance", device}}, {}},
            {link + "\\#\\Control", {}, {{"Linked", 1}}}};
}

std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + std::filesystem::absolute(path).string();
    for (char& c : windows) {
        c = c == '/' ? '\\' : c;
    }
    return windows;
}

WinePrefix::WinePrefix(std::string directory)
    : directory_(std::filesystem::absolute(directory).string()),
      wine_(FindProgram("wine")),
      wineserver_(FindProgram("wineserver")) {
    if (wine_.empty() || wineserver_.empty()) {
        problem_ = "Wine is not installed (wine, wineserver)";
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(directory_).parent_path(), error);
    // Test processes that start at once make the prefix one after the other.
    const std::string lockPath = directory_ + ".lock";
    const int lock = open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        problem_ = "cannot lock " + lockPath;
        if (lock >= 0) {
            close(lock);
        }
        return;
    }
    ready_ = std::filesystem::exists(directory_ + "/" + READY_MARK) || Make();
    // A server left by an interrupted run did not start under the preload: it would serve
    // the next run without its devices.
    EndServer();
    close(lock);
}

bool WinePrefix::Make() {
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
    std::filesystem::create_directories(directory_, error);
    EndServer();
    const ChildResult boot = Wine("", {"wineboot", "-i"}, MAKE_LIMIT);
    // winebus starts its SDL bus only (and no udev bus) unless told otherwise.
    const ChildResult sdlOff =
        Wine("",
             {"reg", "add", "HKLM\\System\\CurrentControlSet\\Services\\winebus", "/v",
              "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"},
             MAKE_LIMIT);
    EndServer();
    if (!boot.exited || boot.exitCode != 0 || !sdlOff.exited || sdlOff.exitCode != 0) {
        problem_ = "making the Wine prefix " + directory_ + " failed: " + boot.err + sdlOff.err;
        return false;
    }
    if (!SaveRegistry()) {
        problem_ = "cannot keep the registry of " + directory_;
        return false;
    }
    std::ofstream(directory_ + "/" + READY_MARK).put('\n');
    return true;
}

ChildResult WinePrefix::Wine(const std::string& testbedRoot,
                             const std::vector<std::string>& arguments,
                             std::chrono::milliseconds limit) const {
    ChildCommand command;
    command.argv = {wine_};
    command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
    command.environment = {"WINEPREFIX=" + directory_, "WINEARCH=win64", "WINEDEBUG=-all",
                           // Wine turns arguments and file names into UTF-16 through the
                           // locale's charset.
                           "LC_ALL=C.UTF-8",
                           // No .NET or browser engine: their installers would be offered.
                           "WINEDLLOVERRIDES=mscoree,mshtml="};
    if (testbedRoot.empty()) {
        command.environment.push_back("LD_PRELOAD=");
    }
    command.limit = limit;
    return RunUnderPreload(testbedRoot, command);
}

void WinePrefix::EndServer() const {
    for (const char* option : {"-k", "-w"}) {
        ChildCommand command;
        command.argv = {wineserver_, option};
        command.environment = {"WINEPREFIX=" + directory_, "LD_PRELOAD="};
        command.limit = SERVER_LIMIT;
        RunUnderPreload("", command);
    }
}

bool WinePrefix::SaveRegistry() {
    const std::string saved = directory_ + "/" + SAVED_REGISTRY;
    std::error_code error;
    std::filesystem::create_directories(saved, error);
    for (const char* file : REGISTRY_FILES) {
        if (!CopyFile(directory_ + "/" + file, saved + "/" + file)) {
            return false;
        }
    }
    return true;
}

bool WinePrefix::RestoreRegistry() const {
    const std::string saved = directory_ + "/" + SAVED_REGISTRY;
    for (const char* file : REGISTRY_FILES) {
        if (!CopyFile(saved + "/" + file, directory_ + "/" + file)) {
            return false;
        }
    }
    return true;
}

ChildResult WinePrefix::Run(const ScannerTestbed& testbed,
                            const std::vector<RegistryEntry>& entries,
                            const std::vector<std::string>& awaited,
                            const std::vector<std::string>& program,
                            std::chrono::milliseconds limit) {
    ChildResult failed;
    if (!ready_ || !RestoreRegistry()) {
        failed.err = "the prefix is not ready: " + problem_;
        return failed;
    }
    const std::string file = testbed.Root() + "/devices.reg";
    std::ofstream(file, std::ios::binary) << RegistryText(entries);
    const ChildResult imported = Wine(testbed.Root(), {"regedit", "/S", WindowsPath(file)}, limit);
    ChildResult result;
    std::string published;
    if (!imported.exited || imported.exitCode != 0) {
        result = imported;
        result.err = "regedit failed: " + imported.err;
    } else if (!AwaitHidPaths(testbed.Root(), awaited, published)) {
        result.err = "Wine did not publish every HID path awaited; the linked ones:\n" + published;
    } else {
        result = Wine(testbed.Root(), program, limit);
    }
    EndServer();
    return result;
}

bool WinePrefix::AwaitHidPaths(const std::string& testbedRoot,
                               const std::vector<std::string>& awaited,
                               std::string& published) const {
    const auto deadline = std::chrono::steady_clock::now() + PUBLISH_LIMIT;
    while (true) {
        // Each interface key is followed by its "#\Control" key, whose "Linked" value says
        // whether the interface is there.
        const ChildResult listed =
            Wine(testbedRoot, {"reg", "query", HID_INTERFACES, "/s"}, SERVER_LIMIT);
        std::stringstream lines(listed.out);
        std::string line;
        std::string key;
        published = listed.exited ? "" : "(reg query did not end: " + listed.err + ")\n";
        while (std::getline(lines, line)) {
            if (line.rfind("HKEY_", 0) == 0) {
                key = Lower(line);
            } else if (line.find("Linked") != std::string::npos &&
                       line.find("0x1") != std::string::npos) {
                published += key + "\n";
            }
        }
        bool all = true;
        for (const std::string& start : awaited) {
            all = all && published.find("##?#" + start) != std::string::npos;
        }
        if (all) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(LOOK_AGAIN);
    }
}
