#include "common/exit_code.h"

int MapExitCode(ResultCode result) {
    switch (result) {
        case RESULT_SUCCESS:
            return 15;
        case RESULT_NO_DEVICE:
            return 12;
        case RESULT_ACCESS_DENIED:
            return 13;
        case RESULT_BAD_REQUEST:
            return 11;
        case RESULT_BAD_FILE:
        case RESULT_BAD_EXTENSION:
        case RESULT_NO_BLOCKS:
        case RESULT_FILE_OPEN_FAILED:
            return 19;
        case RESULT_PROTOCOL_ERROR:
            return 18;
        case RESULT_DEVICE_WRITE_FAILED:
            return 17;
        case RESULT_MODEL_MISMATCH:
            return 16;
        case RESULT_MULTIPLE_DEVICES:
            return 14;
        default:
            return 10;
    }
}
