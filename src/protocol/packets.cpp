#include "protocol/packets.h"

#include <cstdio>
#include <cstring>

#include "common/crc32.h"
#include "link/device_link.h"

namespace {

constexpr std::uint8_t TEXT_MARK_0 = 0x02;
constexpr std::uint8_t TEXT_MARK_1 = 0x05;
constexpr std::uint8_t TILDE_MARK = 0x7E;
constexpr std::uint8_t TILDE_REPLY_MARK_0 = 0x02;
constexpr std::uint8_t TILDE_REPLY_MARK_1 = 0x00;
constexpr std::uint8_t TEXT_ACCEPTED = '0';
constexpr std::uint8_t MODEL_ANSWER_MARK = '4';
constexpr std::uint32_t MODEL_REPLY_PAYLOAD_MAX = MODEL_REPLY_BUFFER - 5;  // 4091
constexpr std::uint32_t MODEL_REPLY_NAME_FITS = MODEL_NAME_MAX + 1;        // "4" + 61 bytes

constexpr std::uint32_t REPLY_HEADER_FOLLOWING_WAIT_MS = 50;
constexpr std::uint32_t TEXT_PAYLOAD_FIRST_WAIT_MS = 500;
constexpr std::uint32_t TEXT_PAYLOAD_FOLLOWING_WAIT_MS = 100;
constexpr std::uint32_t TEXT_REPLY_DRAIN_MS = 20;
constexpr std::uint32_t MODEL_REPLY_WAIT_MS = 1000;
constexpr std::uint32_t MODEL_REPLY_DRAIN_MS = 100;

constexpr std::uint8_t MODEL_QUERY_PAYLOAD[3] = {0x33, 0x47, 0x01};

void StoreBigEndian32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t LoadBigEndian32(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | at[3];
}

std::uint32_t LoadBigEndian16(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 8) | at[1];
}

constexpr std::uint8_t ConstTildeChecksum(const char* payload, std::uint8_t length) {
    std::uint8_t sum = static_cast<std::uint8_t>(0xFF ^ 0x00 ^ length);
    for (std::uint8_t i = 0; i < length; ++i) {
        sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(payload[i]));
    }
    return sum;
}

}  // namespace

const std::uint8_t UPDATE_MODE_PACKET[TILDE_UPDATE_MODE_SIZE] = {
    TILDE_MARK, 0x00, 0x00, 0x09, '~', 'g', 'o',
    'F',        'l',  'a',  's',  'h', '~', ConstTildeChecksum("~goFlash~", 9)};

std::uint8_t TildeChecksum(const std::uint8_t* lengthAndPayload, std::uint32_t size) {
    std::uint8_t sum = 0xFF;
    for (std::uint32_t i = 0; i < size; ++i) {
        sum = static_cast<std::uint8_t>(sum ^ lengthAndPayload[i]);
    }
    return sum;
}

bool SendTextCommand(DeviceLink& link, std::uint32_t replyWaitMs, const char* format, ...) {
    va_list values;
    va_start(values, format);
    const bool accepted = SendTextCommandV(link, replyWaitMs, format, values);
    va_end(values);
    return accepted;
}

bool SendTextCommandV(DeviceLink& link, std::uint32_t replyWaitMs, const char* format,
                      va_list values) {
    std::uint8_t packet[TEXT_PACKET_BUFFER + 1];  // room for the formatter's terminator
    const int formatted =
        std::vsnprintf(reinterpret_cast<char*>(packet + 4), TEXT_COMMAND_MAX + 1, format, values);
    if (formatted <= 0 || static_cast<std::uint32_t>(formatted) > TEXT_COMMAND_MAX) {
        return false;
    }
    const auto length = static_cast<std::uint32_t>(formatted);
    TraceReport(link.Trace(), TraceTopic::Step, "text command \"%s\", reply wait %u ms",
                reinterpret_cast<const char*>(packet + 4), replyWaitMs);
    packet[0] = TEXT_MARK_0;
    packet[1] = TEXT_MARK_1;
    packet[2] = static_cast<std::uint8_t>(length / 256);
    packet[3] = static_cast<std::uint8_t>(length % 256);
    StoreBigEndian32(packet + 4 + length, Crc32(0, length + 4, packet));
    if (!link.Send(packet, length + 8)) {
        return false;
    }

    std::uint8_t* reply = packet;
    if (link.ReadTimed(replyWaitMs, reply, 4, REPLY_HEADER_FOLLOWING_WAIT_MS) < 4 ||
        reply[0] != TEXT_MARK_0 || reply[1] != TEXT_MARK_1) {
        return false;
    }
    const std::uint32_t payloadLength = LoadBigEndian16(reply + 2);
    if (payloadLength > TEXT_REPLY_MAX) {
        link.Flush(TEXT_REPLY_DRAIN_MS);
        return false;
    }
    if (link.ReadTimed(TEXT_PAYLOAD_FIRST_WAIT_MS, reply + 4, payloadLength + 4,
                       TEXT_PAYLOAD_FOLLOWING_WAIT_MS) < payloadLength + 4) {
        link.Flush(TEXT_REPLY_DRAIN_MS);
        return false;
    }
    const std::uint32_t crc = Crc32(0, payloadLength + 4, reply);
    if (crc != LoadBigEndian32(reply + 4 + payloadLength) || payloadLength == 0) {
        return false;
    }
    return reply[4] == TEXT_ACCEPTED;
}

std::uint32_t QueryDeviceModel(DeviceLink& link, std::uint8_t* out) {
    std::uint8_t buffer[MODEL_REPLY_BUFFER];
    buffer[0] = TILDE_MARK;
    buffer[1] = 0x00;
    buffer[2] = 0x00;
    buffer[3] = sizeof MODEL_QUERY_PAYLOAD;
    std::memcpy(buffer + 4, MODEL_QUERY_PAYLOAD, sizeof MODEL_QUERY_PAYLOAD);
    buffer[7] = TildeChecksum(buffer + 2, 2 + sizeof MODEL_QUERY_PAYLOAD);
    link.Ring().Clear();
    if (!link.Send(buffer, 8)) {
        return 0;
    }

    const auto fail = [&link] {
        link.Flush(MODEL_REPLY_DRAIN_MS);
        return 0u;
    };
    if (link.ReadTimed(MODEL_REPLY_WAIT_MS, buffer, 4, REPLY_HEADER_FOLLOWING_WAIT_MS) < 4 ||
        buffer[0] != TILDE_REPLY_MARK_0 || buffer[1] != TILDE_REPLY_MARK_1) {
        return fail();
    }
    const std::uint32_t payloadLength = LoadBigEndian16(buffer + 2);
    if (payloadLength == 0 || payloadLength > MODEL_REPLY_PAYLOAD_MAX) {
        return fail();
    }
    if (link.ReadTimed(MODEL_REPLY_WAIT_MS, buffer + 4, payloadLength + 1,
                       REPLY_HEADER_FOLLOWING_WAIT_MS) < payloadLength + 1 ||
        buffer[4] != MODEL_ANSWER_MARK) {
        return fail();
    }
    if (TildeChecksum(buffer + 2, payloadLength + 2) != buffer[4 + payloadLength]) {
        return fail();
    }
    if (payloadLength > MODEL_REPLY_NAME_FITS) {
        return 0;
    }
    std::memcpy(out, buffer + 5, payloadLength - 1);
    return payloadLength - 1;
}
