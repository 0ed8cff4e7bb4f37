#include "scanfw/scanfw.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "firmware_fixture.h"

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

TEST(Scanfw, BadArgumentsFailWithAMessage) {
    const TempDir dir;
    const std::string block = dir.Write("kern.img", Pattern(10, 1));
    const std::string out = dir.Path("out.bin");
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
}

}  // namespace
