// An HTTP server on 127.0.0.1 that serves the files of one folder, for
// run_uri requests. It runs as its own process on a port the kernel
// picked, and records every path it was asked for.
#ifndef KORVEX_TEST_SYSCONFIG_DOCUMENT_SERVER_H
#define KORVEX_TEST_SYSCONFIG_DOCUMENT_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace korvex::test {

class DocumentServer {
public:
    DocumentServer();
    DocumentServer(const DocumentServer &) = delete;
    DocumentServer &operator=(const DocumentServer &) = delete;

    // Makes `content` available as http://127.0.0.1:PORT/name.
    std::string publish(const std::string &name, const std::string &content);
    // URL of a name that is not published (answered with 404).
    std::string url(const std::string &name) const;
    // Paths requested so far, in order.
    std::vector<std::string> requests() const;

private:
    TempDir dir_;
    std::unique_ptr<Process> process_;
    std::string port_;
};

} // namespace korvex::test

#endif
