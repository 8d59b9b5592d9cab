#include "kernel/BexoResult.h"

const char* BexoResultName(BEXORESULT result) {
    static constexpr const char* kNames[] = {"BEXORESULT_OK",
                                             "BEXORESULT_WRONG_MODE",
                                             "BEXORESULT_IO_ERROR",
                                             "BEXORESULT_NETWORK_ERROR",
                                             "BEXORESULT_NOT_FOUND",
                                             "BEXORESULT_INVALID_ARGUMENT",
                                             "BEXORESULT_NOT_SUPPORTED",
                                             "BEXORESULT_INVALID_STATE",
                                             "BEXORESULT_END_OF_DATA",
                                             "BEXORESULT_OUT_OF_MEMORY",
                                             "BEXORESULT_BAD_DATA",
                                             "BEXORESULT_UNKNOWN_ERROR",
                                             "BEXORESULT_CONNECTION_REFUSED",
                                             "BEXORESULT_ABORTED",
                                             "BEXORESULT_DISK_FULL",
                                             "BEXORESULT_TIMED_OUT"};
    if (result < 0 || result >= static_cast<BEXORESULT>(sizeof kNames / sizeof kNames[0])) {
        return "BEXORESULT_(unknown)";
    }
    return kNames[result];
}
