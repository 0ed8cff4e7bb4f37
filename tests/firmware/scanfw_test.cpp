#include "scanfw/scanfw.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "discovery/selection.h"
#include "firmware_fixture.h"
#include "link/device_link.h"
#include "sim/sim_device_database.h"
#include "sim/sim_port.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_port_router.h"
#include "sim/sim_scanner.h"

namespace {

struct ScanfwRun {
    int exitCode;
    std::string out;
    std::string err;
};

ScanfwRun Scanfw(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int exitCode = RunScanfw(args, out, err);
    return {exitCode, out.str(), err.str()};
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

ScanfwRun Devices(SimDeviceDatabase& database, bool json) {
    DatabaseDeviceSource source(database);
    std::ostringstream out;
    std::ostringstream err;
    const int exitCode = RunScanfw(
        json ? std::vector<std::string>{"devices", "--json"} : std::vector<std::string>{"devices"},
        out, err, &source);
    EXPECT_EQ(database.OpenLists(), 0u);
    EXPECT_EQ(database.OpenKeys(), 0u);
    return {exitCode, out.str(), err.str()};
}

// The candidate lines of a devices --json document, as "source verdict" pairs; each line's
// text must be its verdict's sentence.
std::vector<std::string> JsonVerdicts(const std::string& json) {
    std::vector<std::string> pairs;
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t source = line.find("{\"source\": \"");
        const std::size_t verdict = line.find("\"verdict\": \"");
        if (source == std::string::npos || verdict == std::string::npos) {
            continue;
        }
        const std::size_t sourceAt = source + 12;
        const std::size_t verdictAt = verdict + 12;
        const std::string verdictName =
            line.substr(verdictAt, line.find('"', verdictAt) - verdictAt);
        pairs.push_back(line.substr(sourceAt, line.find('"', sourceAt) - sourceAt) + " " +
                        verdictName);
        for (int v = 0; v <= static_cast<int>(CandidateVerdict::NoUsbInterface); ++v) {
            const auto each = static_cast<CandidateVerdict>(v);
            if (verdictName == CandidateVerdictName(each)) {
                EXPECT_TRUE(Contains(
                    line, std::string("\"text\": \"") + CandidateVerdictText(each) + "\"}"))
                    << line;
            }
        }
    }
    return pairs;
}

std::u16string Identity(std::uint16_t vendor, std::uint16_t product) {
    char text[32];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", vendor, product);
    return Utf8ToUtf16(text);
}

SimPortDevice ComPort(const std::u16string& instanceId, const std::u16string& name) {
    SimPortDevice port;
    port.instanceId = instanceId;
    port.portName = SimRegistryValue::String(name);
    return port;
}

FirmwareSpec GoodSpec(FirmwareLayout layout) {
    FirmwareSpec spec;
    spec.layout = layout;
    spec.model = "EM7";
    spec.blocks = {Block("kern", 200, 1, 3), Block("flah", 100, 2, 4)};
    return spec;
}

TEST(Scanfw, InfoDescribesAGoodFileOfEachLayout) {
    const TempDir dir;
    struct Case {
        FirmwareLayout layout;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {FirmwareLayout::Bin,
         {"\"sent\": true", "\"resultCode\": null", "\"exitCode\": 15", "\"imageEnd\": 300",
          "{\"tag\": \"flah\", \"type\": 3, \"offset\": 200, \"length\": 100, \"extra\": 4}"}},
        {FirmwareLayout::Qfp,
         {"\"sent\": true", "\"exitCode\": 15", "\"updateMethod\": 1",
          "{\"tag\": \"kern\", \"type\": 2, \"offset\": 1024, \"length\": 200, \"extra\": 3}"}},
        {FirmwareLayout::Pak,
         {"\"sent\": false", "\"resultCode\": 8", "\"exitCode\": 11", "\"fileSize\": 2568"}},
        {FirmwareLayout::Pk2, {"\"sent\": false", "\"resultCode\": 8", "\"exitCode\": 11"}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Write(std::string("good.") + FirmwareLayoutName(c.layout),
                                           Build(GoodSpec(c.layout)));
        const ScanfwRun json = Scanfw({"info", path, "--json"});
        EXPECT_EQ(json.exitCode, SCANFW_OK) << json.err;
        EXPECT_TRUE(Contains(json.out, "\"checksPassed\": true")) << json.out;
        EXPECT_TRUE(Contains(json.out, "\"model\": \"EM7\"")) << json.out;
        EXPECT_TRUE(Contains(json.out, "\"match\": true")) << json.out;
        for (const std::string& part : c.expected) {
            EXPECT_TRUE(Contains(json.out, part)) << part << "\n" << json.out;
        }
        const ScanfwRun text = Scanfw({"info", path});
        EXPECT_EQ(text.exitCode, SCANFW_OK);
        EXPECT_TRUE(Contains(text.out, "checks        passed")) << text.out;
        EXPECT_TRUE(Contains(text.out, "(match)")) << text.out;
    }
}

TEST(Scanfw, InfoNamesTheCheckThatRefusedABrokenFile) {
    const TempDir dir;
    struct Case {
        FirmwareLayout layout;
        Fault fault;
        std::string word;
        std::string detail;
    };
    const Case cases[] = {
        {FirmwareLayout::Bin, {FaultKind::Magic, 0}, "magic", "the magic is wrong"},
        {FirmwareLayout::Bin, {FaultKind::Offset, 1}, "bounds", "entry 1:"},
        {FirmwareLayout::Pak, {FaultKind::FileSize, 0}, "file-size-field", "stored file size"},
        {FirmwareLayout::Pak, {FaultKind::Length, 2}, "section-length", "section 3 (flah)"},
        {FirmwareLayout::Pk2, {FaultKind::Crc, 0}, "crc", "(MISMATCH)"},
        {FirmwareLayout::Qfp, {FaultKind::Tag, 1}, "entry-tag", "entry 1:"},
        {FirmwareLayout::Qfp, {FaultKind::Counts, 0}, "entry-count", "add up to 0"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Write(std::string("broken.") + FirmwareLayoutName(c.layout),
                                           BuildBroken(GoodSpec(c.layout), c.fault));
        const ScanfwRun text = Scanfw({"info", path});
        EXPECT_EQ(text.exitCode, SCANFW_REFUSED) << c.word;
        EXPECT_TRUE(Contains(text.out, "FAILED")) << text.out;
        EXPECT_TRUE(Contains(text.out, "[" + c.word + "]")) << text.out;
        EXPECT_TRUE(Contains(text.out, c.detail)) << text.out;
        EXPECT_TRUE(Contains(text.out, "(result 9, exit code 19)")) << text.out;
        const ScanfwRun json = Scanfw({"info", "--json", path});
        EXPECT_TRUE(Contains(json.out, "\"check\": \"" + c.word + "\"")) << json.out;
        EXPECT_TRUE(Contains(json.out, "\"exitCode\": 19")) << json.out;
        EXPECT_TRUE(Contains(json.out, "\"checksPassed\": false")) << json.out;
    }
}

TEST(Scanfw, InfoReportsWhatTheLoaderDecidesBeforeAndAfterTheChecks) {
    const TempDir dir;
    const ScanfwRun missing = Scanfw({"info", dir.Path("missing.bin")});
    EXPECT_EQ(missing.exitCode, SCANFW_FAILURE);
    EXPECT_TRUE(Contains(missing.err, "cannot open"));

    const ScanfwRun extension =
        Scanfw({"info", dir.Write("fw.txt", Build(GoodSpec(FirmwareLayout::Bin)))});
    EXPECT_EQ(extension.exitCode, SCANFW_REFUSED);
    EXPECT_TRUE(Contains(extension.out, "[extension]")) << extension.out;
    EXPECT_TRUE(Contains(extension.out, "result 10, exit code 19")) << extension.out;

    FirmwareSpec noBlocks = GoodSpec(FirmwareLayout::Bin);
    noBlocks.blocks = {Block("logo", 10, 1)};
    const ScanfwRun empty = Scanfw({"info", dir.Write("logo.bin", Build(noBlocks))});
    EXPECT_EQ(empty.exitCode, SCANFW_OK);
    EXPECT_TRUE(Contains(empty.out, "(and 1 skipped")) << empty.out;
    EXPECT_TRUE(Contains(empty.out, "result 14, exit code 19")) << empty.out;

    FirmwareSpec exfl = GoodSpec(FirmwareLayout::Qfp);
    exfl.blocks.push_back(Block("exfl", 10, 3));
    const ScanfwRun withExfl = Scanfw({"info", dir.Write("exfl.qfp", Build(exfl))});
    EXPECT_TRUE(Contains(withExfl.out, "exfl blocks are never sent")) << withExfl.out;
    EXPECT_TRUE(Contains(withExfl.out, "result 8, exit code 11")) << withExfl.out;
}

TEST(Scanfw, PackedFilesPassTheLoaderAndHoldTheirBlocks) {
    const TempDir dir;
    const Bytes kern = Pattern(1500, 1);
    const Bytes flah = Pattern(700, 2);
    const std::string kernPath = dir.Write("kern.img", kern);
    const std::string flahPath = dir.Write("flah.img", flah);
    for (const char* format : {"bin", "pak", "pk2", "qfp"}) {
        const std::string out = dir.Path(std::string("packed.") + format);
        const ScanfwRun pack =
            Scanfw({"pack", "--format", format, "--out", out, "--block", "kern=" + kernPath,
                    "--block=flah=" + flahPath + ":0x2A", "--model", "EM7", "--text2=second"});
        ASSERT_EQ(pack.exitCode, SCANFW_OK) << pack.err;
        EXPECT_TRUE(Contains(pack.out, "wrote " + out)) << pack.out;

        PreparedUpdate prepared;
        ASSERT_EQ(PrepareUpdate(Wide(out).c_str(), prepared), RESULT_SUCCESS) << format;
        const BlockList& list = prepared.list;
        ASSERT_EQ(list.normalCount, 2u) << format;
        ASSERT_EQ(list.blocks[0].length, kern.size());
        EXPECT_EQ(std::memcmp(list.blocks[0].data, kern.data(), kern.size()), 0);
        ASSERT_EQ(list.blocks[1].length, flah.size());
        EXPECT_EQ(std::memcmp(list.blocks[1].data, flah.data(), flah.size()), 0);
        const bool carriesExtra = std::string(format) == "bin" || std::string(format) == "qfp";
        EXPECT_EQ(list.blocks[1].extra, carriesExtra ? 0x2Au : 0u) << format;
        EXPECT_STREQ(prepared.info.model, "EM7");
    }
}

TEST(Scanfw, PackCanBreakOneFieldOnPurpose) {
    const TempDir dir;
    const std::string kernPath = dir.Write("kern.img", Pattern(100, 1));
    const std::string out = dir.Path("broken.qfp");
    ASSERT_EQ(Scanfw({"pack", "--format", "qfp", "--out", out, "--block", "kern=" + kernPath,
                      "--block", "exfl=" + kernPath, "--break", "length:1"})
                  .exitCode,
              SCANFW_OK);
    const ScanfwRun info = Scanfw({"info", out});
    EXPECT_EQ(info.exitCode, SCANFW_REFUSED);
    EXPECT_TRUE(Contains(info.out, "entry 1: an entry has length 0")) << info.out;
}

// What a user sees for one simulated serial scanner; the README shows the same text.
TEST(Scanfw, DevicesShowsOneScannerAndWhatScanflashWouldOpen) {
    SimDeviceDatabase database;
    AddSimScanner(database, VENDOR_B, 0x0007, 1, u"COM3");
    const ScanfwRun text = Devices(database, false);
    EXPECT_EQ(text.exitCode, SCANFW_OK);
    std::ifstream readme(SCANFLASH_README_PATH);
    const std::string documented((std::istreambuf_iterator<char>(readme)),
                                 std::istreambuf_iterator<char>());
    EXPECT_TRUE(Contains(documented, "```\n" + text.out + "```\n")) << text.out;
    EXPECT_EQ(text.out,
              "USB devices (the count of attached scanners)\n"
              "  6666:0007  serial A, no interface number: counted as an attached scanner\n"
              "             \\\\?\\USB#VID_6666&PID_0007#6&2c9f0001&0&1#"
              "{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
              "             choose with -device:usb:Port_#0001.Hub_#0001 (no serial number)\n"
              "vendor bulk interfaces\n"
              "  (none)\n"
              "HID interfaces\n"
              "  (none)\n"
              "COM ports\n"
              "  6666:0007  serial A, no interface number, port COM3: taken, to open as serial\n"
              "             USB\\VID_6666&PID_0007\\6&2c9f0001&0&1\n"
              "outcome\n"
              "  supported USB devices: 1; paths: 0 from the interface classes, 1 from the COM "
              "ports\n"
              "  scanflash would open \\\\.\\COM3 as serial (6666:0007, no interface number)\n");
    const ScanfwRun json = Devices(database, true);
    EXPECT_EQ(json.exitCode, SCANFW_OK);
    EXPECT_TRUE(Contains(json.out,
                         "\"outcome\": {\"resultCode\": 0, \"exitCode\": null, "
                         "\"device\": {\"path\": \"\\\\\\\\.\\\\COM3\", "
                         "\"vendorId\": \"6666\", \"productId\": \"0007\", "
                         "\"interface\": null, \"linkKind\": \"serial\"}"))
        << json.out;
    EXPECT_TRUE(Contains(json.out, "\"portName\": \"COM3\""));

    // A listing that cannot be written (a full disk) fails as an unwritable file does.
    DatabaseDeviceSource source(database);
    std::ostream unwritable(nullptr);
    std::ostringstream err;
    EXPECT_EQ(RunScanfw({"devices"}, unwritable, err, &source), SCANFW_FAILURE);
    EXPECT_EQ(err.str(), "scanfw: cannot write the device listing\n");
}

// Every verdict the device database can give, each under the source that gave it, in the
// order the selection read them; the product would open the one good port.
TEST(Scanfw, DevicesNamesTheRuleThatSkippedEachCandidate) {
    SimDeviceDatabase database;
    const std::u16string usbTail = u"#6&2c9f0001&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::u16string hidTail = u"#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS, u"\\\\?\\usb#vid_6666&pid_0007#1");
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#ROOT_HUB30#4&1d3c2f0&0&0" + usbTail);
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#" + Identity(VENDOR_B, 0x0007) + u"&MI_02" + usbTail);
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#" + Identity(0x1234, 1) + usbTail);
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#" + Identity(VENDOR_B, 0x99) + usbTail);
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#" + Identity(VENDOR_B, 7) + usbTail);
    database.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                          u"\\\\?\\USB#" + Identity(VENDOR_B, 6) + usbTail);
    database.FailInterfaceDetail(USB_DEVICE_INTERFACE_CLASS, 6);
    database.FailClassDevices(VENDOR_INTERFACE_CLASS);
    database.AddInterface(HID_INTERFACE_CLASS, u"\\\\?\\usb#" + Identity(VENDOR_A, 0x10) + hidTail);
    database.AddInterface(HID_INTERFACE_CLASS,
                          u"\\\\?\\hid#" + Identity(VENDOR_A, 0x10) + u"&MI_00" + hidTail);
    database.AddInterface(HID_INTERFACE_CLASS, u"\\\\?\\hid#" + Identity(VENDOR_A, 0x03) + hidTail);
    database.AddInterface(HID_INTERFACE_CLASS, u"\\\\?\\hid#" + Identity(VENDOR_B, 0x07) + hidTail);
    const std::u16string hid = u"\\\\?\\hid#" + Identity(VENDOR_A, 0x10) + hidTail;
    database.AddInterface(HID_INTERFACE_CLASS, hid + std::u16string(251 - hid.size(), u'x'));
    SimPortDevice noId = ComPort(u"USB\\" + Identity(VENDOR_B, 7) + u"\\1", u"COM4");
    noId.instanceIdFails = true;
    database.AddPortDevice(noId);
    database.AddPortDevice(ComPort(u"ACPI\\PNP0501\\1", u"COM1"));
    SimPortDevice noKey = ComPort(u"USB\\" + Identity(VENDOR_B, 7) + u"\\2", u"COM5");
    noKey.keyOpens = false;
    database.AddPortDevice(noKey);
    SimPortDevice noName = ComPort(u"USB\\" + Identity(VENDOR_B, 7) + u"\\3", u"COM6");
    noName.portName = SimRegistryValue{};
    database.AddPortDevice(noName);
    database.AddPortDevice(ComPort(u"USB\\" + Identity(VENDOR_B, 7) + u"\\4", u"COM0"));
    database.AddPortDevice(ComPort(u"QRN_VBUS\\QRN_VCOM\\5", u"COM7"));
    SimPortDevice pciBus = ComPort(u"QRN_VBUS\\QRN_VCOM\\6", u"COM8");
    pciBus.hardwarePath = SimRegistryValue::String(u"PCI\\" + Identity(VENDOR_B, 7) + u"\\6");
    database.AddPortDevice(pciBus);
    database.AddPortDevice(ComPort(u"USB\\ROOT_HUB\\7", u"COM9"));
    database.AddPortDevice(ComPort(u"USB\\" + Identity(0x1234, 7) + u"\\8", u"COM10"));
    database.AddPortDevice(ComPort(u"USB\\" + Identity(VENDOR_B, 0x99) + u"\\9", u"COM11"));
    database.AddPortDevice(ComPort(u"USB\\" + Identity(VENDOR_A, 0x10) + u"\\10", u"COM12"));
    database.AddPortDevice(ComPort(u"USB\\" + Identity(VENDOR_B, 7) + u"&MI_00\\11", u"COM13"));

    const ScanfwRun json = Devices(database, true);
    EXPECT_EQ(json.exitCode, SCANFW_OK);
    const std::vector<std::string> expected = {"usb-device path-too-short",
                                               "usb-device no-identity",
                                               "usb-device interface-not-kept",
                                               "usb-device unknown-vendor",
                                               "usb-device unsupported-product",
                                               "usb-device counted",
                                               "usb-device not-described",
                                               "vendor-interface list-unavailable",
                                               "hid-interface wrong-prefix",
                                               "hid-interface interface-not-kept",
                                               "hid-interface needs-interface-1",
                                               "hid-interface kind-not-taken",
                                               "hid-interface path-too-long",
                                               "port no-instance-id",
                                               "port not-usb-port",
                                               "port no-device-key",
                                               "port no-port-name",
                                               "port bad-port-name",
                                               "port no-hardware-path",
                                               "port hardware-path-not-usb",
                                               "port no-identity",
                                               "port unknown-vendor",
                                               "port unsupported-product",
                                               "port kind-not-taken",
                                               "port taken"};
    EXPECT_EQ(JsonVerdicts(json.out), expected) << json.out;
    EXPECT_TRUE(Contains(json.out,
                         "\"interface\": 0, \"productKind\": \"serial-a\", "
                         "\"linkKind\": \"serial\", \"verdict\": \"taken\""))
        << json.out;
    EXPECT_TRUE(Contains(json.out,
                         "\"path\": \"USB\\\\VID_6666&PID_0007&MI_00\\\\11\", "
                         "\"portName\": \"COM13\""))
        << json.out;
    const ScanfwRun text = Devices(database, false);
    EXPECT_TRUE(Contains(text.out,
                         "  7a10:0003  HID composite, no interface number: skipped: "
                         "the product is used only through its HID interface 1\n"))
        << text.out;
    EXPECT_TRUE(Contains(text.out,
                         "  ----:----  identity unknown, port COM0: skipped: the port "
                         "name is not COM and a number from 1 to 65535\n"))
        << text.out;
    EXPECT_TRUE(Contains(text.out,
                         "  scanflash would open \\\\.\\COM13 as serial (6666:0007, "
                         "interface 0)\n"))
        << text.out;
}

// The outcomes the product would reach, and the sources it would not read on the way.
TEST(Scanfw, DevicesEndsWithTheOutcomeOfTheProduct) {
    struct Case {
        const char* name;
        void (*fill)(SimDeviceDatabase&);
        int exitCode;
        std::vector<std::string> json;
        std::vector<std::string> text;
    };
    const Case cases[] = {
        {"nothing attached",
         [](SimDeviceDatabase&) {},
         SCANFW_REFUSED,
         {"\"candidates\": [],", "\"usbDevices\": 0,", "\"interfacesScanned\": false,",
          "\"resultCode\": 2, \"exitCode\": 12, \"device\": null, \"text\": \"no supported "
          "scanner is attached\"}"},
         {"COM ports\n  (not looked at: the count already decides)\n",
          "would stop with exit code 12: no supported scanner is attached\n"}},
        {"no list of the USB devices",
         [](SimDeviceDatabase& db) {
             AddSimScanner(db, VENDOR_B, 0x0007, 1, u"COM3");
             db.FailClassDevices(USB_DEVICE_INTERFACE_CLASS);
         },
         SCANFW_REFUSED,
         {"\"verdict\": \"list-unavailable\"", "\"usbDevices\": 0,",
          "\"resultCode\": 2, \"exitCode\": 12, \"device\": null, \"text\": \"no supported "
          "scanner was found, but a device list could not be read\"}"},
         {"USB devices (the count of attached scanners)\n  ----:----  identity unknown: skipped: "
          "the device database gave no list\nvendor bulk interfaces\n",
          "would stop with exit code 12: no supported scanner was found, but a device list could "
          "not be read\n"}},
        {"two scanners with one serial number, and a third",
         [](SimDeviceDatabase& db) {
             AddSimScanner(db, VENDOR_B, 0x0006, 1, u"", u"SAME");
             AddSimScanner(db, VENDOR_B, 0x0009, 2, u"", u"same");
             AddSimScanner(db, VENDOR_B, 0x0009, 3, u"", u"SF0003");
         },
         SCANFW_REFUSED,
         {"\"usbDevices\": 3,", "\"resultCode\": 18, \"exitCode\": 14",
          "{\"selector\": \"usb:Port_#0002.Hub_#0001\", \"serial\": \"same\", \"location\": "
          "\"Port_#0002.Hub_#0001\", \"vendorId\": \"6666\", \"productId\": \"0009\", "
          "\"path\": \"\\\\\\\\?\\\\USB#VID_6666&PID_0009#same#",
          "{\"selector\": \"serial:SF0003\", \"serial\": \"SF0003\""},
         {"choose with -device:usb:Port_#0001.Hub_#0001 (its serial number SAME is another "
          "scanner's too)\n",
          "choose with -device:serial:SF0003 or -device:usb:Port_#0003.Hub_#0001\n",
          "would stop with exit code 14: more than one supported scanner is attached\n"}},
        {"one scanner behind two interfaces",
         [](SimDeviceDatabase& db) {
             AddSimScanner(db, VENDOR_B, 0x0006, 1);
             db.AddInterface(VENDOR_INTERFACE_CLASS,
                             u"\\\\?\\usb#" + Identity(VENDOR_B, 0x0006) +
                                 u"#6&2c9f0001&0&2#{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}");
             db.AddPortDevice(ComPort(u"USB\\" + Identity(VENDOR_B, 6) + u"\\1", u"COM3"));
         },
         SCANFW_REFUSED,
         {"\"interfaceRecords\": 2,", "\"portsScanned\": false,",
          "\"resultCode\": 18, \"exitCode\": 14"},
         {"COM ports\n  (not looked at: the interfaces already gave two)\n",
          "paths: 2 from the interface classes\n",
          "would stop with exit code 14: two interfaces lead to a scanner; the ports were not "
          "looked at\n"}},
        {"one scanner without a path",
         [](SimDeviceDatabase& db) {
             db.AddInterface(USB_DEVICE_INTERFACE_CLASS,
                             u"\\\\?\\USB#" + Identity(VENDOR_A, 0x0004) +
                                 u"#6&2c9f0001&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
         },
         SCANFW_REFUSED,
         {"\"portsScanned\": true,", "\"resultCode\": 2, \"exitCode\": 12",
          "\"serial\": null, \"location\": null, \"vendorId\": \"7a10\""},
         {"choose with -device:\\\\?\\USB#VID_7A10&PID_0004#6&2c9f0001&0&1#"
          "{a5dcbf10-6530-11d2-901f-00c04fb951ed} (no serial number, no location)\n",
          "HID interfaces\n  (none)\n",
          "would stop with exit code 12: the attached scanner offers no interface or port that "
          "can be opened\n"}},
        {"one HID scanner with a feature switch",
         [](SimDeviceDatabase& db) { AddSimScanner(db, VENDOR_A, 0x0003, 1); },
         SCANFW_OK,
         {"\"interface\": 1, \"linkKind\": \"hid-feature\"}",
          "\"text\": \"exactly one path to exactly one scanner\"}"},
         {"as HID with feature switch (7a10:0003, interface 1)\n"}},
    };
    for (const Case& c : cases) {
        SimDeviceDatabase database;
        c.fill(database);
        const ScanfwRun json = Devices(database, true);
        EXPECT_EQ(json.exitCode, c.exitCode) << c.name;
        for (const std::string& part : c.json) {
            EXPECT_TRUE(Contains(json.out, part)) << c.name << ": " << part << "\n" << json.out;
        }
        const ScanfwRun text = Devices(database, false);
        EXPECT_EQ(text.exitCode, c.exitCode) << c.name;
        for (const std::string& part : c.text) {
            EXPECT_TRUE(Contains(text.out, part)) << c.name << ": " << part << "\n" << text.out;
        }
    }
}

// --query asks every counted scanner in turn: one whose "MB" name takes the file's "EM"
// firmware, one held by another program, one that never answers the connection test, and one
// whose model the file does not suit. Nothing that enters update mode is sent, and each port
// is closed again.
TEST(Scanfw, DevicesQueryAsksEachScanner) {
    struct Attached {
        std::uint16_t product;
        const char16_t* serial;
        const char* model;
        bool busy;
        SimStep silent;
    };
    const Attached attached[] = {{0x0006, u"SF0001", "MB7", false, SimStep::None},
                                 {0x0007, u"", "EM7", true, SimStep::None},
                                 {0x0009, u"SF0003", "EM7", false, SimStep::Connection},
                                 {0x0010, u"SF0004", "XX1", false, SimStep::None}};
    const TempDir dir;
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Bin;
    spec.model = "EM7";
    spec.blocks.push_back({"kern", Bytes(600, 0x11), 0});
    const std::string firmware = dir.Write("fw.bin", Build(spec));
    SimDeviceDatabase database;
    SimPortRouter router;
    SimPort ports[4];
    std::vector<std::unique_ptr<SimScanner>> scanners;
    std::vector<std::unique_ptr<SimPortAdapter>> adapters;
    for (std::uint32_t i = 0; i < 4; ++i) {
        const Attached& a = attached[i];
        router.Attach(AddSimScanner(database, VENDOR_B, a.product, i + 1, u"COM8", a.serial),
                      ports[i]);
        SimScannerConfig config;
        config.model = a.model;
        config.linkKind = a.product == 0x0007 ? LinkKind::SerialPort : LinkKind::VendorBulk;
        config.fault.step = a.silent;
        config.fault.occurrence = 0;
        if (a.busy) {
            ports[i].SetOpenBehaviour(
                {PORT_ERROR_SHARING_VIOLATION, PORT_ERROR_SHARING_VIOLATION, false});
        }
        scanners.push_back(std::make_unique<SimScanner>(config));
        adapters.push_back(std::make_unique<SimPortAdapter>(*scanners.back(), ports[i]));
    }
    DatabaseDeviceSource source(database);
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"devices", "--query", "--file", firmware};
        if (json) {
            args.push_back("--json");
        }
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunScanfw(args, out, err, &source, &router), SCANFW_REFUSED) << json;
        const std::vector<std::string> parts =
            json ? std::vector<std::string>{
                       "\"query\": {\"answered\": true, \"model\": \"MB7\", \"problem\": null, "
                       "\"exitCode\": null, \"fileModel\": \"EM7\", \"suits\": true}",
                       "\"query\": {\"answered\": false, \"model\": null, \"problem\": \"not "
                       "asked: in use by another program, or access denied\", \"exitCode\": 13, "
                       "\"fileModel\": null, \"suits\": null}"}
                 : std::vector<std::string>{
                       "query\n  -device:serial:SF0001  6666:0006  model \"MB7\"; " + firmware +
                           " (made for \"EM7\") suits it\n",
                       "  -device:usb:Port_#0002.Hub_#0001  6666:0007  not asked: in use by "
                       "another program, or access denied; scanflash would stop with exit code "
                       "13\n",
                       "  -device:serial:SF0003  6666:0009  no answer to the connection test; "
                       "scanflash would stop with exit code 18\n",
                       "  -device:serial:SF0004  6666:0010  model \"XX1\"; " + firmware +
                           " (made for \"EM7\") does not suit it: scanflash would stop with "
                           "exit code 16\n"};
        for (const std::string& part : parts) {
            EXPECT_TRUE(Contains(out.str(), part)) << part << "\n" << out.str();
        }
    }
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(scanners[i]->StepCount(SimStep::UpdateMode), 0u) << i;
        EXPECT_TRUE(scanners[i]->Commands().empty()) << i;
        EXPECT_FALSE(ports[i].IsOpen()) << i;
        EXPECT_EQ(scanners[i]->StepCount(SimStep::ModelReply), i == 0 || i == 3 ? 2u : 0u) << i;
    }
    // When every scanner answers the query succeeds, whatever the models. A firmware file that
    // cannot be used stops it before any scanner is opened.
    SimDeviceDatabase answering;
    AddSimScanner(answering, VENDOR_B, 0x0006, 1, u"COM8", u"SF0001");
    AddSimScanner(answering, VENDOR_B, 0x0010, 4, u"COM8", u"SF0004");
    DatabaseDeviceSource answeringSource(answering);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunScanfw({"devices", "--query"}, out, err, &answeringSource, &router), SCANFW_OK)
        << out.str();
    std::vector<std::string> unusable = {dir.Path("none.bin")};
