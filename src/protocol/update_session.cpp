#include "protocol/update_session.h"

#include <cstring>

#include "common/crc32.h"
#include "common/standard_output.h"
#include "link/device_link.h"
#include "protocol/packets.h"

namespace {

constexpr std::uint32_t MAX_BLOCKS = 4;
constexpr std::uint32_t FRAME_DATA = 512;
constexpr std::uint32_t FRAME_SIZE = FRAME_DATA + 5;  // 0x02, the data, CRC-32
constexpr std::uint8_t FRAME_MARK = 0x02;
constexpr std::uint32_t STAR_EVERY_FRAMES = 64;
constexpr std::uint32_t READY_POLLS = 100;

constexpr std::uint8_t CONNECTION_QUERY = '?';
constexpr std::uint8_t CONNECTION_ANSWER = '!';
constexpr std::uint8_t UPDATE_MODE_ANSWER = 0x06;
constexpr std::uint8_t READY_ANSWER = '<';
constexpr std::uint8_t FRAME_ANSWER = '*';
constexpr std::uint8_t WRITE_DONE = '^';
constexpr std::uint8_t WRITE_FAILED = '!';

constexpr std::uint32_t CONNECTION_WAIT_MS = 1000;
constexpr std::uint32_t UPDATE_MODE_WAIT_MS = 1000;
constexpr std::uint32_t READY_POLL_WAIT_MS = 100;
constexpr std::uint32_t READY_POLL_FOLLOWING_WAIT_MS = 50;
constexpr std::uint32_t SETUP_REPLY_WAIT_MS = 1000;
constexpr std::uint32_t FRAME_ANSWER_WAIT_MS = 2000;
constexpr std::uint32_t VERDICT_WAIT_MS = 1000;
constexpr std::uint32_t AFTER_BLOCK_REPLY_WAIT_MS = 500;
constexpr std::uint32_t EXIT_AFTER_FAILURE_WAIT_MS = 100;
constexpr std::uint32_t BLOCK_FLUSH_MS = 20;

bool ExpectByte(DeviceLink& link, std::uint32_t firstWaitMs, std::uint8_t expected) {
    std::uint8_t answer = 0;
    return link.ReadByte(firstWaitMs, &answer) && answer == expected;
}

bool ModelSuitsDevice(DeviceLink& link, const char* model) {
    TraceReport(link.Trace(), TraceTopic::Step, "model check: the file is made for \"%s\"", model);
    PrintStandardOutput("Checking whether the firmware file is suitable for the device\n");
    char deviceModel[64] = {};
    const std::uint32_t length =
        QueryDeviceModel(link, reinterpret_cast<std::uint8_t*>(deviceModel));
    deviceModel[length] = '\0';
    TraceReport(link.Trace(), TraceTopic::Note, "the device reports the model \"%s\"", deviceModel);
    return ModelNameSuits(deviceModel, model);
}

bool WaitUntilReady(DeviceLink& link, ResultCode& failure) {
    static constexpr std::uint8_t POLL[3] = {'?', '?', '?'};
    for (std::uint32_t attempt = 0; attempt < READY_POLLS; ++attempt) {
        if (!link.Send(POLL, sizeof POLL)) {
            failure = RESULT_PROTOCOL_ERROR;
            return false;
        }
        std::uint8_t answer = 0;
        if (link.ReadTimed(READY_POLL_WAIT_MS, &answer, 1, READY_POLL_FOLLOWING_WAIT_MS) == 1) {
            if (answer == READY_ANSWER) {
                return true;
            }
            failure = RESULT_PROTOCOL_ERROR;
            return false;
        }
    }
    failure = RESULT_PROTOCOL_ERROR;
    return false;
}

bool AnnounceBlock(DeviceLink& link, const UpdateBlock& block, std::uint32_t frames) {
    const char* name = BLOCK_TYPE_NAMES[block.type - 1];
    if (!SendTextCommand(link, SETUP_REPLY_WAIT_MS, "!DataLens:%u", block.length)) {
        return false;
    }
    const bool typeAccepted =
        block.type == BLOCK_TYPE_FLAH
            ? SendTextCommand(link, SETUP_REPLY_WAIT_MS, "!FileType:%.4s:%u", name, block.extra)
            : SendTextCommand(link, SETUP_REPLY_WAIT_MS, "!FileType:%.4s", name);
    return typeAccepted &&
           SendTextCommand(link, SETUP_REPLY_WAIT_MS, "!FrameSize:%u", FRAME_DATA) &&
           SendTextCommand(link, SETUP_REPLY_WAIT_MS, "!Frames:%u", frames) &&
           SendTextCommand(link, SETUP_REPLY_WAIT_MS, ">Start");
}

bool SendFrames(DeviceLink& link, const UpdateBlock& block, std::uint32_t frames) {
    std::uint8_t frame[FRAME_SIZE];
    for (std::uint32_t k = 0; k < frames; ++k) {
        const std::uint32_t offset = k * FRAME_DATA;
        const std::uint32_t left = block.length - offset;
        const std::uint32_t take = left < FRAME_DATA ? left : FRAME_DATA;
        frame[0] = FRAME_MARK;
        std::memcpy(frame + 1, block.data + offset, take);
        std::memset(frame + 1 + take, 0, FRAME_DATA - take);
        const std::uint32_t crc = Crc32(0, FRAME_DATA + 1, frame);
        frame[FRAME_DATA + 1] = static_cast<std::uint8_t>(crc >> 24);
        frame[FRAME_DATA + 2] = static_cast<std::uint8_t>(crc >> 16);
        frame[FRAME_DATA + 3] = static_cast<std::uint8_t>(crc >> 8);
        frame[FRAME_DATA + 4] = static_cast<std::uint8_t>(crc);
        if (!link.Send(frame, FRAME_SIZE) ||
            !ExpectByte(link, FRAME_ANSWER_WAIT_MS, FRAME_ANSWER)) {
            return false;
        }
        if (k % STAR_EVERY_FRAMES == 0) {
            PrintStandardOutput("*");
        }
    }
    return ExpectByte(link, FRAME_ANSWER_WAIT_MS, FRAME_ANSWER);
}

ResultCode AwaitVerdict(DeviceLink& link, std::uint32_t length) {
    const std::uint32_t reads = CompletionReads(length);
    PrintStandardOutput("\nWating update to complete. It make take dozens of seconds.\n");
    for (std::uint32_t attempt = 0; attempt < reads; ++attempt) {
        std::uint8_t verdict = 0;
        if (!link.ReadByte(VERDICT_WAIT_MS, &verdict)) {
            PrintStandardOutput(".");
            continue;
        }
        if (verdict == WRITE_DONE) {
            return RESULT_SUCCESS;
        }
        return verdict == WRITE_FAILED ? RESULT_DEVICE_WRITE_FAILED : RESULT_PROTOCOL_ERROR;
    }
    return RESULT_PROTOCOL_ERROR;
}

// Blocks are numbered from 0 in the trace as on the console.
ResultCode UpdateBlockOnDevice(DeviceLink& link, const UpdateBlock& block, std::uint32_t index,
                               std::uint32_t count) {
    TraceSink* trace = link.Trace();
    const char* name = BLOCK_TYPE_NAMES[block.type - 1];
    link.Flush(BLOCK_FLUSH_MS);
    TraceReport(trace, TraceTopic::Step, "block %u/%u (%.4s, %u bytes): waiting until ready", index,
                count, name, block.length);
    PrintStandardOutput("\nUpdating block: %u/%u\n", index, count);
    ResultCode failure = RESULT_SUCCESS;
    if (!WaitUntilReady(link, failure)) {
        return failure;
    }
    link.Flush(BLOCK_FLUSH_MS);
    TraceReport(trace, TraceTopic::Step, "block %u/%u (%.4s): set-up", index, count, name);
    PrintStandardOutput("Setting up update parameters\n");
    const std::uint32_t frames = (block.length + FRAME_DATA - 1) / FRAME_DATA;
    if (!AnnounceBlock(link, block, frames)) {
        return RESULT_PROTOCOL_ERROR;
    }
    link.Flush(0);
    TraceReport(trace, TraceTopic::Step, "block %u/%u (%.4s): %u frames", index, count, name,
                frames);
    PrintStandardOutput("Sending data. total frames:%u\n", frames);
    if (!SendFrames(link, block, frames)) {
        return RESULT_PROTOCOL_ERROR;
    }
    TraceReport(trace, TraceTopic::Step, "block %u/%u (%.4s): waiting for the verdict, %u reads",
                index, count, name, CompletionReads(block.length));
    const ResultCode verdict = AwaitVerdict(link, block.length);
    if (verdict != RESULT_SUCCESS) {
        return verdict;
    }
    TraceReport(trace, TraceTopic::Note, "block %u/%u (%.4s) written", index, count, name);
    if (index + 1 < count) {
        SendTextCommand(link, AFTER_BLOCK_REPLY_WAIT_MS, "@NextDown");
    } else {
        SendTextCommand(link, AFTER_BLOCK_REPLY_WAIT_MS, "@Exit");
    }
    return RESULT_SUCCESS;
}

}  // namespace

