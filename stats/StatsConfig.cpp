#include "stats/StatsConfig.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace lfstats {

IniDocument IniDocument::Parse(std::string_view text) {
    IniDocument doc;
    doc.m_doc = lf::IniDocument::Parse(text, lf::kConfigurationSyntax);
    return doc;
}

bool IniDocument::Load(const std::string& path, IniDocument* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) return false;
    *out = Parse(buf.str());
    return true;
}

std::string IniDocument::Get(std::string_view section, std::string_view key,
                             std::string_view fallback) const {
    return m_doc.GetString(section, key, fallback);
}

std::vector<std::string> SplitKeywords(std::string_view list) {
    if (list.size() > kKeywordListLimit) list = list.substr(0, kKeywordListLimit);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(';', pos);
        if (end == std::string_view::npos) end = list.size();
        if (end > pos) out.emplace_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

std::vector<std::string> ReadSubmitUrls(const IniDocument& ini, std::string_view section) {
    std::vector<std::string> out;
    std::string first = ini.Get(section, kKeySubmitUrl);
    if (!first.empty()) out.push_back(first);
    // Further addresses: SubmitUrl1, SubmitUrl2, ... until the first empty one.
    for (int i = 1; i < 1000; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "%s%1d", kKeySubmitUrl, i);
        std::string url = ini.Get(section, key);
        if (url.empty()) break;
        out.push_back(url);
    }
    return out;
}

bool IsAcceptedResponse(std::string_view response) {
    return response.find("\"error\":0") != std::string_view::npos;
}

std::string BuildConfigurationText(std::string_view server) {
    std::string s(server);
    std::string text;
    text += "[SubmitEventDownload]\r\n";
    text += "SubmitUrl=" + s + "/launchersubmit/eventInfoSubmit\r\n";
    text += "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n";
    text += "SubmitDataKeyWord=MachId;Mac;OS\r\n";
    text += "\r\n[SubmitEventDownloadSeveral]\r\n";
    text += "SubmitUrl=" + s + "/launchersubmit/eventListSubmit\r\n";
    text += "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n";
    text += "SubmitDataKeyWord=MachId;Mac;OS\r\n";
    text +=
        "\r\n[OsTypeCode]\r\n"
        "WIN_XP_SP2=512\r\nWIN_XP_SP3=513\r\n"
        "WIN_2003_SP0=520\r\nWIN_2003_SP1=521\r\nWIN_2003_SP2=522\r\n"
        "WIN_VISTA_SP0=600\r\nWIN_VISTA_SP1=601\r\nWIN_VISTA_SP2=602\r\n"
        "WIN_7_SP0=610\r\nWIN_7_SP1=611\r\n"
        "WIN_8_SP0=620\r\nWIN_8_SP1=621\r\nWIN_8.1_SP0=630\r\n"
        "Other=999\r\n";
    return text;
}

std::string StatisticsServer(std::string_view builtIn) {
    const char* env = std::getenv(kServerEnvironment);
    return (env != nullptr && *env != 0) ? std::string(env) : std::string(builtIn);
}

bool WriteConfigurationFile(const std::string& path, std::string_view text) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace lfstats