#ifndef _WIN32
    // A FIFO is refused at once, not waited on.
    unusable.push_back(dir.Path("fifo.bin"));
    ASSERT_EQ(mkfifo(unusable.back().c_str(), 0600), 0);
#endif
    for (const std::string& file : unusable) {
        EXPECT_EQ(RunScanfw({"devices", "--query", "--file", file}, out, err, &source, &router),
                  SCANFW_FAILURE);
        EXPECT_TRUE(Contains(err.str(), file + ": scanflash would stop with exit code 19\n"))
            << err.str();
    }
}

// A packed file is written whole or not at all; an output that is not a regular file is
// refused without waiting and left as it was.
TEST(Scanfw, BadArgumentsFailWithAMessage) {
    const TempDir dir;
    const std::string block = dir.Write("kern.img", Pattern(10, 1));
    const std::string out = dir.Path("out.bin");
    const std::string precious = dir.Write("precious.bin", Pattern(5, 2));
    const std::string folder = dir.Path("folder.bin");
    std::filesystem::create_directory(folder);
#ifndef _WIN32
    const std::string link = dir.Path("link.bin");
    std::filesystem::create_symlink(precious, link);
    const std::string fifo = dir.Path("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"inspect"},
        {"info"},
        {"info", "a.bin", "b.bin"},
        {"info", "a.bin", "--yaml"},
        {"pack", "--out", out, "--block", "kern=" + block},
        {"pack", "--format", "zip", "--out", out},
        {"pack", "--format", "bin", "--block", "kern=" + block},
        {"pack", "--format", "bin", "--out", out, "--block", "kern"},
        {"pack", "--format", "bin", "--out", out, "--block", "kern=" + dir.Path("none")},
        {"pack", "--format", "qfp", "--out", out, "--update-method", "one"},
        {"pack", "--format", "qfp", "--out", out, "--update-method", "-1"},
        {"pack", "--format", "qfp", "--out", out, "--update-method", " 1"},
        {"pack", "--format", "qfp", "--out", out, "--break", "wrong"},
        {"pack", "--format", "bin", "--out", out, "--break", "counts"},
        {"pack", "--format", "pak", "--out", out, "--block", "appl=" + block},
        {"pack", "--format", "bin", "--out", out, "--text2"},
        {"pack", "--format", "bin", "--out", dir.Path("no/such/folder.bin")},
        {"pack", "--format", "bin", "--out", folder, "--block", "kern=" + block},
#ifndef _WIN32
        {"pack", "--format", "bin", "--out", link, "--block", "kern=" + block},
        {"pack", "--format", "bin", "--out", fifo, "--block", "kern=" + block},
#endif
        {"devices", "--yaml"},
        {"devices", "--json", "--json"},
        {"devices"},  // no device source handed in
        {"devices", "--file", "fw.bin"},
        {"devices", "--query", "--file"},
        {"devices", "--query", "--query"},
    };
    for (const auto& args : cases) {
        const ScanfwRun run = Scanfw(args);
        std::string joined;
        for (const std::string& arg : args) {
            joined += arg + " ";
        }
        EXPECT_EQ(run.exitCode, SCANFW_FAILURE) << joined;
        EXPECT_TRUE(Contains(run.err, "scanfw: ")) << joined;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    Bytes kept;
#ifndef _WIN32
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    ASSERT_TRUE(LoadBytes(precious, kept, nullptr));
    EXPECT_EQ(kept, Pattern(5, 2));
#endif
#ifdef __linux__
    // A disk that fills up: the earlier file stays whole and no piece is left behind.
    const std::string big = dir.Write("big.img", Pattern(100000, 3));
    rlimit before = {};
    getrlimit(RLIMIT_FSIZE, &before);
    const rlimit limit = {50000, before.rlim_max};
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const ScanfwRun full =
        Scanfw({"pack", "--format", "bin", "--out", precious, "--block", "kern=" + big});
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(full.exitCode, SCANFW_FAILURE);
    EXPECT_TRUE(Contains(full.err, "scanfw: cannot write " + precious)) << full.err;
    ASSERT_TRUE(LoadBytes(precious, kept, nullptr));
    EXPECT_EQ(kept, Pattern(5, 2));
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
        EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos) << entry.path();
    }
#endif
}

}  // namespace
