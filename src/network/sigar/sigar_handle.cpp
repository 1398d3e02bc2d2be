#include "sigar.h"
#include "sigar_handle.h"

#include <cerrno>
#include <memory>
#include <new>

extern "C" SIGAR_DECLARE(int) sigar_open(sigar_t **sigar) {
    if (sigar == nullptr)
        return EINVAL;
    *sigar = nullptr;

    std::unique_ptr<sigar_t> handle(new (std::nothrow) sigar_t);
    if (!handle)
        return ENOMEM;
    *sigar = handle.release();
    return SIGAR_OK;
}

extern "C" SIGAR_DECLARE(int) sigar_close(sigar_t *sigar) {
    delete sigar;
    return SIGAR_OK;
}
