// Real HTTP and FTP servers on 127.0.0.1 for the transfer tests, started by servers.sh
// on free ports under one directory (see there). A test program under Wine cannot start
// Linux programs that it could stop again, so for the Windows build a CTest fixture
// starts them and names the directory in OSMEL_NET_SERVERS; otherwise the test program
// starts and stops them itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/System.h"
#include "platform/TcpStream.h"

namespace testservers {

inline std::uint16_t FreePort() {
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    return listener != nullptr ? listener->Port() : 0;
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class Servers {
public:
    Servers() {
        const char* given = std::getenv("OSMEL_NET_SERVERS");
        if (given != nullptr && *given != '\0') {
            m_dir = given;
        } else {
            m_dir = std::filesystem::temp_directory_path() /
                    ("osmel-net-" + std::to_string(Platform::GetCurrentProcessId()));
            m_owned = true;
            Run("start");
        }
        m_http = ReadPort("http.port");
        m_https = ReadPort("https.port");
        m_ftp = ReadPort("ftp.port");
        m_reset = ReadPort("reset.port");
        m_proxy = ReadPort("proxy.port");
    }
    ~Servers() {
        if (m_owned) {
            Run("stop");
        }
    }
    Servers(const Servers&) = delete;
    Servers& operator=(const Servers&) = delete;

    bool Ready() const {
        return m_http != 0 && m_https != 0 && m_ftp != 0 && m_reset != 0 && m_proxy != 0;
    }
    // What the servers serve.
    std::filesystem::path Www() const { return m_dir / "www"; }
    std::string HttpURL(const std::string& path) const { return URL("http", m_http, path); }
    // nginx over https, with a certificate nobody vouches for.
    std::string HttpsURL(const std::string& path) const { return URL("https", m_https, path); }
    std::string FtpURL(const std::string& path) const { return URL("ftp", m_ftp, path); }
    // tinyproxy, as http_proxy and https_proxy name it.
    std::string ProxyAddress() const { return "http://127.0.0.1:" + std::to_string(m_proxy); }
    // The FTP server that resets the control connection at its first RETR.
    std::uint16_t ResetFtpPort() const { return m_reset; }

    // nginx: the request, status, Range, Pragma and Cache-Control of every request.
    std::string HttpLog() const { return ReadText(m_dir / "nginx" / "access.log"); }
    // nginx's https server: one info line per refused handshake, among others.
    std::string HttpsErrorLog() const { return ReadText(m_dir / "nginx" / "https-error.log"); }
    // tinyproxy: every request it carried.
    std::string ProxyLog() const { return ReadText(m_dir / "proxy" / "tinyproxy.log"); }
    // vsftpd: the FTP protocol.
    std::string FtpLog() const { return ReadText(m_dir / "ftp" / "vsftpd.log"); }
    // The resetting server: every command it received.
    std::string ResetFtpCommands() const { return ReadText(m_dir / "reset" / "commands.log"); }

private:
    void Run(const char* command) const {
        const std::string line = std::string("bash '") + OSMEL_NET_SERVERS_SCRIPT + "' " + command +
                                 " '" + m_dir.string() + "'";
        // The ports stay unread when the start failed, which Ready tells.
        static_cast<void>(std::system(line.c_str()));
    }
    std::uint16_t ReadPort(const char* name) const {
        const std::string text = ReadText(m_dir / name);
        const int port = std::atoi(text.c_str());
        return port > 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : 0;
    }
    static std::string URL(const char* scheme, std::uint16_t port, const std::string& path) {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/" + path;
    }

    std::filesystem::path m_dir;
    bool m_owned = false;
    std::uint16_t m_http = 0;
    std::uint16_t m_https = 0;
    std::uint16_t m_ftp = 0;
    std::uint16_t m_reset = 0;
    std::uint16_t m_proxy = 0;
};

}  // namespace testservers
