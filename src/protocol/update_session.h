// The update session: connection test, model check, update mode, and for each block the
// readiness poll, the set-up commands, the acknowledged 517-byte frames and the write
// verdict. Progress goes to standard output.
#pragma once

#include <cstdint>

#include "common/result_code.h"
#include "common/update_types.h"

class DeviceLink;

// Checks its arguments, runs the session (or refuses it), sends "@Exit" after any failure
// and stops the link's reader thread at the end. blocks holds count normal blocks followed by
// exflCount "exfl" blocks; options and model may be null.
ResultCode RunUpdateSession(const UpdateBlock* blocks, DeviceLink* link, std::uint32_t count,
                            bool allowUpdate, const UpdateOptions* options, std::uint32_t exflCount,
                            const char* model);

// The ring is drained this long before the connection test.
constexpr std::uint32_t CONNECTION_FLUSH_MS = 50;

// The connection test: "?" answered by "!" within its wait.
bool AnswersConnectionTest(DeviceLink& link);

// Whether firmware made for fileModel suits a device that reports deviceModel: the same bytes,
// or a device name "MB" and a digit whose "EM" form is the file's.
bool ModelNameSuits(const char* deviceModel, const char* fileModel);

// How many one-second reads the completion wait allows a block of length bytes: 20 ms per
// whole KiB plus 3 s, in whole seconds, plus one.
std::uint32_t CompletionReads(std::uint32_t length);

ResultCode PerformUpdate(const UpdateOptions& options, const char* model, DeviceLink* link,
                         const UpdateBlock* blocks, std::uint32_t count, bool allowUpdate);
