// The loader and the block list together. The first input byte picks the layout (as the
// extension would); the rest is the file.
#include "fuzz_support.h"

namespace {

void Run(FirmwareLayout layout, const std::uint8_t* fileBytes, std::size_t fileSize) {
    BytesFile file(fileBytes, fileSize);
    PackageInfo info;
    FirmwareBuffer buffer;
    const ResultCode loaded = LoadOpenFirmware(file, layout, &info, buffer);
    if (loaded != RESULT_SUCCESS) {
        Require(loaded == RESULT_BAD_FILE && buffer.Empty());
        return;
    }
    Require(buffer.Size() == fileSize && std::memcmp(buffer.Data(), fileBytes, fileSize) == 0);
    CheckAccepted(info, fileSize);

    BlockList list;
    const ResultCode built = BuildBlockList(info, buffer, list);
    if (built != RESULT_SUCCESS) {
        Require(built == RESULT_NO_BLOCKS || built == RESULT_BAD_REQUEST);
        Require(list.normalCount == 0 && list.exflCount == 0);
        return;
    }
    const std::uint32_t total = list.normalCount + list.exflCount;
    Require(total >= 1 && total <= MAX_UPDATE_BLOCKS);
    Require(list.allowUpdate ==
            (info.container == ContainerKind::Bin ||
             (info.container == ContainerKind::Qfp && info.qfp.updateMethod == 1)));
    Require(list.exflCount == 0 || info.container == ContainerKind::Qfp);
    Require(Terminated(list.model, sizeof(list.model)));
    Require(info.container != ContainerKind::Pak || list.model[0] == 0);
    const std::uint8_t* end = buffer.Data() + buffer.Size();
    for (std::uint32_t i = 0; i < total; ++i) {
        const UpdateBlock& block = list.blocks[i];
        Require(block.data >= buffer.Data() && block.length > 0 &&
                block.length <= static_cast<std::size_t>(end - block.data));
        Require(block.type >= (info.container == ContainerKind::Pak ? 2u : 1u) && block.type <= 4);
        Require(i < list.normalCount || block.type == BLOCK_TYPE_FLAH);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    constexpr FirmwareLayout LAYOUTS[] = {FirmwareLayout::Bin, FirmwareLayout::Pak,
                                          FirmwareLayout::Pk2, FirmwareLayout::Qfp};
    const FirmwareLayout layout = LAYOUTS[data[0] % 4];
    WithAndWithoutCrc(
        layout, data + 1, size - 1,
        [layout](const std::uint8_t* bytes, std::size_t n) { Run(layout, bytes, n); });
    return 0;
}
