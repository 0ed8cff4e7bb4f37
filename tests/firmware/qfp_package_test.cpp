#include <cstring>
#include <string>
#include <vector>

#include "firmware_fixture.h"

namespace {

FirmwareSpec QfpSpec(std::vector<SourceBlock> blocks) {
    FirmwareSpec spec;
    spec.layout = FirmwareLayout::Qfp;
    spec.blocks = std::move(blocks);
    spec.model = "EM7";
    spec.text2 = "second";
    spec.text3 = "third";
    return spec;
}

ParseCheck CheckOf(const Bytes& bytes) {
    return Parse(FirmwareLayout::Qfp, bytes).report.check;
}

TEST(QfpPackage, OneEntryBehindTheHeaderIsAccepted) {
    const ParseOutcome outcome =
        Parse(FirmwareLayout::Qfp, Build(QfpSpec({Block("appl", 1, 1, 9)})));
    ASSERT_TRUE(outcome.accepted) << ParseCheckName(outcome.report.check);
    const QfpBody& qfp = outcome.info.qfp;
    EXPECT_EQ(outcome.info.container, ContainerKind::Qfp);
    EXPECT_EQ(qfp.normalCount, 1u);
    EXPECT_EQ(qfp.exflCount, 0u);
    EXPECT_EQ(qfp.updateMethod, 1u);
    EXPECT_EQ(qfp.reserved, 0u);
    EXPECT_EQ(qfp.entries[0].type, BLOCK_TYPE_APPL);
    EXPECT_EQ(qfp.entries[0].offset, 1024u);
    EXPECT_EQ(qfp.entries[0].length, 1u);
    EXPECT_EQ(qfp.entries[0].extra, 9u);
    EXPECT_STREQ(outcome.info.model, "EM7");
    EXPECT_STREQ(qfp.text2, "second");
    EXPECT_STREQ(qfp.text3, "third");

    Bytes shortHeader = Build(QfpSpec({}));
    shortHeader.pop_back();
    EXPECT_EQ(CheckOf(shortHeader), ParseCheck::ShortHeader);
}

TEST(QfpPackage, AllThirtyTwoMagicBytesAreCompared) {
    const FirmwareSpec spec = QfpSpec({Block("kern", 8, 1)});
    for (const std::uint32_t i : {0u, 17u, 18u, 25u, 31u}) {
        EXPECT_EQ(CheckOf(BuildBroken(spec, {FaultKind::Magic, i})), ParseCheck::Magic) << i;
    }
}

TEST(QfpPackage, EntryCountsMustAddUpToOneToSixteen) {
    struct Case {
        std::uint32_t normal;
        std::uint32_t exfl;
        bool accepted;
    };
    const Case cases[] = {
        {0, 0, false}, {16, 0, true},  {1, 15, true},           {10, 7, false},
        {0, 1, true},  {17, 0, false}, {0xFFFFFFFFu, 2, false},  // a 32-bit sum would give 1
    };
    for (const Case& c : cases) {
        std::vector<SourceBlock> blocks;
        for (std::uint32_t i = 0; i < 16; ++i) {
            blocks.push_back(
                Block(i < c.normal ? "flah" : "exfl", 4, static_cast<std::uint8_t>(i)));
        }
        Bytes bytes = Build(QfpSpec(blocks));
        PutLe32(bytes, 248, c.normal);
        PutLe32(bytes, 252, c.exfl);
        RefreshCrc(FirmwareLayout::Qfp, bytes);
        const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.normal << "+" << c.exfl;
        if (!c.accepted) {
            EXPECT_EQ(outcome.report.check, ParseCheck::EntryCount) << c.normal << "+" << c.exfl;
        }
    }
    EXPECT_EQ(CheckOf(BuildBroken(QfpSpec({Block("kern", 8, 1)}), {FaultKind::Counts, 0})),
              ParseCheck::EntryCount);
}

TEST(QfpPackage, TagsMustFitTheirPlace) {
    struct Case {
        std::vector<std::string> tags;
        std::uint32_t normal;  // how many of them count as normal entries
        std::uint32_t badEntry;
    };
    const Case cases[] = {
        {{"kern", "exfl"}, 2, 1},  // an exfl tag among the normal entries
        {{"kern", "boot"}, 1, 1},  // a normal tag among the exfl entries
        {{"KERN"}, 1, 0},         {{"kern", "EXFL"}, 1, 1}, {{"kern", "kerm"}, 2, 1},
    };
    for (const Case& c : cases) {
        std::vector<SourceBlock> blocks;
        for (const std::string& tag : c.tags) {
            blocks.push_back(Block(tag, 8, 1));
        }
        Bytes bytes = Build(QfpSpec(blocks));
        PutLe32(bytes, 248, c.normal);
        PutLe32(bytes, 252, static_cast<std::uint32_t>(c.tags.size()) - c.normal);
        RefreshCrc(FirmwareLayout::Qfp, bytes);
        const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, bytes);
        EXPECT_EQ(outcome.report.check, ParseCheck::EntryTag) << c.tags.back();
        EXPECT_EQ(outcome.report.index, c.badEntry) << c.tags.back();
    }
    const FirmwareSpec spec = QfpSpec({Block("kern", 8, 1), Block("exfl", 8, 2)});
    EXPECT_EQ(CheckOf(BuildBroken(spec, {FaultKind::Tag, 1})), ParseCheck::EntryTag);
}

