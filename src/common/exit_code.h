// The process exit code for a ResultCode. Scripts read only this, so every outcome lands
// between 10 and 19 and success is 15, never 0.
#pragma once

#include "common/result_code.h"

int MapExitCode(ResultCode result);
