// The product's Windows build, scanflash.exe unmodified, under Wine against the same emulated
// hidraw scanners as the Linux binary. Wine's own HID stack (winebus on its udev bus, hidclass,
// SetupAPI) finds the testbed's hidraw nodes, so the product's SetupAPI enumeration of the HID
// class, CreateFileW on the \\?\hid# path, overlapped ReadFile and WriteFile of 64-byte reports
// and IOCTL_HID_SET_FEATURE reach the simulated scanner through winebus's read, write and
// HIDIOCSFEATURE calls on the node.
//
// Wine 8 tells the program one byte fewer written than the device took for an output report
// with its report id: 63 for the 64 bytes the node received. The product rightly wants every
// byte it asked to write counted, so against an honest device it stops at "Test connection"
// with exit code 18. The emulated device makes up for it: under Wine its writes report one
// byte more than they took (writeCountExcess). Nothing in the product knows of it.
//
// The runs need the Windows build's scanflash.exe and a Wine prefix of their own, named by
// SCANFLASH_WINDOWS_EXE and SCANFLASH_WINE_HID_PREFIX (the windows preset's CTest sets both);
// without them every case is skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_run.h"
#include "emulated_nodes.h"
#include "fwwriter/firmware_writer.h"
#include "scanner_testbed.h"
#include "two_block_update.h"
#include "wine_host.h"

