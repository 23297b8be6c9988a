#pragma once

// What the port-sharing test bed tests share: waiting on a program's output, the watch they
// run, and hellos sent by hand to the bed's host.
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qip/QipPacket.h"
#include "tests/testbed/TestBed.h"

// Waits (up to the bed's generous bound) until `done` holds for the output of `pid`.
inline bool WaitForOutput(const TestBed& bed, pid_t pid, const std::function<bool(const std::string&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(TestBed::cDefaultTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done(bed.GetOutput(pid))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done(bed.GetOutput(pid));
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline bool HasAll(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        if (!Has(text, part)) return false;
    }
    return true;
}

const std::vector<std::string> cWatch = {"qip-discover", "--watch", "--no-ssid", "--verbose"};

inline void SendUdp(int fd, const std::string& datagram) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(19375);
    to.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1, the bed's host
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

inline std::string Hello(const std::string& id, const std::string& url) {
    unsigned char buffer[1472];
    const QipPacketHello hello("QipSim", id, "192.0.2.30", "255.255.255.0", url, "1");
    return std::string(reinterpret_cast<char*>(buffer), hello.Serialize(buffer, sizeof buffer));
}
