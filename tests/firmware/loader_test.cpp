#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/wide_string.h"
#include "firmware_fixture.h"

#ifdef __linux__
#include <sys/types.h>
#endif

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
        const char* name;
        FirmwareLayout content;
        ResultCode result;
        ContainerKind container;
    };
    const Case cases[] = {
        {"fw.pak.bin", FirmwareLayout::Bin, RESULT_SUCCESS, ContainerKind::Bin},
        {"fw.BINARY", FirmwareLayout::Bin, RESULT_SUCCESS, ContainerKind::Bin},
        {"fw.bin.pak", FirmwareLayout::Pak, RESULT_SUCCESS, ContainerKind::Pak},
        {"fw.Pk2", FirmwareLayout::Pk2, RESULT_SUCCESS, ContainerKind::Pak},
        {"fw.QFP", FirmwareLayout::Qfp, RESULT_SUCCESS, ContainerKind::Qfp},
        {"pk2-named.pak", FirmwareLayout::Pk2, RESULT_BAD_FILE, ContainerKind::None},
        {"pak-named.pk2", FirmwareLayout::Pak, RESULT_BAD_FILE, ContainerKind::None},
        {"qfp-named.bin", FirmwareLayout::Qfp, RESULT_BAD_FILE, ContainerKind::None},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Write(c.name, ValidFile(c.content));
        PackageInfo info;
        FirmwareBuffer buffer;
        EXPECT_EQ(Load(path, info, buffer), c.result) << c.name;
        if (c.result == RESULT_SUCCESS) {
            EXPECT_EQ(info.container, c.container) << c.name;
        }
    }
}

TEST(FirmwareLoader, AFolderCannotBeOpened) {
    const TempDir dir;
    std::filesystem::create_directory(dir.Path("folder.bin"));
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(Load(dir.Path("folder.bin"), info, buffer), RESULT_FILE_OPEN_FAILED);
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

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(ParseBinImage(file, &info, &report));
    EXPECT_EQ(report.check, ParseCheck::SizeOutOfRange);
    std::fclose(file);
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

TEST(FirmwareLoader, AnUnknownLayoutOnAnOpenFileGivesTen) {
    const TempDir dir;
    const std::string path = dir.Write("fw.bin", ValidFile(FirmwareLayout::Bin));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(LoadOpenFirmware(file, FirmwareLayout::Unknown, &info, buffer), RESULT_BAD_EXTENSION);
    std::fclose(file);
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

// A stream over bytes that serves at most `budget` bytes in all, however often it is
// rewound: the parser's pass uses them up and the loader's whole read comes short.
struct LimitedStream {
    const Bytes* bytes;
    std::size_t position;
    std::size_t budget;
};

ssize_t ReadLimited(void* cookie, char* out, std::size_t size) {
    auto* stream = static_cast<LimitedStream*>(cookie);
    std::size_t n = std::min({size, stream->budget, stream->bytes->size() - stream->position});
    std::memcpy(out, stream->bytes->data() + stream->position, n);
    stream->position += n;
    stream->budget -= n;
    return static_cast<ssize_t>(n);
}

int SeekLimited(void* cookie, off64_t* offset, int whence) {
    auto* stream = static_cast<LimitedStream*>(cookie);
    const auto size = static_cast<off64_t>(stream->bytes->size());
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(stream->position)
                                              : size;
    const off64_t target = base + *offset;
    if (target < 0 || target > size) {
        return -1;
    }
    stream->position = static_cast<std::size_t>(target);
    *offset = target;
    return 0;
}

TEST(FirmwareLoader, AShortSecondReadGivesTwelveAndNoBuffer) {
    const Bytes bytes = ValidFile(FirmwareLayout::Bin);  // the parser reads every byte once
    LimitedStream stream = {&bytes, 0, bytes.size()};
    cookie_io_functions_t functions = {};
    functions.read = ReadLimited;
    functions.seek = SeekLimited;
    std::FILE* file = fopencookie(&stream, "rb", functions);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(setvbuf(file, nullptr, _IONBF, 0), 0);
    PackageInfo info;
    FirmwareBuffer buffer;
    EXPECT_EQ(LoadOpenFirmware(file, FirmwareLayout::Bin, &info, buffer), RESULT_NO_MEMORY);
    EXPECT_TRUE(buffer.Empty());
    std::fclose(file);
}

#endif

}  // namespace
