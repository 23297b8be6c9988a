#include "bench/exporter/ExporterBenchSupport.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>

namespace {

size_t CountEntries(const std::string& folder) {
    size_t count = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (readdir(d) != nullptr) ++count;
        closedir(d);
    }
    return count > 2 ? count - 2 : 0;
}

}  // namespace

// GET `path` from host:port over a fresh connection; the body, empty on failure.
std::string HttpGet(const std::string& host, int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string();
    // A server that never answers fails the scrape instead of holding up the benchmark.
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
        if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0 || body == std::string::npos) return std::string();
    return answer.substr(body + 4);
}

long ReadRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    }
    return -1;
}

size_t CountDescriptors(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/fd"); }
size_t CountThreads(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/task"); }

bool MakeWebConfig(const std::string& folder, bool tls, int cost) {
    const std::string script =
        "cd '" + folder + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -keyout ca.key -out ca.crt -days 2 -subj /CN=ca && openssl req -newkey ec -pkeyopt"
        " ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr -subj /CN=bench &&"
        " printf 'subjectAltName=IP:192.0.2.1\\n' >ext && openssl x509 -req -in server.csr -CA ca.crt"
        " -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out server.crt";
    if (tls && system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0) return false;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting, sizeof setting) == nullptr) {
        return false;
    }
    const char* hash = crypt_rn("bench", setting, &data, sizeof data);
    if (hash == nullptr || hash[0] != '$') return false;
    std::ofstream web(folder + "/web.yml");
    if (tls) web << "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
    web << "basic_auth_users:\n  bench: '" << hash << "'\n";
    return true;
}

bool ScrapeOnce(const std::string& folder, bool tls) {
    if (folder.empty()) {
        return HttpGet("192.0.2.1", 19376, "/metrics").find("qip_exporter_build_info") != std::string::npos;
    }
    const std::string command = "curl -s -o /dev/null -w '%{http_code}' --max-time 10 -u bench:bench " +
                                (tls ? "--cacert " + folder + "/ca.crt https" : std::string("http")) +
                                "://192.0.2.1:19376/metrics";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char code[16] = "";
    const bool read = fgets(code, sizeof code, pipe) != nullptr;
    pclose(pipe);
    return read && strcmp(code, "200") == 0;
}
