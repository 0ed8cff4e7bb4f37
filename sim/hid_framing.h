// The 64-byte reports of HID links as the device sees them: the host's output reports (id 4,
// 1 to 56 data bytes counted in byte 1, zeros up to byte 62, byte 63 set while more reports
// of the same write follow) and the device's input reports (id 2, a payload of up to 62
// bytes counted in byte 1). The sizes are written out here rather than taken from the link,
// so that the simulated device checks the host's framing instead of sharing its mistakes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim_scanner.h"

constexpr std::size_t SIM_HID_REPORT_SIZE = 64;

// Cuts output reports out of a byte stream and hands their data bytes to the scanner. A
// report with a wrong id or count is dropped; it and any other framing slip is noted with
// the scanner.
class HidOutputReader {
  public:
    void Feed(const std::uint8_t* bytes, std::size_t length, SimScanner& scanner);

  private:
    void TakeReport(SimScanner& scanner);

    std::array<std::uint8_t, SIM_HID_REPORT_SIZE> report_{};
    std::size_t fill_ = 0;
};

// Appends to out the input reports that carry the bytes, 62 to a report.
void AppendInputReports(const std::uint8_t* bytes, std::size_t length,
                        std::vector<std::uint8_t>& out);
