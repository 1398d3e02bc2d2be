#include "korvex/kcommon.h"

#include <cstring>

extern "C" void kx_string_copy(char *dst, const char *src, size_t size)
{
    if (dst == nullptr || size == 0)
        return;
    if (src == nullptr)
        src = "";
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}
