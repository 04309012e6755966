#include "tests/support/Nginx.h"

#include <sys/stat.h>

#include <cstdio>

namespace lftest {

bool NginxServer::Start(const std::string& root, const std::string& serverExtra) {
    m_port = FreeTcpPort();
    const std::string d = m_dir.Path();
    for (const char* sub : {"body", "proxy", "fastcgi", "uwsgi", "scgi"})
        mkdir((d + "/" + sub).c_str(), 0755);
    m_errorLog = d + "/error.log";
    std::string conf;
    conf += "daemon off;\nworker_processes 1;\nuser root;\n";
    conf += "pid " + d + "/nginx.pid;\nerror_log " + m_errorLog + " warn;\n";
    conf += "events { worker_connections 1024; }\nhttp {\n";
    conf += "  access_log " + d + "/access.log;\n";
    conf += "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n";
    conf += "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n";
    conf += "  scgi_temp_path " + d + "/scgi;\n";
    conf += "  types { application/octet-stream bin; }\n  default_type application/octet-stream;\n";
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(m_port) + ";\n";
    conf += "    root " + root + ";\n" + serverExtra + "\n  }\n}\n";
    WriteFile(d + "/nginx.conf", conf);
    if (!m_process.Start({"nginx", "-c", d + "/nginx.conf", "-p", d + "/", "-e", m_errorLog},
                         d + "/stdout.log")) {
        return false;
    }
    return WaitForTcpPort(m_port);
}

std::string NginxServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string NginxServer::AccessLog() const {
    return ReadFile(m_dir.Path() + "/access.log");
}

}  // namespace lftest