bool AnswersConnectionTest(DeviceLink& link) {
    return link.Send(&CONNECTION_QUERY, 1) &&
           ExpectByte(link, CONNECTION_WAIT_MS, CONNECTION_ANSWER);
}

bool ModelNameSuits(const char* deviceModel, const char* fileModel) {
    if (std::strcmp(deviceModel, fileModel) == 0) {
        return true;
    }
    // Devices that report an "MB" name take firmware made for the matching "EM" name.
    if (deviceModel[0] == 'M' && deviceModel[1] == 'B' && deviceModel[2] >= '0' &&
        deviceModel[2] <= '9') {
        return fileModel[0] == 'E' && fileModel[1] == 'M' &&
               std::strcmp(deviceModel + 2, fileModel + 2) == 0;
    }
    return false;
}

std::uint32_t CompletionReads(std::uint32_t length) {
    return ((length / 1024 + 150) * 20) / 1000 + 1;
}

ResultCode PerformUpdate(const UpdateOptions& options, const char* model, DeviceLink* link,
                         const UpdateBlock* blocks, std::uint32_t count, bool allowUpdate) {
    if (!allowUpdate || blocks == nullptr || count == 0 || link == nullptr) {
        return RESULT_BAD_REQUEST;
    }
    if (!link->IsOpen()) {
        return RESULT_NOT_CONNECTED;
    }
    const bool checkModel =
        (options.flags & UPDATE_FLAG_CHECK_MODEL) != 0 && model != nullptr && model[0] != '\0';
    link->Flush(CONNECTION_FLUSH_MS);

    TraceReport(link->Trace(), TraceTopic::Step, "connection test");
    PrintStandardOutput("Test connection\n");
    if (!AnswersConnectionTest(*link)) {
        return RESULT_PROTOCOL_ERROR;
    }
    if (checkModel && !ModelSuitsDevice(*link, model)) {
        return RESULT_MODEL_MISMATCH;
    }
    TraceReport(link->Trace(), TraceTopic::Step, "update mode");
    PrintStandardOutput("Entering update mode\n");
    if (!link->Send(UPDATE_MODE_PACKET, TILDE_UPDATE_MODE_SIZE) ||
        !ExpectByte(*link, UPDATE_MODE_WAIT_MS, UPDATE_MODE_ANSWER)) {
        return RESULT_PROTOCOL_ERROR;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const ResultCode result = UpdateBlockOnDevice(*link, blocks[i], i, count);
        if (result != RESULT_SUCCESS) {
            return result;
        }
    }
    TraceReport(link->Trace(), TraceTopic::Note, "every block written");
    PrintStandardOutput("\nUpdate successful\n");
    return RESULT_SUCCESS;
}

