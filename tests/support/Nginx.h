// nginx on a free loopback port serving a folder, started by a test and
// stopped when the object goes away.
#pragma once

#include <string>

#include "tests/support/TestDirs.h"

namespace lftest {

class NginxServer {
public:
    // Serves `root` at "/". `serverExtra` is added inside the server block
    // (extra locations such as "location /slow/ { alias ROOT/; limit_rate 1m; }").
    // `worker_connections` is 1024, enough for many parallel ranges.
    bool Start(const std::string& root, const std::string& serverExtra = "");
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const;
    const std::string& ErrorLog() const { return m_errorLog; }
    std::string AccessLog() const;

private:
    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
    std::string m_errorLog;
};

}  // namespace lftest
