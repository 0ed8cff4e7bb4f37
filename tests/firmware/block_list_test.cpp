#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "firmware_fixture.h"
#include "link/device_link.h"
#include "sim/sim_port_adapter.h"
#include "sim/sim_scanner.h"

namespace {

// Writes the described firmware to a file named for its layout and runs everything before
// the session.
ResultCode PrepareSpec(const TempDir& dir, const FirmwareSpec& spec, PreparedUpdate& prepared) {
    const std::string path =
        dir.Write(std::string("fw.") + FirmwareLayoutName(spec.layout), Build(spec));
    return PrepareUpdate(Wide(path).c_str(), prepared);
}

FirmwareSpec Spec(FirmwareLayout layout, std::vector<SourceBlock> blocks) {
    FirmwareSpec spec;
    spec.layout = layout;
    spec.blocks = std::move(blocks);
    spec.model = "EM7";
    return spec;
}

void ExpectBlockHolds(const UpdateBlock& block, const SourceBlock& source, BlockType type) {
    EXPECT_EQ(block.type, type);
    ASSERT_EQ(block.length, source.data.size());
    EXPECT_EQ(std::memcmp(block.data, source.data.data(), source.data.size()), 0);
}

TEST(BlockList, ABinWithFourImagesGivesFourBlocksInTrailerOrder) {
    const TempDir dir;
    const FirmwareSpec spec =
        Spec(FirmwareLayout::Bin, {Block("appl", 700, 1, 1), Block("boot", 300, 2, 2),
                                   Block("flah", 513, 3, 3), Block("kern", 1, 4, 4)});
    PreparedUpdate prepared;
    ASSERT_EQ(PrepareSpec(dir, spec, prepared), RESULT_SUCCESS);
    const BlockList& list = prepared.list;
    EXPECT_EQ(list.normalCount, 4u);
    EXPECT_EQ(list.exflCount, 0u);
    EXPECT_TRUE(list.allowUpdate);
    EXPECT_STREQ(list.model, "EM7");
    EXPECT_TRUE(SessionWouldSend(list));
    const BlockType types[] = {4, 1, 3, 2};
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(list.blocks[i].data, prepared.file.Data() + offset) << i;
        ExpectBlockHolds(list.blocks[i], spec.blocks[i], types[i]);
        EXPECT_EQ(list.blocks[i].extra, i + 1);
        offset += spec.blocks[i].data.size();
    }
}

TEST(BlockList, ABinWithoutNamedImagesHasNothingToSend) {
    const TempDir dir;
    for (const auto& blocks :
         {std::vector<SourceBlock>{}, std::vector<SourceBlock>{Block("logo", 10, 1)}}) {
        PreparedUpdate prepared;
        EXPECT_EQ(PrepareSpec(dir, Spec(FirmwareLayout::Bin, blocks), prepared), RESULT_NO_BLOCKS);
        EXPECT_TRUE(prepared.file.Empty());
    }
}

TEST(BlockList, PakAndPk2NeverPassTheBootSectionOnAndAreNotSendable) {
    const TempDir dir;
    for (const FirmwareLayout layout : {FirmwareLayout::Pak, FirmwareLayout::Pk2}) {
        PreparedUpdate bootOnly;
        EXPECT_EQ(PrepareSpec(dir, Spec(layout, {Block("boot", 64, 1)}), bootOnly),
                  RESULT_NO_BLOCKS);
        EXPECT_TRUE(bootOnly.file.Empty());

        const FirmwareSpec spec =
            Spec(layout, {Block("boot", 64, 1), Block("kern", 128, 2), Block("flah", 32, 3)});
        PreparedUpdate prepared;
        ASSERT_EQ(PrepareSpec(dir, spec, prepared), RESULT_SUCCESS);
        const BlockList& list = prepared.list;
        EXPECT_FALSE(list.allowUpdate);
        EXPECT_STREQ(list.model, "");  // although the header names one
        EXPECT_STREQ(prepared.info.model, "EM7");
        ASSERT_EQ(list.normalCount, 2u);
        EXPECT_EQ(list.exflCount, 0u);
        ExpectBlockHolds(list.blocks[0], spec.blocks[1], BLOCK_TYPE_KERN);
        ExpectBlockHolds(list.blocks[1], spec.blocks[2], BLOCK_TYPE_FLAH);
        EXPECT_EQ(list.blocks[1].extra, 0u);
        EXPECT_FALSE(SessionWouldSend(list));
    }
}

