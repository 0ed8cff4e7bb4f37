#include "discovery/identity.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

TEST(ClassifyProduct, VendorAUsesOnlyTheLowByte) {
    for (std::uint32_t high = 0; high < 256; ++high) {
        for (std::uint32_t low = 0; low < 256; ++low) {
            const auto product = static_cast<std::uint16_t>((high << 8) | low);
            LinkKind expected = LinkKind::Unsupported;
            switch (low) {
                case 0x01:
                    expected = LinkKind::VendorBulk;
                    break;
                case 0x02:
                    expected = LinkKind::SerialA;
                    break;
                case 0x03:
                    expected = LinkKind::HidComposite;
                    break;
                case 0x06:
                    expected = LinkKind::SerialB;
                    break;
                case 0x10:
                    expected = LinkKind::Hid;
                    break;
                default:
                    break;
            }
            ASSERT_EQ(ClassifyProduct(VENDOR_A, product), expected) << std::hex << product;
        }
    }
}

TEST(ClassifyProduct, FixedTablesOfVendorsBAndC) {
    struct Case {
        std::uint16_t vendor;
        std::uint16_t product;
        LinkKind kind;
    };
    const Case cases[] = {
        {VENDOR_B, 0x0006, LinkKind::VendorBulk},   {VENDOR_B, 0x0007, LinkKind::SerialA},
        {VENDOR_B, 0x0008, LinkKind::SerialA},      {VENDOR_B, 0x0009, LinkKind::VendorBulk},
        {VENDOR_B, 0x0010, LinkKind::VendorBulk},   {VENDOR_B, 0x0005, LinkKind::Unsupported},
        {VENDOR_B, 0x000A, LinkKind::Unsupported},  {VENDOR_B, 0x000F, LinkKind::Unsupported},
        {VENDOR_B, 0x0106, LinkKind::Unsupported},  {VENDOR_B, 0x1010, LinkKind::Unsupported},
        {VENDOR_C, 0x0C01, LinkKind::HidComposite}, {VENDOR_C, 0x0C02, LinkKind::HidComposite},
        {VENDOR_C, 0x0C03, LinkKind::HidComposite}, {VENDOR_C, 0x0C11, LinkKind::Hid},
        {VENDOR_C, 0x0C12, LinkKind::Hid},          {VENDOR_C, 0x0C21, LinkKind::VendorBulk},
        {VENDOR_C, 0x0C31, LinkKind::SerialA},      {VENDOR_C, 0x0C32, LinkKind::SerialB},
        {VENDOR_C, 0x0C04, LinkKind::Unsupported},  {VENDOR_C, 0x0001, LinkKind::Unsupported},
        {0x1234, 0x0001, LinkKind::Unsupported},    {0x0000, 0x0000, LinkKind::Unsupported},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyProduct(c.vendor, c.product), c.kind)
            << std::hex << c.vendor << ":" << c.product;
    }
}

