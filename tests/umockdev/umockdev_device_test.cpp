// The product's Linux binary, unmodified, against scanners that umockdev emulates: discovery
// reads the emulated sysfs, the port opens the emulated node, and every read, write and ioctl
// on the node reaches the simulated scanner through the node's handler. Each case runs
// scanflash as a child and judges its exit code and output, what the scanner received, and
// the calls that reached the node.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_run.h"
#include "emulated_nodes.h"
#include "fwwriter/firmware_writer.h"
#include "scanner_testbed.h"
#include "two_block_update.h"

namespace {

constexpr char BANNER[] = "scanflash  Version: 1.0.2.2\n";

// The scanners of these tests, one of each kind of link.
UsbDeviceDescription TtyScanner() {
    return SerialScanner("1-3", VENDOR_B, 0x0007, "ttyACM0");
}
UsbDeviceDescription HidrawScanner() {
    return HidScanner("1-2", VENDOR_C, 0x0C11, {"hidraw0"});
}
// Composite: its HID interface 1 is the one to use, switched into feature mode; interface 0
// has a node of its own that must be left alone (it does not exist, so opening it fails).
UsbDeviceDescription FeatureScanner() {
    return HidScanner("1-5", VENDOR_A, 0x0003, {"hidraw0", "hidraw1"});
}
UsbDeviceDescription UsbfsScanner() {
    return BulkScanner("1-4", VENDOR_A, 0x0001);
}
// Devices that are no scanners: a HID device and a CDC ACM port of another vendor, and a
// VENDOR_B product outside its table.
std::vector<UsbDeviceDescription> Unsupported() {
    return {HidScanner("1-6", 0x1234, 0x5678, {"hidraw2"}),
            SerialScanner("1-7", 0x1234, 0x0001, "ttyACM1"), BulkScanner("1-8", VENDOR_B, 0x0005)};
}

enum class Serve : std::uint8_t { Nothing, Tty, Hidraw, Usbfs };

// One run: the devices in sysfs, the node the scanner sits behind and how both behave.
struct Scenario {
    const char* name = "";
    std::vector<UsbDeviceDescription> devices;
    // The node of the first device: Tty, Hidraw by its name ("ttyACM0", "hidraw1"), Usbfs as
    // the bus numbered the device.
    Serve serve = Serve::Nothing;
    std::string node;
    LinkKind kind = LinkKind::VendorBulk;
    SimFault fault;
    HidrawFaults hidraw;
    UsbfsFaults usbfs;
    bool inaccessible = false;      // the node is there, and nobody may open it; nothing serves it
    std::uint32_t replugs = 0;      // how often the first device is unplugged and plugged in again
    std::uint32_t writeTimeMs = 0;  // the scanner's time to write each block
    // A second scanflash runs against the same devices while the first sends its first block.
    bool secondRun = false;
    int exitCode = 15;  // the first run's
};

Scenario Devices(const char* name, std::vector<UsbDeviceDescription> devices) {
    Scenario scenario;
    scenario.name = name;
    scenario.devices = std::move(devices);
    return scenario;
}

Scenario Tty(const char* name) {
    Scenario scenario = Devices(name, {TtyScanner()});
    scenario.serve = Serve::Tty;
    scenario.node = "ttyACM0";
    scenario.kind = LinkKind::SerialPort;
    return scenario;
}

Scenario Hidraw(const char* name) {
    Scenario scenario = Devices(name, {HidrawScanner()});
    scenario.serve = Serve::Hidraw;
    scenario.node = "hidraw0";
    scenario.kind = LinkKind::Hid;
    return scenario;
}

Scenario Feature(const char* name) {
    Scenario scenario = Devices(name, {FeatureScanner()});
    scenario.serve = Serve::Hidraw;
    scenario.node = "hidraw1";
    scenario.kind = LinkKind::HidFeature;
    return scenario;
}

Scenario Usbfs(const char* name) {
    Scenario scenario = Devices(name, {UsbfsScanner()});
    scenario.serve = Serve::Usbfs;
    return scenario;
}

SimFault VanishAtSecondFrame() {
    SimFault fault;
    fault.step = SimStep::Frame;
    fault.kind = SimFaultKind::Vanish;
    fault.occurrence = 2;
    return fault;
}

std::string Name(const ::testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

// Cases print by name in test listings and failures.
void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

// A scenario set up in a testbed, run, and left for the checks.
class DeviceRun {
  public:
    explicit DeviceRun(const Scenario& scenario) : scenario_(scenario) {}

    // Describes the devices, serves the node and runs scanflash on the firmware file.
    void Run(const FirmwareSpec& firmware, const SimScannerConfig& config) {
        for (const UsbDeviceDescription& device : scenario_.devices) {
            ASSERT_TRUE(testbed_.Add(device));
        }
        const UsbDeviceDescription& first = scenario_.devices.front();
        for (std::uint32_t replug = 0; replug < scenario_.replugs; ++replug) {
            const std::uint32_t before = testbed_.DeviceNumber(first.port);
            ASSERT_TRUE(testbed_.Unplug(first.port));
            ASSERT_TRUE(testbed_.Add(first));
            // A number the bus gave before is not given again, so no stale node can match.
            ASSERT_GT(testbed_.DeviceNumber(first.port), before);
        }
        scanner_ = std::make_unique<SimScanner>(config);
        if (scenario_.inaccessible) {
            ASSERT_TRUE(testbed_.AddInaccessibleNode(
                scenario_.serve == Serve::Usbfs ? UsbfsNodePath(testbed_.DeviceNumber(first.port))
                                                : "/dev/" + scenario_.node));
        }
        switch (scenario_.inaccessible ? Serve::Nothing : scenario_.serve) {
            case Serve::Tty:
                node_ = std::make_unique<TtyNode>(testbed_, scenario_.node, *scanner_);
                break;
            case Serve::Hidraw:
                node_ = std::make_unique<HidrawNode>(testbed_, scenario_.node, *scanner_,
                                                     scenario_.hidraw);
                break;
            case Serve::Usbfs:
                node_ = std::make_unique<UsbfsNode>(testbed_, first.port, 0, *scanner_,
                                                    scenario_.usbfs);
                break;
            case Serve::Nothing:
                break;
        }
        ASSERT_TRUE(node_ == nullptr || node_->Ok());
        Bytes bytes;
        const std::string file = testbed_.Root() + "/fw.bin";
        ASSERT_TRUE(WriteFirmware(firmware, bytes, nullptr));
        ASSERT_TRUE(SaveBytes(file, bytes, nullptr));
        ChildCommand command;
        command.argv = {SCANFLASH_PATH, "-file:" + file};
        command.withoutPermissionOverride = scenario_.inaccessible;
        command.limit = std::chrono::seconds(30);
        if (!scenario_.secondRun) {
            result_ = RunUnderPreload(testbed_.Root(), command);
        } else {
            std::thread firstRun(
                [this, &command] { result_ = RunUnderPreload(testbed_.Root(), command); });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (scanner_->Blocks().empty() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            second_ = RunUnderPreload(testbed_.Root(), command);
            firstRun.join();
            ASSERT_FALSE(second_.timedOut) << "the second scanflash hung; it printed:\n"
                                           << second_.out;
        }
        ASSERT_FALSE(result_.timedOut) << "scanflash hung; it printed:\n" << result_.out;
    }

    void Run() {
        SimScannerConfig config;
        config.linkKind = scenario_.kind;
        config.model = TWO_BLOCK_MODEL;
        config.fault = scenario_.fault;
        config.writeTimeMs = scenario_.writeTimeMs;
        Run(TwoBlocks(), config);
    }

    const ChildResult& Result() const { return result_; }
    const ChildResult& SecondResult() const { return second_; }
    const SimScanner& Scanner() const { return *scanner_; }
    const CallLog& Log() const { return node_->Log(); }
    const EmulatedNode& Node() const { return *node_; }

    // Every block arrived whole and was written, with no protocol error on the way.
    void ExpectFirmwareArrived() const {
        const FirmwareSpec source = TwoBlocks();
        const std::vector<SimBlock> blocks = scanner_->Blocks();
        ASSERT_EQ(blocks.size(), source.blocks.size());
        for (std::size_t at = 0; at < blocks.size(); ++at) {
            EXPECT_EQ(blocks[at].name, source.blocks[at].tag);
            EXPECT_EQ(blocks[at].data, source.blocks[at].data) << "block " << at;
            EXPECT_EQ(blocks[at].verdict, '^');
        }
        EXPECT_EQ(scanner_->ProtocolErrors(), std::vector<std::string>{});
    }

  private:
    const Scenario scenario_;
    ScannerTestbed testbed_;
    std::unique_ptr<SimScanner> scanner_;
    std::unique_ptr<EmulatedNode> node_;
    ChildResult result_;
    ChildResult second_;
};

// The last calls of a log, one a line.
std::string Tail(const std::vector<std::string>& lines) {
    constexpr std::size_t SHOWN = 16;
    std::string text;
    for (std::size_t at = lines.size() > SHOWN ? lines.size() - SHOWN : 0; at < lines.size();
         ++at) {
        text += lines[at] + "\n";
    }
    return text;
}

bool IsUrbTraffic(const std::string& line) {
    for (const char* prefix : {"SUBMITURB ", "REAPURBNDELAY ", "DISCARDURB "}) {
        if (line.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// --- whole updates over each kind of link ---

struct WholeUpdateCase {
    Scenario scenario;
    // The calls that reached the node, bulk URBs left out, in their order.
    std::vector<std::string> controlCalls;
    // A tty's line settings after the run (TtyNode::LineSettings): as they were before it.
    std::string lineAfter;
};

void PrintTo(const WholeUpdateCase& update, std::ostream* out) {
    *out << update.scenario.name;
}

class WholeUpdate : public ::testing::TestWithParam<WholeUpdateCase> {};

TEST_P(WholeUpdate, TheDeviceReceivesEveryBlock) {
    DeviceRun run(GetParam().scenario);
    ASSERT_NO_FATAL_FAILURE(run.Run());
    EXPECT_EQ(run.Result().exitCode, 15) << run.Result().err;
    EXPECT_EQ(run.Result().out, TwoBlockTranscript(BANNER));
    run.ExpectFirmwareArrived();
    std::vector<std::string> control;
    for (const std::string& line : run.Log().Lines()) {
        if (!IsUrbTraffic(line)) {
            control.push_back(line);
        }
    }
    EXPECT_EQ(control, GetParam().controlCalls);
    if (!GetParam().lineAfter.empty()) {
        EXPECT_EQ(static_cast<const TtyNode&>(run.Node()).LineSettings(), GetParam().lineAfter);
    }
    // Every URB submitted came back and was reaped before the interface was released.
    EXPECT_EQ(run.Log().Count("SUBMITURB "), run.Log().Count("REAPURBNDELAY "));
    EXPECT_FALSE(run.Scanner().FeatureModeOn());
}

Scenario TrimmedReports() {
    Scenario scenario = Hidraw("HidrawShortReports");
    scenario.hidraw.shortRead = ShortRead::Trimmed;
    return scenario;
}

INSTANTIATE_TEST_SUITE_P(
    Links, WholeUpdate,
    ::testing::Values(
        WholeUpdateCase{Tty("Tty"),
                        {"TIOCEXCL", "TIOCMBIS 0x006", "TIOCNXCL"},
                        "9600 icanon echo icrnl ixon opost isig"},
        WholeUpdateCase{Hidraw("Hidraw"), {}, ""},
        // The input reports as the device sends them, each ending after its payload:
        // the port pads them to 64 bytes as Windows does.
        WholeUpdateCase{TrimmedReports(), {}, ""},
        WholeUpdateCase{
            Feature("HidrawFeatureMode"), {"HIDIOCSFEATURE fe 01", "HIDIOCSFEATURE fe 00"}, ""},
        WholeUpdateCase{Usbfs("Usbfs"), {"CLAIMINTERFACE 0", "RELEASEINTERFACE 0"}, ""}),
    [](const ::testing::TestParamInfo<WholeUpdateCase>& param) {
        return std::string(param.param.scenario.name);
    });

// --- selection of the one scanner ---

class Selection : public ::testing::TestWithParam<Scenario> {};

TEST_P(Selection, ExitsAsTheSelectionRequires) {
    DeviceRun run(GetParam());
    ASSERT_NO_FATAL_FAILURE(run.Run());
    EXPECT_EQ(run.Result().exitCode, GetParam().exitCode) << run.Result().err;
    if (GetParam().exitCode == 15 && GetParam().writeTimeMs == 0) {
        EXPECT_EQ(run.Result().out, TwoBlockTranscript(BANNER));
    }
    if (GetParam().exitCode == 15) {
        // A slow write adds progress dots to the transcript, as many as the wait took.
        EXPECT_EQ(run.Result().out.rfind(TwoBlockUpdateHead(BANNER), 0), 0u);
        run.ExpectFirmwareArrived();
    } else {
        EXPECT_EQ(run.Result().out, BANNER);
    }
    if (GetParam().secondRun) {
        EXPECT_EQ(run.SecondResult().exitCode, 13) << run.SecondResult().out;
        EXPECT_EQ(run.SecondResult().out, BANNER);
    }
}

Scenario NoScanner() {
    Scenario scenario = Devices("OnlyOtherDevices", Unsupported());
    scenario.exitCode = 12;
    return scenario;
}

Scenario TwoScanners() {
    Scenario scenario = Devices("TwoScanners", {UsbfsScanner(), HidrawScanner()});
    scenario.exitCode = 14;
    return scenario;
}

// A VENDOR_A device counts as a scanner whatever its product.
Scenario UnknownProductBeside() {
    Scenario scenario = Usbfs("VendorAUnknownProductCounts");
    scenario.devices.push_back(BulkScanner("1-9", VENDOR_A, 0x0007));
    scenario.exitCode = 14;
    return scenario;
}

Scenario ScannerAmongOthers() {
    Scenario scenario = Usbfs("ScannerAmongOtherDevices");
    for (const UsbDeviceDescription& device : Unsupported()) {
        scenario.devices.push_back(device);
    }
    return scenario;
}

Scenario WithoutPermission(Scenario scenario) {
    scenario.inaccessible = true;
    scenario.exitCode = 13;
    return scenario;
}

// The bus gives a replugged device a new number: the product finds the node under it.
Scenario Replugged() {
    Scenario scenario = Usbfs("UsbfsReplugged");
    scenario.replugs = 2;
    return scenario;
}

// A second run on a node the first holds for its update is kept out (in use) and leaves the
// update untouched: as on Windows, a shared hidraw open does not get in beside an exclusive
// one, and the kernel refuses a usbfs claim of an interface that another open holds.
Scenario BusyWithAnotherRun(Scenario scenario) {
    scenario.secondRun = true;
    scenario.writeTimeMs = 2000;
    return scenario;
}

INSTANTIATE_TEST_SUITE_P(Scanners, Selection,
                         ::testing::Values(NoScanner(), TwoScanners(), UnknownProductBeside(),
                                           ScannerAmongOthers(),
                                           BusyWithAnotherRun(Hidraw("HidrawBusyWithAnotherRun")),
                                           BusyWithAnotherRun(Usbfs("UsbfsBusyWithAnotherRun")),
                                           Replugged(),
                                           WithoutPermission(Tty("TtyWithoutPermission")),
                                           WithoutPermission(Hidraw("HidrawWithoutPermission")),
                                           WithoutPermission(Usbfs("UsbfsWithoutPermission"))),
                         Name);

// --- faults through the real calls ---

struct FaultCase {
    Scenario scenario;
    // The calls the fault can show up in, as the node logged them. Together they come once
    // for each thread that meets the fault (at most `times`): a port that went on after it
    // would meet it again.
    std::vector<std::string> evidence;
    std::string never;  // a call that must not follow
    long times = 1;
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.scenario.name;
}

class NodeFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(NodeFault, EndsWithItsExitCode) {
    DeviceRun run(GetParam().scenario);
    ASSERT_NO_FATAL_FAILURE(run.Run());
    EXPECT_EQ(run.Result().exitCode, GetParam().scenario.exitCode) << run.Result().err;
    EXPECT_EQ(run.Result().out.rfind(BANNER, 0), 0u);
    const std::vector<std::string> lines = run.Log().Lines();
    long seen = 0;
    for (const std::string& evidence : GetParam().evidence) {
        seen += std::count(lines.begin(), lines.end(), evidence);
    }
    EXPECT_TRUE(seen >= 1 && seen <= GetParam().times)
        << ::testing::PrintToString(GetParam().evidence) << " " << seen
        << " times; the calls ended with:\n"
        << Tail(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), GetParam().never), 0);
    // A claimed interface is released whatever went wrong.
    EXPECT_EQ(run.Log().Count("CLAIMINTERFACE "), run.Log().Count("RELEASEINTERFACE "));
    EXPECT_EQ(run.Scanner().Vanished(), GetParam().scenario.fault.kind == SimFaultKind::Vanish &&
                                            GetParam().scenario.fault.step != SimStep::None);
}

FaultCase Fault(Scenario scenario, std::vector<std::string> evidence, int exitCode = 18,
                std::string never = "-", long times = 1) {
    scenario.exitCode = exitCode;
    return {std::move(scenario), std::move(evidence), std::move(never), times};
}

Scenario Vanishing(Scenario scenario) {
    scenario.fault = VanishAtSecondFrame();
    return scenario;
}

Scenario UsbfsVanishing(const char* name, UsbfsVanish effect, int error) {
    Scenario scenario = Vanishing(Usbfs(name));
    scenario.usbfs.vanish = effect;
    scenario.usbfs.error = error;
    return scenario;
}

// The first block's first data frame goes out in the 10th write: "?", the model query, the
// update-mode packet, "???" and the five set-up commands come before it, each in one HID
// report or one OUT URB.
constexpr std::uint32_t FIRST_FRAME = 10;

Scenario HidrawWritesFail() {
    Scenario scenario = Hidraw("HidrawWriteFails");
    scenario.hidraw.failWritesFrom = FIRST_FRAME;
    scenario.hidraw.error = ESHUTDOWN;
    return scenario;
}

Scenario UrbFaulting(const char* name, UrbFault fault, std::uint32_t occurrence, int status) {
    Scenario scenario = Usbfs(name);
    scenario.usbfs.urb = fault;
    scenario.usbfs.occurrence = occurrence;
    scenario.usbfs.status = status;
    return scenario;
}

Scenario FeatureRefused() {
    Scenario scenario = Feature("FeatureSwitchRefused");
    scenario.hidraw.refuseFeature = true;
    return scenario;
}

// The answer to "?" arrives without its payload.
Scenario CutReport() {
    Scenario scenario = Hidraw("HidrawReadCutShort");
    scenario.hidraw.shortRead = ShortRead::CutPayload;
    scenario.hidraw.cutReport = 1;
    return scenario;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NodeFault,
    ::testing::Values(
        Fault(Vanishing(Tty("TtyHangsUp")), {"read failed"}),
        Fault(Vanishing(Hidraw("HidrawReadFails")), {"read failed"}),
        Fault(HidrawWritesFail(), {"write failed"}),
        // No switch-off follows a refused switch-on.
        Fault(FeatureRefused(), {"HIDIOCSFEATURE fe 01"}, 10, "HIDIOCSFEATURE fe 00"),
        Fault(CutReport(), {"read cut"}),
        // The reader meets the vanished device through its IN URB in flight, or through its
        // next submission when it had just reaped one.
        Fault(UsbfsVanishing("UsbfsUrbsShutDown", UsbfsVanish::UrbsShutDown, ENODEV),
              {"REAPURBNDELAY in 4096 status -108 actual 0", "SUBMITURB failed"}),
        // The reader may be about to submit its next IN URB when the writer's submission fails;
        // likewise the writer may still have its last OUT URB to reap when the device goes.
        Fault(UrbFaulting("UsbfsSubmitFails", UrbFault::SubmitFails, FIRST_FRAME, 0),
              {"SUBMITURB failed"}, 18, "-", 2),
        Fault(UsbfsVanishing("UsbfsReapFails", UsbfsVanish::ReapFails, ESHUTDOWN),
              {"REAPURBNDELAY failed"}, 18, "-", 2),
        Fault(UrbFaulting("OutUrbNeverCompletes", UrbFault::OutNeverCompletes, FIRST_FRAME, 0),
              {"REAPURBNDELAY out 517 status -2 actual 0"}),
        Fault(UrbFaulting("OutEndpointStalls", UrbFault::OutStatus, FIRST_FRAME, -EPIPE),
              {"REAPURBNDELAY out 517 status -32 actual 0"}),
        Fault(UrbFaulting("InEndpointStalls", UrbFault::InStatus, 1, -EPIPE),
              {"REAPURBNDELAY in 4096 status -32 actual 0"}),
        Fault(UrbFaulting("InUrbFails", UrbFault::InStatus, 3, -EPROTO),
              {"REAPURBNDELAY in 4096 status -71 actual 0"})),
    [](const ::testing::TestParamInfo<FaultCase>& param) {
        return std::string(param.param.scenario.name);
    });

// --- the bulk port's wait ---

// While the device takes 2 s for its verdict, the port sleeps until an URB is reapable: each
// completion wakes at most the two threads that wait on the node, so a reap that finds
// nothing is the other thread's. A port that polled without waiting would reap thousands of
// times.
TEST(UsbfsWait, SleepsUntilAnUrbCompletes) {
    DeviceRun run(Usbfs("SlowVerdict"));
    SimScannerConfig config;
    config.model = TWO_BLOCK_MODEL;
    config.writeTimeMs = 2000;
    FirmwareSpec firmware = TwoBlocks();
    firmware.blocks.pop_back();
    ASSERT_NO_FATAL_FAILURE(run.Run(firmware, config));
    EXPECT_EQ(run.Result().exitCode, 15) << run.Result().err;
    const auto& node = static_cast<const UsbfsNode&>(run.Node());
    const std::size_t reaped = run.Log().Count("REAPURBNDELAY ");
    EXPECT_LE(node.EmptyReaps(), 2 * reaped);
}

// --- what a HID host reads before it talks to the scanner ---

// The report sizes in bits a descriptor declares ("input 2", "output 4", "feature 254"), and
// the usage page of its first collection as "page".
std::map<std::string, std::uint32_t> DeclaredReports(const std::vector<std::uint8_t>& bytes) {
    std::map<std::string, std::uint32_t> declared;
    std::uint32_t id = 0;
    std::uint32_t size = 0;
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::uint8_t prefix = bytes[at++];
        const std::size_t length = (prefix & 3u) == 3 ? 4 : (prefix & 3u);
        std::uint32_t value = 0;
        for (std::size_t byte = 0; byte < length && at + byte < bytes.size(); ++byte) {
            value |= static_cast<std::uint32_t>(bytes[at + byte]) << (8 * byte);
        }
        at += length;
        switch (prefix & 0xFCu) {
            case 0x04:  // Usage Page
                declared.emplace("page", value);
                break;
            case 0x74:  // Report Size
                size = value;
                break;
            case 0x84:  // Report ID
                id = value;
                break;
            case 0x94:  // Report Count
                count = value;
                break;
            case 0x80:
                declared["input " + std::to_string(id)] += size * count;
                break;
            case 0x90:
                declared["output " + std::to_string(id)] += size * count;
                break;
            case 0xB0:
                declared["feature " + std::to_string(id)] += size * count;
                break;
            default:
                break;
        }
    }
    return declared;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", byte);
        text += hex;
    }
    return text;
}

// A host such as Wine's HID backend sees the composite scanner's second HID interface: the
// report descriptor through the node's ioctls and in sysfs, and the hid device's identity.
TEST(HidHost, SeesTheScannerAsTheKernelShowsIt) {
    ScannerTestbed testbed;
    ASSERT_TRUE(testbed.Add(FeatureScanner()));
    SimScannerConfig config;
    config.linkKind = LinkKind::HidFeature;
    SimScanner scanner(config);
    HidrawNode node(testbed, "hidraw1", scanner);
    ASSERT_TRUE(node.Ok());
    ChildCommand command;
    command.argv = {SCANFLASH_HIDRAW_PROBE_PATH, "hidraw1"};
    const ChildResult run = RunUnderPreload(testbed.Root(), command);
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::vector<std::string> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line);
    }
    const std::string descriptor = Hex(ScannerReportDescriptor());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ioctl" + descriptor);
    EXPECT_EQ(lines[1], "sysfs" + descriptor);
    for (const char* expected :
         {"HID_ID=0003:00007A10:00000003", "HID_NAME=Test Vendor Test Scanner",
          "HID_PHYS=usb-0000:00:14.0-5/input1", "HID_UNIQ=SF1-5"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    }
    // As the kernel writes the file: the subsystem is the device's link, not a line.
    for (const std::string& line : lines) {
        EXPECT_NE(line.rfind("SUBSYSTEM=", 0), 0u) << line;
    }
    EXPECT_EQ(node.Log().Lines(), (std::vector<std::string>{"HIDIOCGRDESCSIZE", "HIDIOCGRDESC"}));

    // Input report 2 and output report 4 of 63 data bytes, feature report 0xFE of one.
    const std::map<std::string, std::uint32_t> reports = {
        {"page", 0xFF00}, {"input 2", 504}, {"output 4", 504}, {"feature 254", 8}};
    EXPECT_EQ(DeclaredReports(ScannerReportDescriptor()), reports);
}

}  // namespace
