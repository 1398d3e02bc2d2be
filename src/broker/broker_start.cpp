// The launcher's process becomes the broker; a forked child sets up the
// federation meanwhile. Neither waits for the other.
#include "broker_launcher.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

extern "C" int broker_os_start_broker(char **argv) {
    pid_t pid = fork();
    if (pid < 0) {
        int error = errno;
        std::perror("fork()");
        return error;
    }
    if (pid == 0) {
        broker_federation_configure();
        return 0;
    }
    execvp("qpidd", argv);
    int error = errno;
    std::perror("exec()");
    return error;
}
