// The names by which the simulator programs (scanflash-demo, scanflash-sim-pty) take a
// scanner's set-up on their command lines.
#pragma once

#include <cstdint>
#include <string_view>

#include "discovery/identity.h"
#include "sim/sim_scanner.h"

// The help text's lists of names, for the programs' usage texts.
extern const char SIM_FAULT_HELP[];

// A decimal number of at most nine digits.
bool ParseSimNumber(std::string_view text, std::uint32_t& value);

// "serial", "bulk", "hid" or "hid-feature".
bool ParseSimLinkKind(std::string_view text, LinkKind& link);

// STEP:KIND[:N[:B]]: the answer to spoil, how, which time the step comes round (from 1; 0
// every time) and the block to count in (from 1; 0 over the whole run).
bool ParseSimFault(std::string_view text, SimFault& fault);
