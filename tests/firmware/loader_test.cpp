#ifdef __linux__
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "firmware_fixture.h"

namespace {

Bytes ValidFile(FirmwareLayout layout) {
    FirmwareSpec spec;
    spec.layout = layout;
    spec.model = "EM7";
    spec.blocks = {Block(layout == FirmwareLayout::Qfp ? "appl" : "kern", 300, 1)};
    if (layout == FirmwareLayout::Bin || layout == FirmwareLayout::Qfp) {
        spec.blocks.push_back(Block("appl", 100, 2));
    }
    return Build(spec);
}

ResultCode Load(const std::string& path, PackageInfo& info, FirmwareBuffer& buffer,
                ParseReport* report = nullptr) {
    return LoadFirmwareFile(Wide(path).c_str(), &info, buffer, report);
}

// A sparse file of the given size whose last 588 bytes are a valid bin trailer without
// entries: every byte of it would pass, so only the size decides.
void WriteSparseBin(const std::string& path, std::uint64_t size) {
    const Bytes trailer = Build(FirmwareSpec{});
    ASSERT_EQ(trailer.size(), 588u);
    { std::ofstream create(path, std::ios::binary); }
    std::filesystem::resize_file(path, size);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(size - trailer.size()));
    file.write(reinterpret_cast<const char*>(trailer.data()),
               static_cast<std::streamsize>(trailer.size()));
    ASSERT_TRUE(file.good());
}

TEST(FirmwareLoader, TheTextAfterTheLastDotChoosesTheLayout) {
    struct Case {
        const char16_t* name;
        FirmwareLayout layout;
    };
    const Case cases[] = {
        {u"fw.bin", FirmwareLayout::Bin},
        {u"fw.BIN2", FirmwareLayout::Bin},
        {u"fw.binary", FirmwareLayout::Bin},
        {u"fw.Bin ", FirmwareLayout::Bin},  // anything may follow "bin"
        {u"fw.pak.bin", FirmwareLayout::Bin},
        {u"fw.bin.pak", FirmwareLayout::Pak},
        {u"fw.PAK", FirmwareLayout::Pak},
        {u"fw.Pak", FirmwareLayout::Pak},
        {u"fw.Pk2", FirmwareLayout::Pk2},
        {u"fw.qFp", FirmwareLayout::Qfp},
        {u"C:\\fw.d\\image.qfp", FirmwareLayout::Qfp},
        {u"fw.paks", FirmwareLayout::Unknown},
        {u"fw.pk", FirmwareLayout::Unknown},
        {u"fw.qfp2", FirmwareLayout::Unknown},
        {u"fw.bi", FirmwareLayout::Unknown},
        {u"fw.xbin", FirmwareLayout::Unknown},
        {u"fw.", FirmwareLayout::Unknown},
        {u"fw", FirmwareLayout::Unknown},
        {u"", FirmwareLayout::Unknown},
        {u"C:\\fw.d\\image", FirmwareLayout::Unknown},
        {u"dir.d/image", FirmwareLayout::Unknown},
        // The last dot counts even in a folder name, and "bin/image" begins with "bin".
        {u"dir.bin/image", FirmwareLayout::Bin},
        // Only A-Z fold: the Kelvin sign is not a k.
        {u"fw.pa\u212A", FirmwareLayout::Unknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LayoutFromFileName(c.name), c.layout)
            << Utf16ToUtf8(c.name) << " -> " << FirmwareLayoutName(c.layout);
    }
}

TEST(FirmwareLoader, TheExtensionIsJudgedBeforeTheFileIsOpened) {
    const TempDir dir;
    struct Case {
        std::string name;
        ResultCode result;
    };
    const Case cases[] = {
        {"missing.pak", RESULT_FILE_OPEN_FAILED}, {"missing.bin2", RESULT_FILE_OPEN_FAILED},
        {"missing.txt", RESULT_BAD_EXTENSION},    {"missing.", RESULT_BAD_EXTENSION},
        {"missing", RESULT_BAD_EXTENSION},        {"dir.d/image", RESULT_BAD_EXTENSION},
    };
    for (const Case& c : cases) {
        PackageInfo info;
        FirmwareBuffer buffer;
        EXPECT_EQ(Load(dir.Path(c.name), info, buffer), c.result) << c.name;
        EXPECT_TRUE(buffer.Empty());
    }
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(LoadFirmwareFile(u"", &info, buffer), RESULT_BAD_EXTENSION);
    EXPECT_EQ(LoadFirmwareFile(nullptr, &info, buffer), RESULT_BAD_REQUEST);
    EXPECT_EQ(LoadFirmwareFile(u"fw.bin", nullptr, buffer), RESULT_BAD_REQUEST);
}