TEST(QfpPackage, EntriesNeedALengthAndMustEndInsideTheFile) {
    const FirmwareSpec spec = QfpSpec({Block("kern", 8, 1), Block("appl", 8, 2)});
    EXPECT_TRUE(Parse(FirmwareLayout::Qfp, Build(spec)).accepted);  // ends at the file's end
    struct Case {
        Fault fault;
        ParseCheck check;
    };
    const Case cases[] = {
        {{FaultKind::Length, 1}, ParseCheck::EntryLength},  // the last one too
        {{FaultKind::Offset, 1}, ParseCheck::Bounds},
        {{FaultKind::Overflow, 0}, ParseCheck::Bounds},
    };
    for (const Case& c : cases) {
        const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, BuildBroken(spec, c.fault));
        EXPECT_EQ(outcome.report.check, c.check);
        EXPECT_EQ(outcome.report.index, c.fault.index);
    }
}

TEST(QfpPackage, SomeBlockMustReachPastTheHeader) {
    Bytes bytes = Build(QfpSpec({Block("kern", 8, 1)}));
    struct Case {
        std::uint32_t offset;
        std::uint32_t length;
        bool accepted;
    };
    const Case cases[] = {{0, 1023, false}, {1000, 23, false}, {1000, 24, false},
                          {0, 1024, false}, {1000, 25, true},  {0, 1025, true}};
    for (const Case& c : cases) {
        PutLe32(bytes, 256, c.offset);
        PutLe32(bytes, 260, c.length);
        RefreshCrc(FirmwareLayout::Qfp, bytes);
        const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.offset << "+" << c.length;
        if (!c.accepted) {
            EXPECT_EQ(outcome.report.check, ParseCheck::BlocksInHeader);
        }
    }
}

TEST(QfpPackage, CrcCoversTheHeaderAndTheFileUpToTheFurthestBlockEnd) {
    FirmwareSpec spec = QfpSpec({Block("kern", 100, 1), Block("appl", 50, 2)});
    spec.padding = Pattern(20, 7);
    const Bytes good = Build(spec);
    ASSERT_TRUE(Parse(FirmwareLayout::Qfp, good).accepted);
    const std::size_t maxEnd = 1024 + 150;
    struct Case {
        std::size_t at;
        bool accepted;
    };
    const Case cases[] = {
        {36, false},            // reserved
        {128, false},           // reserved
        {256 + 48 * 2, false},  // an entry slot beyond the counts
        {1023, false},         {1024, false},           {maxEnd - 1, false},
        {maxEnd, true},        {good.size() - 1, true},
    };
    for (const Case& c : cases) {
        Bytes bytes = good;
        bytes[c.at] ^= 0x04;
        const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.at;
        if (!c.accepted) {
            EXPECT_EQ(outcome.report.check, ParseCheck::Crc) << c.at;
        }
    }
    EXPECT_EQ(CheckOf(BuildBroken(spec, {FaultKind::Crc, 0})), ParseCheck::Crc);
}

TEST(QfpPackage, UpdateMethodIsCopiedWhateverItsValue) {
    FirmwareSpec spec = QfpSpec({Block("kern", 8, 1)});
    spec.updateMethod = 0xDEADBEEFu;
    const ParseOutcome outcome = Parse(FirmwareLayout::Qfp, Build(spec));
    ASSERT_TRUE(outcome.accepted);
    EXPECT_EQ(outcome.info.qfp.updateMethod, 0xDEADBEEFu);
}

TEST(QfpPackage, NormalEntriesComeFirstThenTheExflOnes) {
    const ParseOutcome outcome = Parse(
        FirmwareLayout::Qfp,
        Build(QfpSpec({Block("boot", 10, 1, 1), Block("kern", 20, 2, 2), Block("kern", 30, 3, 3),
                       Block("exfl", 40, 4, 4), Block("exfl", 50, 5, 5)})));
    ASSERT_TRUE(outcome.accepted);
    const QfpBody& qfp = outcome.info.qfp;
    EXPECT_EQ(qfp.normalCount, 3u);
    EXPECT_EQ(qfp.exflCount, 2u);
    const BlockType types[] = {1, 2, 2, 3, 3};
    std::uint32_t offset = 1024;
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(qfp.entries[i].type, types[i]) << i;
        EXPECT_EQ(qfp.entries[i].offset, offset) << i;
        EXPECT_EQ(qfp.entries[i].length, 10 * (i + 1)) << i;
        EXPECT_EQ(qfp.entries[i].extra, i + 1) << i;
        offset += 10 * (i + 1);
    }
    // The last kern entry counts.
    EXPECT_EQ(outcome.info.kernOffset, 1024u + 30);
    EXPECT_EQ(outcome.info.kernLength, 30u);
}

TEST(QfpPackage, TextsWithoutAZeroStayInsideTheirSlots) {
    FirmwareSpec spec = QfpSpec({Block("kern", 8, 1)});
    const std::size_t widths[] = {32, 32, 16};
    for (std::uint32_t field = 0; field < 3; ++field) {
        const ParseOutcome outcome =
            Parse(FirmwareLayout::Qfp, BuildBroken(spec, {FaultKind::Text, field}));
        ASSERT_TRUE(outcome.accepted);
        const QfpBody& qfp = outcome.info.qfp;
        const char* slots[] = {outcome.info.model, qfp.text2, qfp.text3};
        EXPECT_EQ(std::strlen(slots[field]), widths[field] - 1) << field;
        // The word after text3 and the fields after the texts are untouched.
        EXPECT_EQ(qfp.reserved, 0u);
        EXPECT_EQ(qfp.updateMethod, 1u);
        EXPECT_EQ(qfp.normalCount, 1u);
        if (field != 1) {
            EXPECT_STREQ(qfp.text2, "second");
        }
        if (field != 2) {
            EXPECT_STREQ(qfp.text3, "third");
        }
    }
}

}  // namespace
