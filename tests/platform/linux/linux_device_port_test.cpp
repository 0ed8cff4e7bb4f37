// The product's port: the implementation each path picks, missing nodes, and nodes the user
// may not open, which must give ResultCode 5 (exit code 13) whatever kind of node they are.
#include "platform/linux/linux_device_port.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"
#include "link/device_link.h"
#include "sysfs_fixture.h"

namespace {

constexpr uid_t NOBODY = 65534;
constexpr int CHILD_CANNOT_DROP = 200;

TEST(LinuxDevicePort, PathPicksTheImplementation) {
    struct Case {
        const char16_t* path;
        NodeType type;
    };
    const Case cases[] = {
        {u"/dev/hidraw0", NodeType::Hidraw},
        {u"/dev/hidraw12", NodeType::Hidraw},
        {u"hidraw3", NodeType::Hidraw},
        {u"/dev/bus/usb/001/004#if0", NodeType::Usbfs},
        {u"/dev/bus/usb/001/004#ifz", NodeType::Usbfs},
        {u"/dev/ttyACM0", NodeType::Serial},
        {u"/dev/ttyUSB3", NodeType::Serial},
        {u"/dev/pts/4", NodeType::Serial},
        {u"/tmp/a#if0/ttyACM0", NodeType::Serial},
        {u"/tmp/hidraw/ttyACM0", NodeType::Serial},
        {u"/dev/myhidraw0", NodeType::Serial},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NodeTypeOfPath(c.path), c.type) << Utf16ToUtf8(c.path);
    }
}

DeviceRecord Record(const std::string& path, LinkKind kind) {
    DeviceRecord record{};
    CopyWide(record.path, Utf8ToUtf16(path).c_str());
    record.linkKind = kind;
    return record;
}

struct Node {
    const char* name;  // below the dev root
    LinkKind kind;
};
const Node NODES[] = {
    {"/hidraw0", LinkKind::Hid},
    {"/hidraw0", LinkKind::HidFeature},
    {"/ttyACM0", LinkKind::SerialPort},
    {"/bus/usb/001/004#if0", LinkKind::VendorBulk},
};

ResultCode OpenThroughLink(const std::string& sys, const std::string& path, LinkKind kind) {
    LinuxDevicePort port(sys);
    DeviceLink link(port);
    ResultCode result = 99;
    link.Open(Record(path, kind), &result);
    link.StopReader();
    return result;
}

TEST(LinuxDevicePort, MissingNodesGiveTwo) {
    SysfsFixture fixture;
    for (const Node& node : NODES) {
        EXPECT_EQ(OpenThroughLink(fixture.Sys(), fixture.Dev() + node.name, node.kind),
                  RESULT_NO_DEVICE)
            << node.name;
    }
}

// Opens the node as user and group 65534 with no supplementary groups, as setpriv
// --reuid=65534 --regid=65534 --clear-groups runs a program, in a child process. Returns the
// ResultCode, or CHILD_CANNOT_DROP when the identity could not be taken.
int OpenAsNobody(const std::string& sys, const std::string& path, LinkKind kind) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
            setresuid(NOBODY, NOBODY, NOBODY) != 0) {
            _exit(CHILD_CANNOT_DROP);
        }
        _exit(static_cast<int>(OpenThroughLink(sys, path, kind)));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(LinuxDevicePort, NodesWithoutPermissionGiveFive) {
    SysfsFixture fixture;
    const std::string device = fixture.UsbDevice("1-1", VENDOR_B, 0x0006, 1, 4);
    fixture.BulkInterface(device, 0);
    for (const Node& node : NODES) {
        const std::string path = fixture.Dev() + node.name;
        const std::string file = path.substr(0, path.find('#'));
        fixture.Write(file, "");
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    }
    if (geteuid() != 0) {
        for (const Node& node : NODES) {
            EXPECT_EQ(OpenThroughLink(fixture.Sys(), fixture.Dev() + node.name, node.kind),
                      RESULT_ACCESS_DENIED)
                << node.name;
        }
        return;
    }
    // Permission bits do not stop root: the check runs as an unprivileged user.
    for (const Node& node : NODES) {
        const int result = OpenAsNobody(fixture.Sys(), fixture.Dev() + node.name, node.kind);
        if (result == CHILD_CANNOT_DROP) {
            GTEST_SKIP() << "running as root, and a child process cannot take uid 65534 here";
        }
        EXPECT_EQ(result, static_cast<int>(RESULT_ACCESS_DENIED)) << node.name;
    }
}

TEST(LinuxDevicePort, OnlyOneNodeAtATime) {
    SysfsFixture fixture;
    fixture.Write(fixture.Dev() + "/hidraw0", "");
    fixture.Write(fixture.Dev() + "/hidraw1", "");
    LinuxDevicePort port(fixture.Sys());
    ASSERT_EQ(port.Open(Utf8ToUtf16(fixture.Dev() + "/hidraw0").c_str(), false), PORT_ERROR_NONE);
    EXPECT_EQ(port.Open(Utf8ToUtf16(fixture.Dev() + "/hidraw1").c_str(), false),
              PORT_ERROR_GEN_FAILURE);
    // Calls reach the open node: a plain file refuses the feature ioctl and has no line.
    const std::uint8_t on[2] = {0xFE, 0x01};
    EXPECT_FALSE(port.SendFeatureReport(on, sizeof on));
    EXPECT_FALSE(port.ConfigureSerial());
    port.Close();
    EXPECT_EQ(port.Open(Utf8ToUtf16(fixture.Dev() + "/hidraw1").c_str(), false), PORT_ERROR_NONE);
    port.Close();
    std::uint32_t written = 5;
    EXPECT_FALSE(port.Write(on, 2, 0, written));
    EXPECT_EQ(written, 0u);
}

}  // namespace
