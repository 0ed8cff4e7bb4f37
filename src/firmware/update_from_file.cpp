// Alone in its file: only programs that run a real update pull in the session.
#include "common/crc32.h"
#include "common/trace_sink.h"
#include "common/wide_string.h"
#include "firmware/firmware_file.h"
#include "link/device_link.h"
#include "protocol/update_session.h"

namespace {

// What a traced run needs to know of the file: its layout, the check that refused it or the
// CRC it passed, its model and the blocks it yields.
void TraceFile(TraceSink* trace, const char16_t* fileName, ResultCode loaded,
               const PreparedUpdate& prepared, const ParseReport& report) {
    if (trace == nullptr) {
        return;
    }
    TraceReport(trace, TraceTopic::File, "\"%s\", layout %s",
                fileName == nullptr ? "" : Utf16ToUtf8(fileName).c_str(),
                FirmwareLayoutName(LayoutFromFileName(fileName == nullptr ? u"" : fileName)));
    if (report.check != ParseCheck::Passed) {
        TraceReport(trace, TraceTopic::File, "check failed: %s (%s), index %u",
                    ParseCheckText(report.check), ParseCheckName(report.check), report.index);
    }
    // These results come after the layout's checks passed; the others before or from them.
    const bool parsed = loaded == RESULT_SUCCESS || loaded == RESULT_NO_BLOCKS ||
                        loaded == RESULT_BAD_REQUEST || loaded == RESULT_NO_MEMORY;
    if (parsed || report.check == ParseCheck::Crc) {
        TraceReport(trace, TraceTopic::File, "crc: stored 0x%08X, computed 0x%08X (%s)",
                    report.storedCrc, report.computedCrc,
                    report.storedCrc == report.computedCrc ? "match" : "MISMATCH");
    }
    if (loaded != RESULT_SUCCESS) {
        TraceReport(trace, TraceTopic::Failure, "the loader refuses the file with result %u",
                    loaded);
        return;
    }
    const BlockList& list = prepared.list;
    // The size is at most 100 MiB and every offset lies inside it.
    TraceReport(trace, TraceTopic::File, "%u bytes, model \"%s\", %u block(s) and %u exfl, %s",
                static_cast<unsigned>(prepared.file.Size()), list.model, list.normalCount,
                list.exflCount, SessionWouldSend(list) ? "to be sent" : "not to be sent");
    for (std::uint32_t i = 0; i < list.normalCount + list.exflCount; ++i) {
        const UpdateBlock& block = list.blocks[i];
        const bool named = block.type >= BLOCK_TYPE_BOOT && block.type <= BLOCK_TYPE_APPL;
        TraceReport(trace, TraceTopic::File,
                    "block %u: %.4s%s, %u bytes at offset %u, extra %u, crc32 0x%08X", i,
                    named ? BLOCK_TYPE_NAMES[block.type - 1] : "????",
                    i < list.normalCount ? "" : " (exfl)", block.length,
                    static_cast<unsigned>(block.data - prepared.file.Data()), block.extra,
                    Crc32(0, block.length, block.data));
    }
}

}  // namespace

ResultCode RunPreparedUpdate(PreparedUpdate& prepared, DeviceLink* link,
                             const UpdateOptions* options) {
    const BlockList& list = prepared.list;
    const ResultCode result = RunUpdateSession(
        list.blocks, link, list.normalCount, list.allowUpdate, options, list.exflCount, list.model);
    prepared.file.Release();
    return result;
}

ResultCode UpdateFromFile(DeviceLink* link, const char16_t* fileName,
                          const UpdateOptions* options) {
    PreparedUpdate prepared;
    ParseReport report{};
    const ResultCode loaded = PrepareUpdate(fileName, prepared, &report);
    TraceFile(link == nullptr ? nullptr : link->Trace(), fileName, loaded, prepared, report);
    if (loaded != RESULT_SUCCESS) {
        return loaded;
    }
    return RunPreparedUpdate(prepared, link, options);
}
