// The two request packets besides bare bytes: text commands (framed, CRC-32 protected,
// answered by a framed reply whose first payload byte "0" means accepted) and tilde packets
// (XOR checksum; the model query and the request to enter update mode).
// Numbers on the wire are big-endian.
#pragma once

#include <cstdarg>
#include <cstdint>

class DeviceLink;

constexpr std::uint32_t TEXT_COMMAND_MAX = 252;
constexpr std::uint32_t TEXT_REPLY_MAX = 249;
constexpr std::uint32_t TEXT_PACKET_BUFFER = TEXT_COMMAND_MAX + 8;  // 260
constexpr std::uint32_t MODEL_REPLY_BUFFER = 4096;
constexpr std::uint32_t MODEL_NAME_MAX = 61;

constexpr std::uint32_t TILDE_UPDATE_MODE_SIZE = 14;
// 7E 00 00 09 "~goFlash~" and the checksum: 0xFF XOR the length bytes and the payload.
extern const std::uint8_t UPDATE_MODE_PACKET[TILDE_UPDATE_MODE_SIZE];

// 0xFF XOR every byte from the first length byte to the end of the payload.
std::uint8_t TildeChecksum(const std::uint8_t* lengthAndPayload, std::uint32_t size);

// Formats the command, sends it and waits up to replyWaitMs for the reply's header. True
// only when a well-formed reply with a correct CRC begins with "0". A text that is empty or
// longer than 252 bytes is not sent.
bool SendTextCommand(DeviceLink& link, std::uint32_t replyWaitMs, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool SendTextCommandV(DeviceLink& link, std::uint32_t replyWaitMs, const char* format,
                      va_list values) __attribute__((format(printf, 3, 0)));

// Asks the device for its model name and writes it into out (at least 61 bytes) without a
// terminator. Returns its length, 0 to 61; 0 also when the query failed.
std::uint32_t QueryDeviceModel(DeviceLink& link, std::uint8_t* out);
