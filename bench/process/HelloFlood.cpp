#include "bench/process/HelloFlood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "qip/QipClient.h"
#include "qip/QipPacket.h"

namespace {

const unsigned cBatch = 256;

}  // namespace

HelloFlood::HelloFlood(const std::string& deviceType, const std::string& idPrefix, unsigned long idCount,
                       const std::string& sourceAddress)
    : mSourceAddress(sourceAddress) {
    unsigned char buffer[QipClient::cBufferSize];
    mOffsets.reserve(idCount + 1);
    for (unsigned long i = 0; i < idCount; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "%06lu", i);
        QipPacketHello hello(deviceType, idPrefix + id, sourceAddress, "255.255.255.0", "/status.xml", "1");
        unsigned long length = hello.Serialize(buffer, sizeof buffer);
        mOffsets.push_back(mBytes.size());
        mBytes.insert(mBytes.end(), buffer, buffer + length);
    }
    mOffsets.push_back(mBytes.size());
}

bool HelloFlood::Send(const std::string& destination, double seconds, unsigned long rate) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket() failed");
        return false;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(QipClient::cPort);
    inet_pton(AF_INET, mSourceAddress.c_str(), &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(QipClient::cPort);
    inet_pton(AF_INET, destination.c_str(), &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("bind() or connect() failed for the flood");
        close(fd);
        return false;
    }
    const size_t count = mOffsets.size() - 1;
    iovec parts[cBatch];
    mmsghdr messages[cBatch];
    std::memset(messages, 0, sizeof messages);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    size_t next = 0;
    mSent = 0;
    while (Clock::now() < end) {
        if (rate > 0) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(double(mSent) / rate)));
        }
        for (unsigned m = 0; m < cBatch; ++m) {
            size_t at = (next + m) % count;
            parts[m].iov_base = &mBytes[mOffsets[at]];
            parts[m].iov_len = mOffsets[at + 1] - mOffsets[at];
            messages[m].msg_hdr.msg_iov = &parts[m];
            messages[m].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(fd, messages, cBatch, 0);
        if (sent < 0) {
            // A full queue on the way is the flood working as meant: try again.
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) continue;
            std::perror("sendmmsg() failed");
            break;
        }
        next = (next + static_cast<size_t>(sent)) % count;
        mSent += static_cast<unsigned long long>(sent);
    }
    mSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return mSent > 0;
}
