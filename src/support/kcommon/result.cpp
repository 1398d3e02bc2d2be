#include "korvex/kcommon.h"

extern "C" const char *kx_result_to_str(int code) {
    switch (code) {
    case KX_RES_OK:
        return "Success";
    case KX_RES_BAD_ARGUMENT:
        return "Invalid argument";
    case KX_RES_DOWNLOAD_FAILED:
        return "Download failed";
    case KX_RES_FAILED:
        return "Operation failed";
    case KX_RES_NOT_AUTHORIZED:
        return "Not authorized";
    case KX_RES_SYSTEM_ERROR:
        return "System error";
    default:
        // Exit statuses of child processes arrive here too.
        return "Unknown error";
    }
}
