// The program-wide result of the top-level operations. Lower layers answer with flags and
// counts; their callers pick one of these values. Success is 0; the entry turns every value
// into a process exit code between 10 and 19.
#pragma once

#include <cstdint>

using ResultCode = std::uint32_t;

constexpr ResultCode RESULT_SUCCESS = 0;
constexpr ResultCode RESULT_OPEN_FAILED = 1;      // other open failure, serial set-up, thread start
constexpr ResultCode RESULT_NO_DEVICE = 2;        // nothing supported attached, or path missing
constexpr ResultCode RESULT_NOT_CONNECTED = 3;    // the session found no open device
constexpr ResultCode RESULT_ALREADY_OPEN = 4;     // the link already holds a device
constexpr ResultCode RESULT_ACCESS_DENIED = 5;    // access denied or path in use
constexpr ResultCode RESULT_LINK_NOT_READY = 6;   // the DeviceLink was not set up
constexpr ResultCode RESULT_FEATURE_REFUSED = 7;  // HID feature switch-on refused
constexpr ResultCode RESULT_BAD_REQUEST = 8;      // command line, or a file that may not be sent
constexpr ResultCode RESULT_BAD_FILE = 9;         // size out of range or a layout check failed
constexpr ResultCode RESULT_BAD_EXTENSION = 10;   // no extension or an unsupported one
constexpr ResultCode RESULT_PROTOCOL_ERROR = 11;  // the device did not answer as required
constexpr ResultCode RESULT_NO_MEMORY = 12;       // no memory for the file, or short second read
constexpr ResultCode RESULT_DEVICE_WRITE_FAILED = 13;  // the device could not write a block
constexpr ResultCode RESULT_NO_BLOCKS = 14;            // the file holds nothing to send
constexpr ResultCode RESULT_FILE_OPEN_FAILED = 15;     // the firmware file cannot be opened
constexpr ResultCode RESULT_MODEL_MISMATCH = 17;       // the file's model does not suit the device
constexpr ResultCode RESULT_MULTIPLE_DEVICES = 18;     // more than one supported device attached
