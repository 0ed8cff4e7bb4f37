// Alone in its file: only programs that run a real update pull in the session.
#include "firmware/firmware_file.h"
#include "protocol/update_session.h"

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
    const ResultCode loaded = PrepareUpdate(fileName, prepared);
    if (loaded != RESULT_SUCCESS) {
        return loaded;
    }
    return RunPreparedUpdate(prepared, link, options);
}
