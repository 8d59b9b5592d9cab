// Real HTTP and FTP servers on 127.0.0.1 for the transfer tests: each runs in the
// foreground on free ports under a temporary directory and is stopped by its own pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/TcpStream.h"

extern char** environ;

namespace testservers {

inline std::uint16_t FreePort() {
    auto listener = Platform::TcpListener::Listen("127.0.0.1", 0);
    return listener != nullptr ? listener->Port() : 0;
}

// True once the port accepts a connection (servers need a moment after they start).
inline bool WaitForPort(std::uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Platform::TcpStream::Connect("127.0.0.1", port) != nullptr) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
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

// Starts argv with standard output and error sent to a log file; the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& arguments, const std::string& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline void Stop(pid_t pid, int signal) {
    if (pid > 0) {
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

// nginx serving `root`; the access log shows the request, status, Range, Pragma and
// Cache-Control of every request.
class Nginx {
public:
    Nginx(const std::filesystem::path& directory, const std::filesystem::path& root)
        : m_directory(directory), m_port(FreePort()) {
        std::filesystem::create_directories(directory / "tmp");
        const std::string dir = directory.string();
        std::ostringstream conf;
        conf << "daemon off; master_process off; worker_processes 1;\n"
             << "pid " << dir << "/nginx.pid; error_log " << dir << "/error.log warn;\n"
             << "events { worker_connections 64; }\n"
             << "http { log_format probe '$request $status [$http_range] [$http_pragma] "
                "[$http_cache_control]';\n"
             << "  access_log " << dir << "/access.log probe;\n"
             << "  client_body_temp_path " << dir << "/tmp/body; proxy_temp_path " << dir
             << "/tmp/proxy;\n"
             << "  fastcgi_temp_path " << dir << "/tmp/fastcgi; uwsgi_temp_path " << dir
             << "/tmp/uwsgi; scgi_temp_path " << dir << "/tmp/scgi;\n"
             << "  default_type application/octet-stream; sendfile on; tcp_nopush on;\n"
             << "  server { listen 127.0.0.1:" << m_port << "; root " << root.string() << "; } }\n";
        WriteText(directory / "nginx.conf", conf.str());
        m_pid =
            Spawn({"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf"}, dir + "/nginx.out");
        m_ready = m_pid > 0 && WaitForPort(m_port);
    }
    ~Nginx() { Stop(m_pid, SIGQUIT); }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    bool Ready() const { return m_ready; }
    std::uint16_t Port() const { return m_port; }
    std::string URL(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path;
    }
    std::string AccessLog() const { return ReadText(m_directory / "access.log"); }

private:
    std::filesystem::path m_directory;
    std::uint16_t m_port;
    pid_t m_pid = -1;
    bool m_ready = false;
};

// vsftpd serving `root` read-only to anonymous users, logging the FTP protocol.
class Vsftpd {
public:
    Vsftpd(const std::filesystem::path& directory, const std::filesystem::path& root)
        : m_directory(directory), m_port(FreePort()) {
        std::filesystem::create_directories(directory / "empty");
        const std::uint16_t passive = FreePort();
        std::ostringstream conf;
        conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << m_port
             << "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root="
             << root.string() << "\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=YES\n"
             << "pasv_address=127.0.0.1\npasv_min_port=" << passive
             << "\npasv_max_port=" << passive + 20
             << "\nsecure_chroot_dir=" << (directory / "empty").string()
             << "\nxferlog_enable=YES\nxferlog_std_format=NO\nvsftpd_log_file="
             << (directory / "vsftpd.log").string() << "\nlog_ftp_protocol=YES\n";
        WriteText(directory / "vsftpd.conf", conf.str());
        m_pid = Spawn({"/usr/sbin/vsftpd", (directory / "vsftpd.conf").string()},
                      (directory / "vsftpd.out").string());
        m_ready = m_pid > 0 && WaitForPort(m_port);
    }
    ~Vsftpd() { Stop(m_pid, SIGTERM); }
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    bool Ready() const { return m_ready; }
    std::uint16_t Port() const { return m_port; }
    std::string URL(const std::string& path) const {
        return "ftp://127.0.0.1:" + std::to_string(m_port) + "/" + path;
    }
    std::string ProtocolLog() const { return ReadText(m_directory / "vsftpd.log"); }

private:
    std::filesystem::path m_directory;
    std::uint16_t m_port;
    pid_t m_pid = -1;
    bool m_ready = false;
};

}  // namespace testservers