TEST(BlockList, QfpExflBlocksFollowTheNormalOnes) {
    const TempDir dir;
    const FirmwareSpec spec =
        Spec(FirmwareLayout::Qfp, {Block("kern", 100, 1, 5), Block("exfl", 50, 2, 6)});
    PreparedUpdate prepared;
    ASSERT_EQ(PrepareSpec(dir, spec, prepared), RESULT_SUCCESS);
    const BlockList& list = prepared.list;
    EXPECT_EQ(list.normalCount, 1u);
    EXPECT_EQ(list.exflCount, 1u);
    EXPECT_TRUE(list.allowUpdate);
    ExpectBlockHolds(list.blocks[0], spec.blocks[0], BLOCK_TYPE_KERN);
    ExpectBlockHolds(list.blocks[1], spec.blocks[1], BLOCK_TYPE_FLAH);
    EXPECT_EQ(list.blocks[1].extra, 6u);
    EXPECT_EQ(list.blocks[2].data, nullptr);
    // The session refuses exfl blocks.
    EXPECT_FALSE(SessionWouldSend(list));
}

TEST(BlockList, MoreThanFourBlocksAreRefusedBeforeAnySession) {
    const TempDir dir;
    struct Case {
        std::vector<std::string> tags;
        ResultCode result;
    };
    const Case cases[] = {
        {{"kern", "appl", "flah", "exfl", "exfl"}, RESULT_BAD_REQUEST},
        {{"boot", "kern", "appl", "flah", "appl"}, RESULT_BAD_REQUEST},
        {{"boot", "kern", "appl", "flah"}, RESULT_SUCCESS},
        {{"kern", "exfl", "exfl", "exfl"}, RESULT_SUCCESS},
    };
    for (const Case& c : cases) {
        std::vector<SourceBlock> blocks;
        for (const std::string& tag : c.tags) {
            blocks.push_back(Block(tag, 16, 1));
        }
        PreparedUpdate prepared;
        EXPECT_EQ(PrepareSpec(dir, Spec(FirmwareLayout::Qfp, blocks), prepared), c.result)
            << c.tags.size();
        if (c.result != RESULT_SUCCESS) {
            EXPECT_TRUE(prepared.file.Empty());
            EXPECT_EQ(prepared.list.normalCount + prepared.list.exflCount, 0u);
            EXPECT_EQ(prepared.list.blocks[0].data, nullptr);
        }
    }
}

TEST(BlockList, OnlyUpdateMethodOneAllowsAQfpUpdate) {
    const TempDir dir;
    for (const std::uint32_t method : {0u, 1u, 2u, 0x101u}) {
        FirmwareSpec spec = Spec(FirmwareLayout::Qfp, {Block("appl", 16, 1)});
        spec.updateMethod = method;
        PreparedUpdate prepared;
        ASSERT_EQ(PrepareSpec(dir, spec, prepared), RESULT_SUCCESS);
        EXPECT_EQ(prepared.list.allowUpdate, method == 1) << method;
        EXPECT_EQ(prepared.list.normalCount, 1u);
        EXPECT_STREQ(prepared.list.model, "EM7");
        EXPECT_EQ(SessionWouldSend(prepared.list), method == 1);
    }
}

// The parsers keep every entry inside the file; the list checks again against the buffer it
// points into, so no block can ever reach past it whatever a summary says.
TEST(BlockList, EveryTakenBlockMustLieInsideTheBuffer) {
    struct Case {
        const char* name;
        ContainerKind container;
        PackageEntry first;
        PackageEntry second;  // an exfl entry for qfp
        ResultCode result;
    };
    const PackageEntry inside = {BLOCK_TYPE_KERN, 0, 10, 0};
    const Case cases[] = {
        {"bin, ends at the end", ContainerKind::Bin, inside, {4, 90, 10, 0}, RESULT_SUCCESS},
        {"bin, one byte past", ContainerKind::Bin, inside, {4, 90, 11, 0}, RESULT_BAD_FILE},
        {"bin, offset past", ContainerKind::Bin, inside, {4, 100, 1, 0}, RESULT_BAD_FILE},
        {"bin, wraps 32 bits", ContainerKind::Bin, inside, {4, 0xFFFFFFFFu, 2, 0}, RESULT_BAD_FILE},
        {"pak, one byte past", ContainerKind::Pak, inside, {3, 50, 51, 0}, RESULT_BAD_FILE},
        {"pak, boot past is never taken",
         ContainerKind::Pak,
         {1, 99, 2, 0},
         inside,
         RESULT_SUCCESS},
        {"qfp exfl, one byte past", ContainerKind::Qfp, inside, {3, 1, 100, 0}, RESULT_BAD_FILE},
        {"qfp exfl, ends at the end", ContainerKind::Qfp, inside, {3, 1, 99, 0}, RESULT_SUCCESS},
    };
    FirmwareBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(100));
    for (const Case& c : cases) {
        PackageInfo info;
        std::memset(&info, 0, sizeof(info));
        info.container = c.container;
        PackageEntry* entries = c.container == ContainerKind::Bin   ? info.bin.entries
                                : c.container == ContainerKind::Pak ? info.pak.entries
                                                                    : info.qfp.entries;
        entries[0] = c.first;
        entries[1] = c.second;
        info.bin.entryCount = 2;
        info.pak.entryCount = 2;
        info.qfp.normalCount = 1;
        info.qfp.exflCount = 1;
        BlockList list;
        EXPECT_EQ(BuildBlockList(info, buffer, list), c.result) << c.name;
        if (c.result != RESULT_SUCCESS) {
            EXPECT_EQ(list.normalCount + list.exflCount, 0u) << c.name;
            EXPECT_EQ(list.blocks[0].data, nullptr) << c.name;
        }
    }
}

