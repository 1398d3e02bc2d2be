// The major version is read from whatever "puppet --version" prints; the
// output is handed to the version reading as the check gets it, a text
// that ends at its first NUL byte.
#include "fuzz_support.h"

#include <korvex/kcommon.h>
#include <sysconfig_internal.h>

#include <algorithm>
#include <climits>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kx_log_level = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string output(reinterpret_cast<const char *>(data), size);
    output.resize(std::min(output.find('\0'), output.size()));
    const unsigned int untouched = 0xdeadbeef;
    unsigned int major = untouched;
    const int result = parse_puppet_version(output.c_str(), &major);
    const size_t dot = output.find('.');
    const size_t first = output.find_first_not_of(kCSpaces);
    const bool readable = dot != std::string::npos && first < dot && is_c_digit(output[first]);

    if (!readable) {
        require(result == KX_RES_FAILED,
                "version taken from output without a number before the dot", output);
        require(major == untouched, "major version changed by a failed check", output);
        return 0;
    }
    require(result == KX_RES_OK, "version refused although a number precedes the dot", output);
    unsigned long long value = 0;
    for (size_t i = first; i < dot && is_c_digit(output[i]) && value <= UINT_MAX; ++i)
        value = value * 10 + static_cast<unsigned long long>(output[i] - '0');
    if (value <= UINT_MAX)
        require(major == value, "major version is not the number before the dot", output);
    return 0;
}