namespace {

constexpr char BANNER[] = "scanflash.exe  Version: 1.0.2.2\n";

// The C runtime writes standard output in text mode.
std::string AsWindowsWrites(const std::string& text) {
    std::string windows;
    for (const char c : text) {
        windows += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return windows;
}

// The prefix all runs of this process share: made once (about 10 s), then each run starts
// a server of its own in it. Null when the runs cannot take place here.
WinePrefix* SharedPrefix(std::string& why) {
    const char* directory = std::getenv("SCANFLASH_WINE_HID_PREFIX");
    if (directory == nullptr || std::getenv("SCANFLASH_WINDOWS_EXE") == nullptr) {
        why = "SCANFLASH_WINDOWS_EXE and SCANFLASH_WINE_HID_PREFIX are not set";
        return nullptr;
    }
    static WinePrefix prefix(directory);
    why = prefix.Problem();
    return prefix.Ready() ? &prefix : nullptr;
}

// A node with a simulated scanner behind it.
struct Served {
    std::string node;  // "hidraw1"
    LinkKind kind = LinkKind::Hid;
};

struct WineCase {
    const char* name = "";
    std::vector<UsbDeviceDescription> devices;  // in sysfs, as the Wine host describes them
    // The scanner the update is for, then bystanders: nodes whose scanner must receive
    // nothing.
    std::vector<Served> served;
    std::size_t counted = 1;  // how many of the devices the USB count sees, from the first
    SimFault fault;
    HidrawFaults hidraw;
    int exitCode = 15;
    std::string transcript = TwoBlockTranscript(BANNER);
    std::vector<std::string> featureCalls;  // the HIDIOCSFEATURE calls on the scanner's node
    std::string evidence;                   // a call the fault shows up in, as the node logs it
};

UsbDeviceDescription PlainScanner(const std::string& port = "1-2", std::uint16_t product = 0x0C11,
                                  const std::string& node = "hidraw0") {
    return ForWine(HidScanner(port, VENDOR_C, product, {node}));
}

// Composite: its HID interface 1 is the one to use, switched into feature mode; interface 0
// is published too and must be left alone.
UsbDeviceDescription CompositeScanner() {
    return ForWine(HidScanner("1-5", VENDOR_C, 0x0C01, {"hidraw0", "hidraw1"}));
}

WineCase Plain(const char* name) {
    WineCase run;
    run.name = name;
    run.devices = {PlainScanner()};
    run.served = {{"hidraw0", LinkKind::Hid}};
    return run;
}

WineCase Composite(const char* name) {
    WineCase run;
    run.name = name;
    run.devices = {CompositeScanner()};
    run.served = {{"hidraw1", LinkKind::HidFeature}, {"hidraw0", LinkKind::Hid}};
    run.featureCalls = {"HIDIOCSFEATURE fe 01", "HIDIOCSFEATURE fe 00"};
    return run;
}

WineCase FailsWith(WineCase run, int exitCode, const std::string& transcript,
                   std::string evidence = "") {
    run.exitCode = exitCode;
    run.transcript = transcript;
    run.evidence = std::move(evidence);
    return run;
}

SimFault AtSecondFrame(SimFaultKind kind) {
    SimFault fault;
    fault.step = SimStep::Frame;
    fault.kind = kind;
    fault.occurrence = 2;
    return fault;
}

// Gone at the second frame: reads and writes fail, and the removal uevent goes out.
WineCase Unplugged() {
    WineCase run = Plain("Unplugged");
    run.fault = AtSecondFrame(SimFaultKind::Vanish);
    return run;
}

// The device's OUT path is gone from the 10th output report on, the first data frame's
// first ("?", the model query, the update-mode packet, "???" and the five set-up commands
// come before it); reads go on.
WineCase WritesFail() {
    WineCase run = Plain("WritesFail");
    run.hidraw.failWritesFrom = 10;
    run.hidraw.error = ESHUTDOWN;
    return run;
}

WineCase FeatureRefused() {
    WineCase run = Composite("FeatureSwitchRefused");
    run.hidraw.refuseFeature = true;
    // No switch-off follows a refused switch-on.
    run.featureCalls = {"HIDIOCSFEATURE fe 01"};
    return run;
}

WineCase Silent() {
    WineCase run = Plain("SilentDevice");
    run.fault = AtSecondFrame(SimFaultKind::Silence);
    return run;
}

// Every input report ends right after its payload, shorter than the 64 bytes the report
// descriptor gives it. Wine drops such a report instead of handing it to the program (a
// pending ReadFile never completes), so the product meets a silent device.
WineCase ShortReports() {
    WineCase run = Plain("ShortReports");
    run.hidraw.shortRead = ShortRead::Trimmed;
    return run;
}

// Two HID scanners; the USB count sees one, so the second stage finds both HID paths.
WineCase TwoScanners() {
    WineCase run = Plain("TwoHidScanners");
    run.devices.push_back(PlainScanner("1-6", 0x0C12, "hidraw1"));
    run.served.push_back({"hidraw1", LinkKind::Hid});
    return run;
}

// One case set up in a testbed, run under Wine, and left for the checks.
class WineRun {
  public:
    explicit WineRun(const WineCase& run) : case_(run) {}

    void Run(WinePrefix& prefix) {
        for (const UsbDeviceDescription& device : case_.devices) {
            ASSERT_TRUE(testbed_.Add(device));
        }
        for (std::size_t at = 0; at < case_.served.size(); ++at) {
            SimScannerConfig config;
            config.linkKind = case_.served[at].kind;
            config.model = TWO_BLOCK_MODEL;
            HidrawFaults faults;
            if (at == 0) {
                config.fault = case_.fault;
                faults = case_.hidraw;
            }
            faults.writeCountExcess = 1;
            faults.removalUevent = true;
            scanners_.push_back(std::make_unique<SimScanner>(config));
            nodes_.push_back(std::make_unique<HidrawNode>(testbed_, case_.served[at].node,
                                                          *scanners_.back(), faults));
            ASSERT_TRUE(nodes_.back()->Ok());
        }
        std::vector<RegistryEntry> registry;
        for (std::size_t at = 0; at < case_.counted; ++at) {
            for (const RegistryEntry& entry : UsbDeviceInterface(case_.devices[at])) {
                registry.push_back(entry);
            }
        }
        Bytes bytes;
        const std::string file = testbed_.Root() + "/fw.bin";
        ASSERT_TRUE(WriteFirmware(TwoBlocks(), bytes, nullptr));
        ASSERT_TRUE(SaveBytes(file, bytes, nullptr));
        std::vector<std::string> awaited;
        for (const Served& served : case_.served) {
            for (const UsbDeviceDescription& device : case_.devices) {
                for (const UsbInterfaceDescription& iface : device.interfaces) {
                    if (iface.node == served.node) {
                        awaited.push_back(HidPathStart(device, served.node));
                    }
                }
            }
        }
        result_ = prefix.Run(testbed_, registry, awaited,
                             {std::getenv("SCANFLASH_WINDOWS_EXE"), "-file:" + WindowsPath(file)});
        ASSERT_FALSE(result_.timedOut) << "scanflash.exe hung; it printed:\n" << result_.out;
    }

    const ChildResult& Result() const { return result_; }
    const SimScanner& Scanner(std::size_t at = 0) const { return *scanners_[at]; }
    const CallLog& Log(std::size_t at = 0) const { return nodes_[at]->Log(); }
    std::size_t NodeCount() const { return nodes_.size(); }

    std::vector<std::string> FeatureCalls() const {
        std::vector<std::string> calls;
        for (const std::string& line : Log().Lines()) {
            if (line.rfind("HIDIOCSFEATURE", 0) == 0) {
                calls.push_back(line);
            }
        }
        return calls;
    }

    // Every block arrived whole and was written, with no protocol error on the way.
    void ExpectFirmwareArrived() const {
        const FirmwareSpec spec = TwoBlocks();
        const std::vector<SimBlock> blocks = Scanner().Blocks();
        ASSERT_EQ(blocks.size(), spec.blocks.size());
        for (std::size_t at = 0; at < blocks.size(); ++at) {
            EXPECT_EQ(blocks[at].name, spec.blocks[at].tag);
            EXPECT_EQ(blocks[at].data, spec.blocks[at].data) << "block " << at;
            EXPECT_EQ(blocks[at].verdict, '^');
        }
        EXPECT_EQ(Scanner().ProtocolErrors(), std::vector<std::string>{});
    }

  private:
    const WineCase case_;
    ScannerTestbed testbed_;
    std::vector<std::unique_ptr<SimScanner>> scanners_;
    std::vector<std::unique_ptr<HidrawNode>> nodes_;
    ChildResult result_;
};

class WineHid : public ::testing::TestWithParam<WineCase> {};

TEST_P(WineHid, EndsAsOnWindows) {
    std::string why;
    WinePrefix* prefix = SharedPrefix(why);
    if (prefix == nullptr) {
        GTEST_SKIP() << why;
    }
    const WineCase& expected = GetParam();
    WineRun run(expected);
    ASSERT_NO_FATAL_FAILURE(run.Run(*prefix));
    EXPECT_EQ(run.Result().exitCode, expected.exitCode) << run.Result().err;
    EXPECT_EQ(run.Result().out, AsWindowsWrites(expected.transcript));
    if (expected.exitCode == 15) {
        run.ExpectFirmwareArrived();
    }
    EXPECT_EQ(run.FeatureCalls(), expected.featureCalls);
    EXPECT_FALSE(run.Scanner().FeatureModeOn());
    if (!expected.evidence.empty()) {
        EXPECT_GE(run.Log().Count(expected.evidence), 1u)
            << ::testing::PrintToString(run.Log().Lines());
    }
    for (std::size_t at = 1; at < run.NodeCount(); ++at) {
        EXPECT_EQ(run.Scanner(at).StepCount(SimStep::Connection), 0u) << "bystander " << at;
        EXPECT_EQ(run.Scanner(at).ProtocolErrors(), std::vector<std::string>{});
        EXPECT_EQ(run.Log(at).Count("HIDIOCSFEATURE"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WineHid,
    ::testing::Values(Plain("PlainHid"), Composite("CompositeFeatureMode"),
                      FailsWith(Unplugged(), 18, TwoBlockUpdateHead(BANNER) + "*", "read failed"),
                      FailsWith(WritesFail(), 18, TwoBlockUpdateHead(BANNER), "write failed"),
                      FailsWith(FeatureRefused(), 10, BANNER),
                      FailsWith(Silent(), 18, TwoBlockUpdateHead(BANNER) + "*"),
                      FailsWith(ShortReports(), 18, std::string(BANNER) + "Test connection\n"),
                      FailsWith(TwoScanners(), 14, BANNER)),
    [](const ::testing::TestParamInfo<WineCase>& param) { return std::string(param.param.name); });

}  // namespace

// The testbed sends its uevents through libudev in this process, which finds the testbed's
// devices only under umockdev's preload: the tests start again under it.
int main(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, SCANFLASH_UMOCKDEV_PRELOAD) == nullptr) {
        const std::string value = preload == nullptr || *preload == '\0'
                                      ? std::string(SCANFLASH_UMOCKDEV_PRELOAD)
                                      : std::string(SCANFLASH_UMOCKDEV_PRELOAD) + ":" + preload;
        setenv("LD_PRELOAD", value.c_str(), 1);
        // A build with AddressSanitizer would refuse a preload that comes before its runtime.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string asanOptions =
            std::string(asan == nullptr ? "" : asan) + ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot start the tests again under umockdev's preload");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
