#include <string>
#include <vector>

#include "firmware_fixture.h"

namespace {

constexpr FirmwareLayout BOTH[] = {FirmwareLayout::Pak, FirmwareLayout::Pk2};

std::size_t HeaderSize(FirmwareLayout layout) {
    return layout == FirmwareLayout::Pk2 ? 2260 : 2268;
}

FirmwareSpec PakSpec(FirmwareLayout layout, std::vector<SourceBlock> blocks) {
    FirmwareSpec spec;
    spec.layout = layout;
    spec.blocks = std::move(blocks);
    spec.model = "EM7";
    spec.text2 = "second";
    spec.text3 = "third";
    return spec;
}

void SetEntryField(FirmwareLayout layout, Bytes& bytes, std::uint32_t section, EntryField field,
                   std::uint32_t value) {
    FieldSpot spot = {};
    ASSERT_TRUE(EntryFieldSpot(layout, bytes.size(), section, field, spot));
    PutLe32(bytes, spot.at, value);
}

TEST(PakPackage, AFileMustBeLongerThanItsHeader) {
    for (const FirmwareLayout layout : BOTH) {
        const Bytes headerOnly = Build(PakSpec(layout, {}));
        ASSERT_EQ(headerOnly.size(), HeaderSize(layout));
        EXPECT_EQ(Parse(layout, headerOnly).report.check, ParseCheck::NothingAfterHeader);

        const ParseOutcome oneMore = Parse(layout, Build(PakSpec(layout, {Block("kern", 1, 1)})));
        EXPECT_TRUE(oneMore.accepted) << FirmwareLayoutName(layout);
        EXPECT_EQ(oneMore.info.pak.fileSize, HeaderSize(layout) + 1);

        Bytes shorter = headerOnly;
        shorter.pop_back();
        EXPECT_EQ(Parse(layout, shorter).report.check, ParseCheck::ShortHeader);
    }
}

TEST(PakPackage, EachLayoutRefusesTheOthersMagic) {
    const Bytes pak = Build(PakSpec(FirmwareLayout::Pak, {Block("kern", 10, 1)}));
    const Bytes pk2 = Build(PakSpec(FirmwareLayout::Pk2, {Block("kern", 10, 1)}));
    EXPECT_EQ(Parse(FirmwareLayout::Pk2, pak).report.check, ParseCheck::Magic);
    EXPECT_EQ(Parse(FirmwareLayout::Pak, pk2).report.check, ParseCheck::Magic);
    for (const FirmwareLayout layout : BOTH) {
        for (std::uint32_t i = 0; i < 4; ++i) {
            const Bytes bytes =
                BuildBroken(PakSpec(layout, {Block("kern", 10, 1)}), {FaultKind::Magic, i});
            EXPECT_EQ(Parse(layout, bytes).report.check, ParseCheck::Magic) << i;
        }
    }
}

TEST(PakPackage, TheStoredSizeMustBeTheRealSize) {
    for (const FirmwareLayout layout : BOTH) {
        const FirmwareSpec spec = PakSpec(layout, {Block("kern", 10, 1)});
        EXPECT_EQ(Parse(layout, BuildBroken(spec, {FaultKind::FileSize, 0})).report.check,
                  ParseCheck::FileSizeField);
        Bytes smaller = Build(spec);
        PutLe32(smaller, 4, static_cast<std::uint32_t>(smaller.size() - 1));
        RefreshCrc(layout, smaller);
        EXPECT_EQ(Parse(layout, smaller).report.check, ParseCheck::FileSizeField);
    }
}

TEST(PakPackage, PakChecksOnlyPresentSectionsAndNeedsTheirLength) {
    const FirmwareSpec spec = PakSpec(FirmwareLayout::Pak, {Block("kern", 10, 1)});
    // An absent boot section with a length and offset far outside the file.
    Bytes absent = Build(spec);
    SetEntryField(FirmwareLayout::Pak, absent, 0, EntryField::Length, 0x10000);
    SetEntryField(FirmwareLayout::Pak, absent, 0, EntryField::Offset, 0xFFFFFF00u);
    RefreshCrc(FirmwareLayout::Pak, absent);
    const ParseOutcome outcome = Parse(FirmwareLayout::Pak, absent);
    ASSERT_TRUE(outcome.accepted);
    ASSERT_EQ(outcome.info.pak.entryCount, 1u);
    EXPECT_EQ(outcome.info.pak.entries[0].type, BLOCK_TYPE_KERN);

    const ParseOutcome zero = Parse(FirmwareLayout::Pak, BuildBroken(spec, {FaultKind::Length, 1}));
    EXPECT_EQ(zero.report.check, ParseCheck::SectionLength);
    EXPECT_EQ(zero.report.index, 1u);

    // Any word but 0 marks a section present: the kern section gives its entry, and the boot
    // section without a length is refused.
    for (const std::uint32_t word : {2u, 0x100u, 0x80000000u, 0xFFFFFFFFu}) {
        Bytes kern = Build(spec);
        SetEntryField(FirmwareLayout::Pak, kern, 1, EntryField::Present, word);
        RefreshCrc(FirmwareLayout::Pak, kern);
        const ParseOutcome present = Parse(FirmwareLayout::Pak, kern);
        ASSERT_TRUE(present.accepted) << word;
        EXPECT_EQ(present.info.pak.entryCount, 1u) << word;
        EXPECT_EQ(present.info.kernLength, 10u) << word;

        Bytes boot = kern;
        SetEntryField(FirmwareLayout::Pak, boot, 0, EntryField::Present, word);
        RefreshCrc(FirmwareLayout::Pak, boot);
        EXPECT_EQ(Parse(FirmwareLayout::Pak, boot).report.check, ParseCheck::SectionLength) << word;
    }
}

TEST(PakPackage, Pk2ChecksEverySectionEvenWithoutLength) {
    const FirmwareSpec spec = PakSpec(FirmwareLayout::Pk2, {Block("kern", 10, 1)});
    const Bytes good = Build(spec);
    struct Case {
        std::uint32_t offset;
        bool accepted;
    };
    const Case cases[] = {
        {100, true},
        {static_cast<std::uint32_t>(good.size()), true},
        {static_cast<std::uint32_t>(good.size() + 1), false},
    };
    for (const Case& c : cases) {
        Bytes bytes = good;
        SetEntryField(FirmwareLayout::Pk2, bytes, 2, EntryField::Offset, c.offset);
        RefreshCrc(FirmwareLayout::Pk2, bytes);
        const ParseOutcome outcome = Parse(FirmwareLayout::Pk2, bytes);
        EXPECT_EQ(outcome.accepted, c.accepted) << c.offset;
        if (c.accepted) {
            EXPECT_EQ(outcome.info.pak.entryCount, 1u);
        } else {
            EXPECT_EQ(outcome.report.check, ParseCheck::Bounds);
            EXPECT_EQ(outcome.report.index, 2u);
        }
    }
}

TEST(PakPackage, SectionsMustEndInsideTheFile) {
    for (const FirmwareLayout layout : BOTH) {
        const FirmwareSpec spec = PakSpec(layout, {Block("boot", 10, 1), Block("flah", 20, 2)});
        for (const FaultKind kind : {FaultKind::Offset, FaultKind::Overflow}) {
            const ParseOutcome outcome = Parse(layout, BuildBroken(spec, {kind, 2}));
            EXPECT_EQ(outcome.report.check, ParseCheck::Bounds) << FirmwareLayoutName(layout);
            EXPECT_EQ(outcome.report.index, 2u);
        }
        // The last section ends exactly at the end of the file.
        EXPECT_TRUE(Parse(layout, Build(spec)).accepted);
    }
}

TEST(PakPackage, CrcCoversEverythingFromByteTwelve) {
    for (const FirmwareLayout layout : BOTH) {
        const Bytes good = Build(PakSpec(layout, {Block("kern", 100, 1)}));
        ASSERT_TRUE(Parse(layout, good).accepted);
        const std::size_t header = HeaderSize(layout);
        // Reserved words, the texts that are not carried, the long text, the data.
        for (const std::size_t at : {std::size_t{12}, std::size_t{24}, std::size_t{28},
                                     std::size_t{91}, header - 1, header, good.size() - 1}) {
            Bytes bytes = good;
            bytes[at] ^= 0x40;
            const ParseOutcome outcome = Parse(layout, bytes);
            // Byte 12 of a pak is the boot presence word: made non-zero, the absent boot
            // section with length 0 is refused before the CRC is looked at.
            const ParseCheck expected = layout == FirmwareLayout::Pak && at == 12
                                            ? ParseCheck::SectionLength
                                            : ParseCheck::Crc;
            EXPECT_EQ(outcome.report.check, expected) << FirmwareLayoutName(layout) << " " << at;
        }
        EXPECT_EQ(Parse(layout,
                        BuildBroken(PakSpec(layout, {Block("kern", 100, 1)}), {FaultKind::Crc, 0}))
                      .report.check,
                  ParseCheck::Crc);
    }
}

TEST(PakPackage, TextsKeepAtMostThirtyCharactersAndTheCrcSeesThemUncut) {
    const std::string chars31 = "0123456789012345678901234567890";
    const std::string chars32 = "abcdefghijklmnopqrstuvwxyzABCDEF";  // no zero byte
    struct Case {
        std::string model;
        std::string text2;
        std::string text3;
    };
    const Case cases[] = {
        {chars31, chars32, "short"},
        {"EM7", chars31, chars32},
        {chars32, "second", chars31},
    };
    for (const FirmwareLayout layout : BOTH) {
        for (const Case& c : cases) {
            FirmwareSpec spec = PakSpec(layout, {Block("kern", 10, 1)});
            spec.model = c.model;
            spec.text2 = c.text2;
            spec.text3 = c.text3;
            const ParseOutcome outcome = Parse(layout, Build(spec));
            ASSERT_TRUE(outcome.accepted) << ParseCheckName(outcome.report.check);
            EXPECT_EQ(std::string(outcome.info.model), c.model.substr(0, 30));
            EXPECT_EQ(std::string(outcome.info.pak.text2), c.text2.substr(0, 30));
            EXPECT_EQ(std::string(outcome.info.pak.text3), c.text3.substr(0, 30));
        }
    }
}

TEST(PakPackage, AllSectionsGiveEntriesInSectionOrder) {
    for (const FirmwareLayout layout : BOTH) {
        // Written flah first: the entries still follow the section order.
        const ParseOutcome outcome =
            Parse(layout, Build(PakSpec(layout, {Block("flah", 30, 3), Block("kern", 20, 2),
                                                 Block("boot", 10, 1)})));
        ASSERT_TRUE(outcome.accepted);
        const std::size_t header = HeaderSize(layout);
        const PakBody& pak = outcome.info.pak;
        ASSERT_EQ(pak.entryCount, 3u);
        const PackageEntry expected[] = {{1, static_cast<std::uint32_t>(header + 50), 10, 0},
                                         {2, static_cast<std::uint32_t>(header + 30), 20, 0},
                                         {3, static_cast<std::uint32_t>(header), 30, 0}};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(pak.entries[i].type, expected[i].type);
            EXPECT_EQ(pak.entries[i].offset, expected[i].offset);
            EXPECT_EQ(pak.entries[i].length, expected[i].length);
            EXPECT_EQ(pak.entries[i].extra, 0u);
        }
        EXPECT_EQ(outcome.info.kernOffset, header + 30);
        EXPECT_EQ(outcome.info.kernLength, 20u);
        EXPECT_EQ(outcome.info.container, ContainerKind::Pak);
        EXPECT_STREQ(outcome.info.model, "EM7");
        EXPECT_STREQ(pak.text2, "second");
        EXPECT_STREQ(pak.text3, "third");
    }
}

TEST(PakPackage, WithoutAKernSectionTheKernFieldsStayZero) {
    for (const FirmwareLayout layout : BOTH) {
        Bytes bytes = Build(PakSpec(layout, {Block("flah", 30, 3)}));
        // A pk2 kern section of length 0 whose offset points inside the file yields no block.
        SetEntryField(layout, bytes, 1, EntryField::Offset, 100);
        RefreshCrc(layout, bytes);
        const ParseOutcome outcome = Parse(layout, bytes);
        ASSERT_TRUE(outcome.accepted);
        EXPECT_EQ(outcome.info.kernOffset, 0u);
        EXPECT_EQ(outcome.info.kernLength, 0u);
    }
}

}  // namespace