TEST(FirmwareLoader, EachFileReachesTheParserItsExtensionNames) {
    const TempDir dir;
    struct Case {
        std::string name;
        FirmwareLayout content;
        ResultCode result;
        ContainerKind container;
    };
    const Case cases[] = {
        {"fw.pak.bin", FirmwareLayout::Bin, RESULT_SUCCESS, ContainerKind::Bin},
        // A full path longer than Windows' MAX_PATH.
        {std::string(150, 'd') + "/" + std::string(150, 'f') + ".bin", FirmwareLayout::Bin,
         RESULT_SUCCESS, ContainerKind::Bin},
        {"fw.BINARY", FirmwareLayout::Bin, RESULT_SUCCESS, ContainerKind::Bin},
        {"fw.bin.pak", FirmwareLayout::Pak, RESULT_SUCCESS, ContainerKind::Pak},
        {"fw.Pk2", FirmwareLayout::Pk2, RESULT_SUCCESS, ContainerKind::Pak},
        {"fw.QFP", FirmwareLayout::Qfp, RESULT_SUCCESS, ContainerKind::Qfp},
        {"pk2-named.pak", FirmwareLayout::Pk2, RESULT_BAD_FILE, ContainerKind::None},
        {"pak-named.pk2", FirmwareLayout::Pak, RESULT_BAD_FILE, ContainerKind::None},
        {"qfp-named.bin", FirmwareLayout::Qfp, RESULT_BAD_FILE, ContainerKind::None},
    };
    for (const Case& c : cases) {
        std::filesystem::create_directories(std::filesystem::path(dir.Path(c.name)).parent_path());
        const std::string path = dir.Write(c.name, ValidFile(c.content));
        PackageInfo info;
        FirmwareBuffer buffer;
        EXPECT_EQ(Load(path, info, buffer), c.result) << c.name;
        if (c.result == RESULT_SUCCESS) {
            EXPECT_EQ(info.container, c.container) << c.name;
        }
    }
}

// Only a regular file has a size to measure and the same bytes when it is read twice; the
// open never waits for a writer.
TEST(FirmwareLoader, OnlyARegularFileCanBeOpened) {
    const TempDir dir;
    std::filesystem::create_directory(dir.Path("folder.bin"));
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(Load(dir.Path("folder.bin"), info, buffer), RESULT_FILE_OPEN_FAILED);
#ifdef __linux__
    const std::string fifo = dir.Path("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const bool withWriter : {false, true}) {
        const int writer = withWriter ? open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
        auto loading = std::async(std::launch::async, [&] { return Load(fifo, info, buffer); });
        if (loading.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << "the open waits for a writer";
            close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        }
        EXPECT_EQ(loading.get(), RESULT_FILE_OPEN_FAILED) << withWriter;
        if (writer >= 0) {
            close(writer);
        }
    }
    // A device: measured, it would be empty and refused as such, not as what it is.
    std::filesystem::create_symlink("/dev/zero", dir.Path("zero.bin"));
    EXPECT_EQ(Load(dir.Path("zero.bin"), info, buffer), RESULT_FILE_OPEN_FAILED);
#endif
}

TEST(FirmwareLoader, AnEmptyFileIsOutOfRange) {
    const TempDir dir;
    PackageInfo info;
    FirmwareBuffer buffer;
    ParseReport report;
    EXPECT_EQ(Load(dir.Write("empty.bin", {}), info, buffer, &report), RESULT_BAD_FILE);
    EXPECT_EQ(report.check, ParseCheck::SizeOutOfRange);
    EXPECT_TRUE(buffer.Empty());
}

TEST(FirmwareLoader, OneHundredMiBIsTheLargestFile) {
    const TempDir dir;
    const std::string path = dir.Path("big.bin");
    WriteSparseBin(path, FIRMWARE_MAX_SIZE);
    PackageInfo info;
    FirmwareBuffer buffer;
    ParseReport report;
    ASSERT_EQ(Load(path, info, buffer, &report), RESULT_SUCCESS) << ParseCheckName(report.check);
    EXPECT_EQ(buffer.Size(), FIRMWARE_MAX_SIZE);
    EXPECT_EQ(info.bin.imageEnd, FIRMWARE_MAX_SIZE - 588);
    buffer.Release();

    WriteSparseBin(path, FIRMWARE_MAX_SIZE + 1);
    EXPECT_EQ(Load(path, info, buffer, &report), RESULT_BAD_FILE);
    EXPECT_EQ(report.check, ParseCheck::SizeOutOfRange);
    EXPECT_TRUE(buffer.Empty());
}