// The hand-over to the session, over a simulated scanner whose model is "OTHER": the blocks
// it was let to write (byte for byte from the buffer), the options passed through, and the
// buffer released once the session is over.
TEST(BlockList, TheSessionGetsTheCountsThePermissionTheModelAndTheOptions) {
    const TempDir dir;
    const auto qfp = [](std::vector<SourceBlock> blocks, std::uint32_t method) {
        FirmwareSpec spec = Spec(FirmwareLayout::Qfp, std::move(blocks));
        spec.updateMethod = method;
        return spec;
    };
    struct Case {
        const char* name;
        FirmwareSpec spec;
        bool checkModel;
        ResultCode result;
        std::size_t blocksWritten;
    };
    const Case cases[] = {
        {"bin", Spec(FirmwareLayout::Bin, {Block("kern", 1500, 1), Block("flah", 700, 2, 9)}),
         false, RESULT_SUCCESS, 2},
        {"bin for another model", Spec(FirmwareLayout::Bin, {Block("kern", 100, 1)}), true,
         RESULT_MODEL_MISMATCH, 0},
        {"qfp, update method 1", qfp({Block("appl", 600, 3)}, 1), false, RESULT_SUCCESS, 1},
        {"qfp with an exfl block", qfp({Block("kern", 600, 3), Block("exfl", 100, 4)}, 1), false,
         RESULT_BAD_REQUEST, 0},
        {"qfp, update method 2", qfp({Block("appl", 600, 3)}, 2), false, RESULT_BAD_REQUEST, 0},
        {"pak", Spec(FirmwareLayout::Pak, {Block("kern", 600, 5)}), false, RESULT_BAD_REQUEST, 0},
        {"pk2", Spec(FirmwareLayout::Pk2, {Block("kern", 600, 5), Block("flah", 100, 6)}), false,
         RESULT_BAD_REQUEST, 0},
    };
    for (const Case& c : cases) {
        PreparedUpdate prepared;
        ASSERT_EQ(PrepareSpec(dir, c.spec, prepared), RESULT_SUCCESS) << c.name;
        SimScannerConfig config;
        config.model = "OTHER";
        SimPort port;
        SimScanner scanner(config);
        SimPortAdapter adapter(scanner, port);
        DeviceLink link(port);
        DeviceRecord record = {};
        CopyWide(record.path, u"\\\\?\\usb#vid_6666&pid_0006#1");
        record.linkKind = LinkKind::VendorBulk;
        ResultCode opened = RESULT_OPEN_FAILED;
        ASSERT_TRUE(link.Open(record, &opened)) << opened;
        UpdateOptions options;
        options.flags = c.checkModel ? UPDATE_FLAG_CHECK_MODEL : 0;

        testing::internal::CaptureStdout();
        const ResultCode result = RunPreparedUpdate(prepared, &link, &options);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_TRUE(prepared.file.Empty()) << c.name;
        const std::vector<SimBlock> written = scanner.Blocks();
        EXPECT_EQ(written.size(), c.blocksWritten) << c.name;
        for (std::size_t i = 0; i < std::min(written.size(), c.spec.blocks.size()); ++i) {
            EXPECT_EQ(written[i].data, c.spec.blocks[i].data) << c.name << ", block " << i;
        }
    }
}

TEST(BlockList, AnEmptySummaryHasNothingToSend) {
    PackageInfo info;
    std::memset(&info, 0, sizeof(info));
    FirmwareBuffer buffer;
    BlockList list;
    EXPECT_EQ(BuildBlockList(info, buffer, list), RESULT_NO_BLOCKS);
}

}  // namespace
