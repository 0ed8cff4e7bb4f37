#include <cstring>
#include <string>
#include <vector>

#include "firmware_fixture.h"

namespace {

FirmwareSpec BinSpec(std::vector<SourceBlock> blocks) {
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Bin;
    spec.blocks = std::move(blocks);
    spec.model = "EM7";
    return spec;
}

std::size_t TrailerAt(const Bytes& bytes) {
    return bytes.size() - 588;
}

TEST(BinImage, TrailerAloneIsAcceptedWithoutEntries) {
    const Bytes bytes = Build(BinSpec({}));
    ASSERT_EQ(bytes.size(), 588u);
    const ParseOutcome outcome = Parse(FirmwareLayout::Bin, bytes);
    ASSERT_TRUE(outcome.accepted) << ParseCheckName(outcome.report.check);
    EXPECT_EQ(outcome.info.container, ContainerKind::Bin);
    EXPECT_EQ(outcome.info.bin.entryCount, 0u);
    EXPECT_EQ(outcome.info.bin.imageEnd, 0u);
    EXPECT_STREQ(outcome.info.model, "EM7");
}

TEST(BinImage, FilesShorterThanTheTrailerAreRefused) {
    Bytes bytes = Build(BinSpec({}));
    bytes.erase(bytes.begin());
    EXPECT_EQ(Parse(FirmwareLayout::Bin, bytes).report.check, ParseCheck::ShortHeader);
    EXPECT_EQ(Parse(FirmwareLayout::Bin, Bytes{}).report.check, ParseCheck::ShortHeader);
}

TEST(BinImage, EveryByteOfTheMagicAndItsZeroCounts) {
    const FirmwareSpec spec = BinSpec({Block("kern", 64, 1)});
    for (std::uint32_t i = 0; i < 5; ++i) {
        const ParseOutcome outcome =
            Parse(FirmwareLayout::Bin, BuildBroken(spec, {FaultKind::Magic, i}));
        EXPECT_FALSE(outcome.accepted);
        EXPECT_EQ(outcome.report.check, ParseCheck::Magic) << "magic byte " << i;
    }
}

TEST(BinImage, ImagesMustEndWithinTheImageArea) {
    const FirmwareSpec spec = BinSpec({Block("kern", 100, 1), Block("appl", 50, 2)});
    // The second image ends exactly where the trailer starts.
    EXPECT_TRUE(Parse(FirmwareLayout::Bin, Build(spec)).accepted);
    struct Case {
        Fault fault;
        std::uint32_t index;
    };
    const Case cases[] = {
        {{FaultKind::Length, 1}, 1},    // one byte into the trailer
        {{FaultKind::Offset, 0}, 0},    // moved one byte too far
        {{FaultKind::Overflow, 1}, 1},  // offset + length wraps to a small number
    };
    for (const Case& c : cases) {
        const ParseOutcome outcome = Parse(FirmwareLayout::Bin, BuildBroken(spec, c.fault));
        EXPECT_FALSE(outcome.accepted);
        EXPECT_EQ(outcome.report.check, ParseCheck::Bounds);
        EXPECT_EQ(outcome.report.index, c.index);
    }
}

TEST(BinImage, AZeroLengthHidesEveryLaterEntry) {
    Bytes bytes = Build(BinSpec(
        {Block("kern", 40, 1), Block("appl", 40, 2), Block("flah", 40, 3), Block("boot", 40, 4)}));
    FieldSpot spot = {};
    ASSERT_TRUE(EntryFieldSpot(FirmwareLayout::Bin, bytes.size(), 1, EntryField::Length, spot));
    PutLe32(bytes, spot.at, 0);
    // Entries 2 and 3 now point far outside the file; checked, they would refuse it, and
    // counted into the CRC's range, the read would come short.
    ASSERT_TRUE(EntryFieldSpot(FirmwareLayout::Bin, bytes.size(), 2, EntryField::Offset, spot));
    PutLe32(bytes, spot.at, 0xFFFFFFF0u);
    ASSERT_TRUE(EntryFieldSpot(FirmwareLayout::Bin, bytes.size(), 3, EntryField::Length, spot));
    PutLe32(bytes, spot.at, 0x7FFFFFFFu);
    RefreshCrc(FirmwareLayout::Bin, bytes);

    const ParseOutcome outcome = Parse(FirmwareLayout::Bin, bytes);
    ASSERT_TRUE(outcome.accepted) << ParseCheckName(outcome.report.check);
    ASSERT_EQ(outcome.info.bin.entryCount, 1u);
    EXPECT_EQ(outcome.info.bin.entries[0].type, BLOCK_TYPE_KERN);
}

TEST(BinImage, CrcCoversTheSummedLengthsAndTheTrailerButNotTheGapBetween) {
    FirmwareSpec spec = BinSpec({Block("kern", 300, 1), Block("appl", 200, 2)});
    spec.padding = Pattern(50, 9);
    const Bytes good = Build(spec);
    ASSERT_TRUE(Parse(FirmwareLayout::Bin, good).accepted);
    const std::size_t trailer = TrailerAt(good);
    ASSERT_EQ(trailer, 550u);

    struct Case {
        std::size_t at;
        bool accepted;
    };
    const Case cases[] = {
        {0, false},
        {499, false},  // the last byte of S
        {500, true},   // the first byte after S
        {549, true},   // the last byte before the trailer
        // Reserved and unused trailer bytes are covered like the rest.
        {trailer + 5, false},
        {trailer + 7, false},
        {trailer + 12, false},
        {trailer + 20, false},
        {trailer + 216, false},
        {trailer + 220 + 44, false},
        {trailer + 448 + 60, false},
        {trailer + 524, false},
        {trailer + 587, false},
    };
    for (const Case& c : cases) {
        Bytes bytes = good;
        bytes[c.at] ^= 0x01;
        const ParseOutcome outcome = Parse(FirmwareLayout::Bin, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << "byte " << c.at;
        if (!c.accepted) {
            EXPECT_EQ(outcome.report.check, ParseCheck::Crc) << "byte " << c.at;
        }
    }
    for (std::size_t i = 8; i < 12; ++i) {
        Bytes bytes = good;
        bytes[trailer + i] ^= 0x80;
        EXPECT_EQ(Parse(FirmwareLayout::Bin, bytes).report.check, ParseCheck::Crc);
    }
}

// Entries may overlap, so the summed lengths S can run past the images: the CRC then takes
// the trailer's first bytes as they stand, and a range beyond the end of the file is a short
// read.
TEST(BinImage, TheCrcRangeRunsIntoTheTrailerButNotBeyondTheFile) {
    const Bytes good = Build(BinSpec({Block("kern", 1000, 1), Block("appl", 8, 2)}));
    ASSERT_EQ(good.size(), 1596u);
    struct Case {
        std::uint32_t secondLength;  // of the second entry, moved to offset 0
        bool accepted;
        ParseCheck check;
    };
    const Case cases[] = {
        {16, true, ParseCheck::Passed},        // S = 1016: trailer bytes 0 to 7, the magic
        {596, false, ParseCheck::Crc},         // S = 1596, the whole file and its CRC word
        {597, false, ParseCheck::ShortRead},   // one byte more than the file holds
        {1000, false, ParseCheck::ShortRead},  // S = 2000
    };
    for (const Case& c : cases) {
        Bytes bytes = good;
        FieldSpot spot = {};
        ASSERT_TRUE(EntryFieldSpot(FirmwareLayout::Bin, bytes.size(), 1, EntryField::Offset, spot));
        PutLe32(bytes, spot.at, 0);
        ASSERT_TRUE(EntryFieldSpot(FirmwareLayout::Bin, bytes.size(), 1, EntryField::Length, spot));
        PutLe32(bytes, spot.at, c.secondLength);
        RefreshCrc(FirmwareLayout::Bin, bytes);
        const ParseOutcome outcome = Parse(FirmwareLayout::Bin, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.secondLength;
        EXPECT_EQ(outcome.report.check, c.check) << c.secondLength;
    }
}

TEST(BinImage, FourNamedImagesGiveFourEntriesInTrailerOrder) {
    const ParseOutcome outcome = Parse(
        FirmwareLayout::Bin, Build(BinSpec({Block("boot", 10, 1, 11), Block("kern", 20, 2, 22),
                                            Block("flah", 30, 3, 33), Block("appl", 40, 4, 44)})));
    ASSERT_TRUE(outcome.accepted);
    const BinBody& bin = outcome.info.bin;
    ASSERT_EQ(bin.entryCount, 4u);
    const PackageEntry expected[] = {
        {1, 0, 10, 11}, {2, 10, 20, 22}, {3, 30, 30, 33}, {4, 60, 40, 44}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(bin.entries[i].type, expected[i].type) << i;
        EXPECT_EQ(bin.entries[i].offset, expected[i].offset) << i;
        EXPECT_EQ(bin.entries[i].length, expected[i].length) << i;
        EXPECT_EQ(bin.entries[i].extra, expected[i].extra) << i;
    }
    EXPECT_EQ(outcome.info.kernOffset, 10u);
    EXPECT_EQ(outcome.info.kernLength, 20u);
    EXPECT_EQ(bin.imageEnd, 100u);
}

TEST(BinImage, NamesMatchExactlyUpToTheirZeroByteAndOthersAreSkipped) {
    struct Case {
        std::string name;  // may hold a zero byte followed by more letters
        BlockType type;    // 0: skipped
    };
    const Case cases[] = {
        {"boot", 1}, {"appl", 4}, {std::string("kern\0xyz", 8), 2},
        {"Boot", 0}, {"BOOT", 0}, {"boots", 0},
        {"exfl", 0}, {"", 0},
    };
    for (const Case& c : cases) {
        // The unknown entry sits first so that a mix-up of indexes would show in the second.
        const Bytes bytes = Build(BinSpec({Block(c.name, 16, 1, 5), Block("flah", 8, 2, 77)}));
        const ParseOutcome outcome = Parse(FirmwareLayout::Bin, bytes);
        ASSERT_TRUE(outcome.accepted) << c.name;
        const BinBody& bin = outcome.info.bin;
        const PackageEntry* flah = &bin.entries[0];
        if (c.type != 0) {
            ASSERT_EQ(bin.entryCount, 2u) << c.name;
            EXPECT_EQ(bin.entries[0].type, c.type) << c.name;
            EXPECT_EQ(bin.entries[0].extra, 5u) << c.name;
            flah = &bin.entries[1];
        } else {
            ASSERT_EQ(bin.entryCount, 1u) << c.name;
            EXPECT_EQ(outcome.report.skippedEntries, 1u) << c.name;
        }
        EXPECT_EQ(flah->type, BLOCK_TYPE_FLAH) << c.name;
        EXPECT_EQ(flah->offset, 16u) << c.name;
        EXPECT_EQ(flah->length, 8u) << c.name;
        EXPECT_EQ(flah->extra, 77u) << c.name;
    }
}

TEST(BinImage, SkippedEntriesStayInsideTheCrcRange) {
    const Bytes good = Build(BinSpec({Block("note", 100, 1), Block("kern", 50, 2)}));
    ASSERT_TRUE(Parse(FirmwareLayout::Bin, good).accepted);
    Bytes bytes = good;
    bytes[10] ^= 0xFF;
    EXPECT_EQ(Parse(FirmwareLayout::Bin, bytes).report.check, ParseCheck::Crc);
}

TEST(BinImage, TheLastKernEntrySetsTheKernFields) {
    const ParseOutcome outcome =
        Parse(FirmwareLayout::Bin, Build(BinSpec({Block("kern", 10, 1), Block("kern", 30, 2)})));
    ASSERT_TRUE(outcome.accepted);
    EXPECT_EQ(outcome.info.bin.entryCount, 2u);
    EXPECT_EQ(outcome.info.kernOffset, 10u);
    EXPECT_EQ(outcome.info.kernLength, 30u);
}

TEST(BinImage, TextsWithoutAZeroAreCutToTheirSlot) {
    FirmwareSpec spec = BinSpec({Block("kern", 10, 1)});
    spec.model = "M";
    spec.text2 = "two";
    spec.text3 = "three";
    spec.text4 = "four";
    spec.text5 = "five";
    const std::size_t widths[] = {32, 24, 16, 24, 100};
    for (std::uint32_t field = 0; field < 5; ++field) {
        const ParseOutcome outcome =
            Parse(FirmwareLayout::Bin, BuildBroken(spec, {FaultKind::Text, field}));
        ASSERT_TRUE(outcome.accepted) << field;
        const BinBody& bin = outcome.info.bin;
        const char* slots[] = {outcome.info.model, bin.text2, bin.text3, bin.text4, bin.text5};
        const std::string expected[] = {"M", "two", "three", "four", "five"};
        for (std::uint32_t other = 0; other < 5; ++other) {
            if (other == field) {
                // The writer fills the field with A, B, C, ...; the slot keeps width - 1.
                ASSERT_EQ(std::strlen(slots[other]), widths[field] - 1) << field;
                EXPECT_EQ(slots[other][0], 'A');
                EXPECT_EQ(slots[other][widths[field] - 2],
                          static_cast<char>('A' + (widths[field] - 2) % 26));
            } else {
                EXPECT_EQ(std::string(slots[other]), expected[other]) << field << "/" << other;
            }
        }
    }
}

}  // namespace