ResultCode RunUpdateSession(const UpdateBlock* blocks, DeviceLink* link, std::uint32_t count,
                            bool allowUpdate, const UpdateOptions* options, std::uint32_t exflCount,
                            const char* model) {
    if (link == nullptr) {
        return RESULT_BAD_REQUEST;
    }
    TraceSink* trace = link->Trace();
    const std::uint32_t total = count + exflCount;
    if (blocks == nullptr || count > MAX_BLOCKS || exflCount > MAX_BLOCKS || total == 0 ||
        total > MAX_BLOCKS) {
        TraceReport(trace, TraceTopic::Failure, "the session refuses %u + %u blocks", count,
                    exflCount);
        return RESULT_BAD_REQUEST;
    }
    for (std::uint32_t i = 0; i < total; ++i) {
        const UpdateBlock& block = blocks[i];
        const bool knownType = block.type >= BLOCK_TYPE_BOOT && block.type <= BLOCK_TYPE_APPL;
        if (block.data == nullptr || block.length == 0 || !knownType ||
            (i >= count && block.type != BLOCK_TYPE_FLAH)) {
            TraceReport(trace, TraceTopic::Failure, "the session refuses block %u", i);
            return RESULT_BAD_REQUEST;
        }
    }
    if (!link->IsOpen()) {
        TraceReport(trace, TraceTopic::Failure, "the session finds no open device");
        return RESULT_NOT_CONNECTED;
    }
    UpdateOptions ownOptions;
    if (options != nullptr) {
        ownOptions = *options;
    }
    ResultCode result = RESULT_BAD_REQUEST;
    if (exflCount != 0) {
        TraceReport(trace, TraceTopic::Failure, "exfl blocks are never sent");
        SendTextCommand(*link, EXIT_AFTER_FAILURE_WAIT_MS, "@Exit");
    } else {
        result = PerformUpdate(ownOptions, model, link, blocks, count, allowUpdate);
        if (result != RESULT_SUCCESS) {
            TraceReport(trace, TraceTopic::Failure, "the session fails with result %u", result);
            SendTextCommand(*link, EXIT_AFTER_FAILURE_WAIT_MS, "@Exit");
        }
    }
    // StopReader itself looks, under its stop lock, whether a reader runs: the console
    // handler's thread may be stopping it at this very moment.
    TraceReport(trace, TraceTopic::Note, "the session ends; the reader stops if it runs");
    link->StopReader();
    return result;
}
