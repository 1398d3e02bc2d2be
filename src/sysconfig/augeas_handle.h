// Owner of an augeas handle, for the runner and the query.
#pragma once

#include <augeas.h>
#include <malloc.h>

#include <memory>

namespace korvex::sysconfig {

struct AugeasCloser {
    void operator()(augeas *a) const noexcept {
        aug_close(a);
        // A loaded tree is tens of megabytes in small blocks; unless they
        // go back to the system the agent idles at that size until it is
        // restarted.
        malloc_trim(0);
    }
};
using AugeasPtr = std::unique_ptr<augeas, AugeasCloser>;

} // namespace korvex::sysconfig
