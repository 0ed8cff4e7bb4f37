#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/win32/win32_device_port.h"

namespace {

// The DCB's flag word follows DCBlength and BaudRate.
constexpr std::size_t FLAG_WORD_OFFSET = offsetof(DCB, BaudRate) + sizeof(DWORD);
constexpr DWORD FLAGS_CLEARED = 0x6F6E;
constexpr DWORD FLAGS_SET = 0x1091;

// Whatever the port reported, exactly these flag bits and the four line members change.
TEST(SerialSettings, ChangeOnlyTheLineMembersAndTheirFlagBits) {
    for (DWORD asRead : {0x00000000ul, 0xFFFFFFFFul, 0xAAAAAAAAul, 0x55555555ul, 0x12345678ul}) {
        SCOPED_TRACE(asRead);
        DCB dcb;
        std::memset(&dcb, 0xA5, sizeof dcb);
        std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + FLAG_WORD_OFFSET, &asRead,
                    sizeof asRead);
        DCB expected = dcb;
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
