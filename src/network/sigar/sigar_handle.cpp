#include "sigar.h"
#include "sigar_handle.h"

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <new>

extern "C" SIGAR_DECLARE(int) sigar_open(sigar_t **sigar)
{
    if (sigar == nullptr)
        return EINVAL;
    *sigar = nullptr;

    std::unique_ptr<sigar_t> handle(new (std::nothrow) sigar_t);
    if (!handle)
        return ENOMEM;
    handle->control_socket = korvex::sigar::UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!handle->control_socket.valid())
        return errno != 0 ? errno : EIO;

    *sigar = handle.release();
    return SIGAR_OK;
}

extern "C" SIGAR_DECLARE(int) sigar_close(sigar_t *sigar)
{
    delete sigar;
    return SIGAR_OK;
}
