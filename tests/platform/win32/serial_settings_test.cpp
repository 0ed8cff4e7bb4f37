#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/win32/win32_device_port.h"

namespace {

// The DCB's flag word follows DCBlength and BaudRate.
constexpr std::size_t FLAG_WORD_OFFSET = offsetof(DCB, BaudRate) + sizeof(DWORD);
constexpr DWORD FLAGS_CLEARED = 0x6F6E;
constexpr DWORD FLAGS_SET = 0x1091;

// Whatever the port reported, exactly these flag bits and the four line members change, and
// the Xon and Xoff characters when they are equal (SetCommState refuses that).
TEST(SerialSettings, ChangeOnlyTheLineMembersAndTheirFlagBits) {
    struct XonXoff {
        char xon, xoff, expectedXon, expectedXoff;
    };
    const XonXoff characters[] = {{'\xA5', '\xA5', 0x11, 0x13},
                                  {0, 0, 0x11, 0x13},
                                  {0x11, 0x13, 0x11, 0x13},
                                  {0x20, 0, 0x20, 0}};
    for (DWORD asRead : {0x00000000ul, 0xFFFFFFFFul, 0xAAAAAAAAul, 0x55555555ul, 0x12345678ul}) {
        SCOPED_TRACE(asRead);
        const XonXoff& c = characters[asRead % 4];
        DCB dcb;
        std::memset(&dcb, 0xA5, sizeof dcb);
        std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + FLAG_WORD_OFFSET, &asRead,
                    sizeof asRead);
        dcb.XonChar = c.xon;
        dcb.XoffChar = c.xoff;
        DCB expected = dcb;
        expected.XonChar = c.expectedXon;
        expected.XoffChar = c.expectedXoff;
        const DWORD flags = (asRead & ~FLAGS_CLEARED) | FLAGS_SET;
        std::memcpy(reinterpret_cast<unsigned char*>(&expected) + FLAG_WORD_OFFSET, &flags,
                    sizeof flags);
        expected.BaudRate = 9600;
        expected.ByteSize = 8;
        expected.Parity = 0;
        expected.StopBits = 0;

        ApplyLinkSerialSettings(dcb);
        EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0);
        EXPECT_EQ(dcb.fDtrControl, 1u);
        EXPECT_EQ(dcb.fRtsControl, 1u);
    }
}

}  // namespace