TEST(ParseUsbIdentity, AcceptsAndRejects) {
    struct Case {
        const char16_t* text;
        bool accepted;
        std::uint16_t vendor;
        std::uint16_t product;
        bool hasInterface;
        std::uint8_t interfaceNumber;
    };
    const Case cases[] = {
        {u"vid_7a10&pid_0001#6&1", true, 0x7A10, 0x0001, false, 0},
        {u"vid_7a10&pid_0003&mi_01#7&2", true, 0x7A10, 0x0003, true, 1},
        {u"vid_7a10&pid_0003&mi_01&col02#7", true, 0x7A10, 0x0003, true, 1},
        {u"vid_6666&pid_0007\\5&12345", true, 0x6666, 0x0007, false, 0},
        {u"vid_6666&pid_0007&mi_00\\5", true, 0x6666, 0x0007, true, 0},
        {u"vid_6666&pid_0007&mi_ff#", true, 0x6666, 0x0007, true, 0xFF},
        {u"vid_6666&pid_0007&&", true, 0x6666, 0x0007, false, 0},
        {u"vid_ABCD&pid_eF01#", true, 0xABCD, 0xEF01, false, 0},  // digits in either case
        {u"vid_6666&pid_0007", false, 0, 0, false, 0},            // ends after the digits
        {u"vid_6666&pid_0007&", false, 0, 0, false, 0},
        {u"vid_6666&pid_0007&col01#", false, 0, 0, false, 0},
        {u"vid_66661&pid_0007#", false, 0, 0, false, 0},  // five vendor digits
        {u"vid_6666&pid_0007&mi_0g#", false, 0, 0, false, 0},
        {u"vid_6666&pid_0007&mi_0", false, 0, 0, false, 0},
        {u"VID_6666&PID_0007#", false, 0, 0, false, 0},  // not lower-cased
        {u"vid_6666&pid_007#", false, 0, 0, false, 0},
        {u"vid_6666#pid_0007#", false, 0, 0, false, 0},
        {u"", false, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        UsbIdentity identity;
        const bool accepted = ParseUsbIdentity(c.text, identity);
        EXPECT_EQ(accepted, c.accepted);
        if (accepted && c.accepted) {
            EXPECT_EQ(identity.vendorId, c.vendor);
            EXPECT_EQ(identity.productId, c.product);
            EXPECT_EQ(identity.hasInterface, c.hasInterface);
            EXPECT_EQ(identity.interfaceNumber, c.interfaceNumber);
        }
    }
}

TEST(IdentityHelpers, SkipPrefixMovesOnlyOnAMatch) {
    const char16_t* text = u"usb\\vid";
    const char16_t* cursor = text;
    EXPECT_FALSE(SkipPrefix(u"usb#", cursor));
    EXPECT_EQ(cursor, text);
    EXPECT_TRUE(SkipPrefix(u"", cursor));
    EXPECT_EQ(cursor, text);
    EXPECT_TRUE(SkipPrefix(u"usb\\", cursor));
    EXPECT_EQ(cursor, text + 4);
    EXPECT_FALSE(SkipPrefix(u"vidx", cursor));  // the end of the text is a difference
    EXPECT_EQ(cursor, text + 4);
    EXPECT_FALSE(SkipPrefix(u"VID", cursor));  // exact: no folding
}

TEST(IdentityHelpers, HexDigitsStopAtTheFirstNonDigit) {
    std::uint16_t value4 = 0;
    EXPECT_TRUE(ParseHex4(u"fFa9zz", value4));
    EXPECT_EQ(value4, 0xFFA9);
    EXPECT_FALSE(ParseHex4(u"12g4", value4));
    EXPECT_FALSE(ParseHex4(u"123", value4));  // the terminator is not a digit
    std::uint8_t value2 = 0;
    EXPECT_TRUE(ParseHex2(u"0B", value2));
    EXPECT_EQ(value2, 0x0B);
    EXPECT_FALSE(ParseHex2(u"/0", value2));  // '/' sits just below '0'
    EXPECT_FALSE(ParseHex2(u":0", value2));  // ':' just above '9'
    EXPECT_FALSE(ParseHex2(u"`0", value2));  // '`' just below 'a'
    EXPECT_FALSE(ParseHex2(u"g0", value2));
}

TEST(DeviceRecord, PathsUpTo250UnitsFitAndLongerOnesAreRefused) {
    UsbIdentity identity;
    identity.vendorId = 0x6666;
    identity.productId = 0x0006;
    identity.hasInterface = true;
    identity.interfaceNumber = 0;
    for (std::size_t length :
         {std::size_t{1}, std::size_t{250}, std::size_t{251}, std::size_t{252}}) {
        std::u16string path(length, u'x');
        DeviceRecord record;
        std::memset(&record, 0xAA, sizeof record);
        const bool filled = FillDeviceRecord(record, path.c_str(), identity, LinkKind::VendorBulk);
        EXPECT_EQ(filled, length <= DEVICE_PATH_MAX) << length;
        if (filled) {
            EXPECT_EQ(std::u16string(record.path), path);
            EXPECT_EQ(record.interfacePlusOne, 1);
            EXPECT_EQ(record.linkKind, LinkKind::VendorBulk);
        } else {
            // Refused records are left all zero, never written past path.
            const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
            for (std::size_t i = 0; i < sizeof record; ++i) {
                ASSERT_EQ(bytes[i], 0) << i;
            }
        }
    }
}

TEST(DeviceRecord, PortRecordsCarryTheNameAsRead) {
    UsbIdentity identity;
    identity.vendorId = 0x6666;
    identity.productId = 0x0007;
    DeviceRecord record;
    ASSERT_TRUE(FillPortRecord(record, u"com7", identity));
    EXPECT_EQ(std::u16string(record.path), u"\\\\.\\com7");
    EXPECT_EQ(record.linkKind, LinkKind::SerialPort);
    EXPECT_EQ(record.interfacePlusOne, 0);
}

}  // namespace