TEST(FirmwareLoader, SizesBeyondFourGiBDoNotWrapAround) {
    // 4 GiB + 588 bytes is 588 in 32 bits: exactly a valid trailer-only image.
    const TempDir dir;
    const std::string path = dir.Path("huge.bin");
    const std::uint64_t size = (std::uint64_t{1} << 32) + 588;
    WriteSparseBin(path, size);
    ASSERT_EQ(std::filesystem::file_size(path), size);
    PackageInfo info;
    FirmwareBuffer buffer;
    ParseReport report;
    EXPECT_EQ(Load(path, info, buffer, &report), RESULT_BAD_FILE);
    EXPECT_EQ(report.check, ParseCheck::SizeOutOfRange);

    const std::unique_ptr<FileReader> file = OpenFileReader(Wide(path).c_str());
    ASSERT_NE(file, nullptr);
    std::uint64_t measured = 0;
    ASSERT_TRUE(file->Measure(measured));
    EXPECT_EQ(measured, size);
    EXPECT_FALSE(ParseBinImage(*file, measured, &info, &report));
    EXPECT_EQ(report.check, ParseCheck::SizeOutOfRange);
}

TEST(FirmwareLoader, TheBufferHoldsTheWholeFileByteForByte) {
    const TempDir dir;
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Qfp;
    spec.blocks = {Block("kern", 5000, 3)};
    spec.padding = Pattern(9000, 4);  // outside the CRC's range, still part of the file
    const Bytes bytes = Build(spec);
    PackageInfo info;
    FirmwareBuffer buffer;
    ASSERT_EQ(Load(dir.Write("fw.qfp", bytes), info, buffer), RESULT_SUCCESS);
    ASSERT_EQ(buffer.Size(), bytes.size());
    EXPECT_EQ(std::memcmp(buffer.Data(), bytes.data(), bytes.size()), 0);
}

TEST(FirmwareLoader, ARefusedFileLeavesNoBuffer) {
    const TempDir dir;
    FirmwareBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(16));
    PackageInfo info;
    Bytes broken = ValidFile(FirmwareLayout::Bin);
    broken.back() ^= 1;
    EXPECT_EQ(Load(dir.Write("fw.bin", broken), info, buffer), RESULT_BAD_FILE);
    EXPECT_TRUE(buffer.Empty());
    EXPECT_EQ(buffer.Size(), 0u);
}

// A buffer left from an earlier load never survives a refusal.
TEST(FirmwareLoader, AnUnknownLayoutOnAnOpenFileGivesTen) {
    const Bytes bytes = ValidFile(FirmwareLayout::Bin);
    BytesFile file(bytes);
    PackageInfo info;
    FirmwareBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(16));
    EXPECT_EQ(LoadOpenFirmware(file, FirmwareLayout::Unknown, &info, buffer), RESULT_BAD_EXTENSION);
    EXPECT_TRUE(buffer.Empty());
}

TEST(FirmwareLoader, AShortSecondReadGivesTwelveAndNoBuffer) {
    const Bytes bytes = ValidFile(FirmwareLayout::Bin);  // the parser reads every byte once
    ChangingFile file(bytes);
    file.readBudget = bytes.size();
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(LoadOpenFirmware(file, FirmwareLayout::Bin, &info, buffer), RESULT_NO_MEMORY);
    EXPECT_TRUE(buffer.Empty());
}

// The loader measures once; a file still being written is longer or shorter by the time the
// parser or the whole read gets to it.
TEST(FirmwareLoader, AFileThatChangesWhileItIsLoadedIsRefused) {
    FirmwareSpec qfp;
    qfp.layout = FirmwareLayout::Qfp;
    qfp.blocks = {Block("kern", 3000, 1)};
    qfp.padding = Pattern(700, 2);  // outside the CRC's range
    const Bytes padded = Build(qfp);
    const Bytes unpadded(padded.begin(), padded.end() - 700);
    // Its one block ends 200 bytes before the file does; measured 300 bytes short, the block
    // reaches past the measured end.
    FirmwareSpec reaching = qfp;
    reaching.padding = Pattern(200, 3);
    const Bytes reachingBytes = Build(reaching);
    Bytes grownBin = ValidFile(FirmwareLayout::Bin);
    const std::uint64_t binSize = grownBin.size();
    grownBin.resize(grownBin.size() + 64, 0x5A);
    Bytes grownPak = ValidFile(FirmwareLayout::Pak);
    const std::uint64_t pakSize = grownPak.size();
    grownPak.push_back(0x01);
    // Rewritten at the same size between the parser's read and the whole read: damaged, or
    // another valid file made for another model.
    const Bytes bin = ValidFile(FirmwareLayout::Bin);
    Bytes damagedBin = bin;
    damagedBin[10] ^= 0x01;
    FirmwareSpec otherModel;
    otherModel.layout = FirmwareLayout::Bin;
    otherModel.model = "XX7";
    otherModel.blocks = {Block("kern", 300, 1), Block("appl", 100, 2)};
    const Bytes otherBin = Build(otherModel);
    ASSERT_EQ(otherBin.size(), bin.size());
    struct Case {
        const char* name;
        FirmwareLayout layout;
        const Bytes& content;
        std::vector<std::uint64_t> measured;  // what the first measurements say
        ResultCode result;
        ParseCheck check;
        const Bytes* rewritten = nullptr;  // what the whole read gets
    };
    const Case cases[] = {
        {"as measured", FirmwareLayout::Qfp, padded, {}, RESULT_SUCCESS, ParseCheck::Passed},
        {"qfp grew",
         FirmwareLayout::Qfp,
         padded,
         {unpadded.size()},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged},
        {"qfp grew under its block",
         FirmwareLayout::Qfp,
         reachingBytes,
         {reachingBytes.size() - 300},
         RESULT_BAD_FILE,
         ParseCheck::Bounds},
        {"qfp shrank",
         FirmwareLayout::Qfp,
         unpadded,
         {padded.size()},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged},
        {"bin grew",
         FirmwareLayout::Bin,
         grownBin,
         {binSize},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged},
        {"pak grew",
         FirmwareLayout::Pak,
         grownPak,
         {pakSize},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged},
        {"bin damaged at the same size",
         FirmwareLayout::Bin,
         bin,
         {},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged,
         &damagedBin},
        {"bin swapped for another model's",
         FirmwareLayout::Bin,
         bin,
         {},
         RESULT_BAD_FILE,
         ParseCheck::FileChanged,
         &otherBin},
    };
    for (const Case& c : cases) {
        ChangingFile file(c.content);
        file.measuredSizes = c.measured;
        file.rewritten = c.rewritten;
        file.rewriteAfter = c.content.size();  // the parsers read no byte twice
        PackageInfo info;
        FirmwareBuffer buffer;
        ParseReport report;
        EXPECT_EQ(LoadOpenFirmware(file, c.layout, &info, buffer, &report), c.result) << c.name;
        EXPECT_EQ(report.check, c.check) << c.name;
        EXPECT_EQ(buffer.Empty(), c.result != RESULT_SUCCESS) << c.name;
        if (c.result == RESULT_SUCCESS) {
            BlockList list;
            EXPECT_EQ(BuildBlockList(info, buffer, list), RESULT_SUCCESS) << c.name;
        }
    }
}

#ifdef __linux__

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(FirmwareLoader, EveryOutcomeClosesTheFile) {
    const TempDir dir;
    Bytes broken = ValidFile(FirmwareLayout::Qfp);
    broken[40] ^= 1;
    const std::string paths[] = {
        dir.Write("good.bin", ValidFile(FirmwareLayout::Bin)),
        dir.Write("good.pak", ValidFile(FirmwareLayout::Pak)),
        dir.Write("broken.qfp", broken),
        dir.Write("empty.pk2", {}),
        dir.Write("short.bin", Pattern(100, 1)),
        dir.Path("missing.bin"),
    };
    std::filesystem::create_directory(dir.Path("folder.qfp"));
    const std::size_t before = OpenDescriptors();
    for (int round = 0; round < 3; ++round) {
        for (const std::string& path : paths) {
            PreparedUpdate prepared;
            PrepareUpdate(Wide(path).c_str(), prepared);
        }
        PreparedUpdate prepared;
        EXPECT_EQ(PrepareUpdate(Wide(dir.Path("folder.qfp")).c_str(), prepared),
                  RESULT_FILE_OPEN_FAILED);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

#endif

}  // namespace
