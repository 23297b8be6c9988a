// Linux tells each datagram's arrival interface (IP_PKTINFO) and the socket's drops
// (SO_RXQ_OVFL), and lets a privileged process pass the buffer limit (SO_RCVBUFFORCE): none is
// POSIX; glibc declares them for BSD's interfaces, which this file alone asks for.
#define _DEFAULT_SOURCE 1
#include "ksp/KspUdpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ksp/KspDescriptor.h"

namespace {

void CloseDescriptor(int& descriptor)
{
    if (descriptor >= 0) {
        close(descriptor);
    }
    descriptor = -1;
}

}  // namespace

KspUdpSocket::KspUdpSocket() : mFileDescriptor(-1), mWakeDescriptor{-1, -1}
{
    memset(&mSockAddr, 0, sizeof(mSockAddr));
}

// A descriptor is never shared: the copy starts closed.
KspUdpSocket::KspUdpSocket(const KspUdpSocket&) : KspUdpSocket() {}

KspUdpSocket& KspUdpSocket::operator=(const KspUdpSocket& other)
{
    if (this != &other) {
        Close();
    }
    return *this;
}

KspUdpSocket::~KspUdpSocket() { Close(); }

bool KspUdpSocket::Open(unsigned short port)
{
    Close();
    // Close-on-exec keeps the bound port from leaking into programs started later
    // (the browser that the application opens, for one).
    mFileDescriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (mFileDescriptor < 0) {
        perror("socket() failed");
        Close();
        return false;
    }
    const int on = 1;
    setsockopt(mFileDescriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(mFileDescriptor, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));

    mSockAddr.sin_family = AF_INET;
    mSockAddr.sin_port = htons(port);
    mSockAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(mFileDescriptor, reinterpret_cast<const sockaddr*>(&mSockAddr), sizeof(mSockAddr)) != 0) {
        perror("bind() failed");
        Close();
        return false;
    }
    // Without the wake pipe a waiting receive could never be interrupted.
    if (KspDescriptor::OpenPipe(mWakeDescriptor) != 0) {
        perror("pipe() failed");
        Close();
        return false;
    }
    return true;
}

void KspUdpSocket::Close()
{
    CloseDescriptor(mFileDescriptor);
    CloseDescriptor(mWakeDescriptor[0]);
    CloseDescriptor(mWakeDescriptor[1]);
    memset(&mSockAddr, 0, sizeof(mSockAddr));
}

bool KspUdpSocket::Send(const unsigned char* data, unsigned long length, const std::string& address,
                        unsigned short port) const
{
    return Send(data, length, address, port, nullptr);
}

bool KspUdpSocket::Send(const unsigned char* data, unsigned long length, const std::string& address,
                        unsigned short port, int* errorNumber) const
{
    in_addr destinationAddress;
    if (inet_pton(AF_INET, address.c_str(), &destinationAddress) != 1) {
        fputs("Invalid IP address\n", stderr);
        return false;
    }
    if (!IsOpen()) {
        fputs("UDP socket not open\n", stderr);
        return false;
    }
    sockaddr_in destination;
    memset(&destination, 0, sizeof(destination));
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr = destinationAddress;
    const ssize_t sent = sendto(mFileDescriptor, data, length, 0,
                                reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
    // An empty datagram is sent with a result of 0; only a short or failed send is an error.
    if (sent < 0 || static_cast<unsigned long>(sent) != length) {
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (errorNumber != nullptr) {
            *errorNumber = error;
        } else {
            errno = error;
            perror("sendto() failed");
        }
        return false;
    }
    return true;
}

unsigned long KspUdpSocket::ReceiveFrom(unsigned char* buffer, unsigned long size, std::string& address,
                                        unsigned short& port, bool wait) const
{
    ReceiveInfo info;
    const unsigned long count = ReceiveMessage(buffer, size, info, wait);
    if (count > 0 || !info.mAddress.empty()) {
        address = info.mAddress;
        port = info.mPort;
    }
    return count;
}

unsigned long KspUdpSocket::ReceiveMessage(unsigned char* buffer, unsigned long size, ReceiveInfo& info,
                                           bool wait) const
{
    if (!IsOpen()) {
        fputs("UDP socket not open\n", stderr);
        return 0;
    }
    // Room for the drop count and the arrival interface, the two messages asked for.
    union {
        cmsghdr mAlign;
        unsigned char mBytes[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(in_pktinfo))];
    } control;
    for (;;) {
        sockaddr_in sender;
        memset(&sender, 0, sizeof(sender));
        iovec data = {buffer, size};
        msghdr message;
        memset(&message, 0, sizeof(message));
        message.msg_name = &sender;
        message.msg_namelen = sizeof(sender);
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.mBytes;
        message.msg_controllen = sizeof(control.mBytes);
        // Never block here: only the poll below can be interrupted. Trying first saves a
        // readiness test per datagram when they arrive faster than they are read.
        const ssize_t received = recvmsg(mFileDescriptor, &message, MSG_DONTWAIT);
        if (received >= 0) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sender.sin_addr, text, sizeof(text));
            info.mAddress = text;
            info.mPort = ntohs(sender.sin_port);
            info.mInterfaceIndex = 0;
            info.mHasDropCount = false;
            info.mDropCount = 0;
            for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
                 part = CMSG_NXTHDR(&message, part)) {
                if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SO_RXQ_OVFL) {
                    memcpy(&info.mDropCount, CMSG_DATA(part), sizeof(info.mDropCount));
                    info.mHasDropCount = true;
                } else if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
                    in_pktinfo arrival;
                    memcpy(&arrival, CMSG_DATA(part), sizeof(arrival));
                    info.mInterfaceIndex = arrival.ipi_ifindex;
                }
            }
            return static_cast<unsigned long>(received);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            perror("recv() failed");
            return 0;
        }
        // Nothing waiting. After a wait this happens too: a datagram seen as ready may
        // already be gone (a checksum failure), and the wait starts over.
        if (!wait) {
            return 0;
        }
        pollfd watched[2] = {{mFileDescriptor, POLLIN, 0}, {mWakeDescriptor[0], POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("select() failed");  // the readiness wait, under its usual name
            return 0;
        }
        // The wake byte is left in the pipe so that every later wait ends at once too.
        if (watched[1].revents != 0) {
            return 0;
        }
    }
}

unsigned long KspUdpSocket::Receive(unsigned char* buffer, unsigned long size, bool wait) const
{
    std::string address;
    unsigned short port = 0;
    return ReceiveFrom(buffer, size, address, port, wait);
}

KspUdpSocket::PortState KspUdpSocket::ProbePort(unsigned short port)
{
    // The kernel's socket tables of this network namespace, read rather than tried: a trial
    // bind would hold the port for a moment, and another program's Open would fail then.
    // An IPv6 socket on the port takes IPv4 datagrams too unless it is IPv6-only.
    // The calling thread's own tables: a thread may have entered another namespace than the
    // process's first thread, which /proc/net follows.
    const bool isThreadSelf = access("/proc/thread-self/net/udp", R_OK) == 0;
    const char* const ipv4 = isThreadSelf ? "/proc/thread-self/net/udp" : "/proc/net/udp";
    const char* const ipv6 = isThreadSelf ? "/proc/thread-self/net/udp6" : "/proc/net/udp6";
    PortState state = cPortFree;
    for (const char* table : {ipv4, ipv6}) {
        FILE* file = fopen(table, "re");
        if (file == nullptr) {
            if (errno != ENOENT || table == ipv4) {
                perror("fopen() failed");
                return cPortUnknown;
            }
            continue;  // a kernel without IPv6
        }
        // Each line after the heading: "<slot>: <local address hex>:<port hex> ...".
        char line[512];
        bool isHeading = true;
        while (state == cPortFree && fgets(line, sizeof line, file) != nullptr) {
            if (isHeading) {
                isHeading = false;
                continue;
            }
            char local[64];
            unsigned int localPort = 0;
            if (sscanf(line, " %*u: %63[0-9A-Fa-f]:%x", local, &localPort) == 2 &&
                localPort == port) {
                state = cPortInUse;
            }
        }
        fclose(file);
    }
    return state;
}

int KspUdpSocket::RaiseReceiveBuffer(int bytes) const
{
    if (!IsOpen()) {
        return 0;
    }
    FILE* limit = fopen("/proc/sys/net/core/rmem_max", "re");
    if (limit != nullptr) {
        int maximum = 0;
        if (fscanf(limit, "%d", &maximum) == 1 && maximum > bytes) {
            bytes = maximum;
        }
        fclose(limit);
    }
    if (bytes > 0) {
        // SO_RCVBUFFORCE passes the system's maximum but needs CAP_NET_ADMIN; without it
        // SO_RCVBUF still gets as far as that maximum allows.
        if (setsockopt(mFileDescriptor, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0) {
            setsockopt(mFileDescriptor, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        }
    }
    int obtained = 0;
    socklen_t length = sizeof(obtained);
    if (getsockopt(mFileDescriptor, SOL_SOCKET, SO_RCVBUF, &obtained, &length) != 0) {
        return 0;
    }
    return obtained;
}

bool KspUdpSocket::EnableReceiveInfo() const
{
    if (!IsOpen()) {
        return false;
    }
    const int on = 1;
    const bool drops = setsockopt(mFileDescriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)) == 0;
    const bool arrival = setsockopt(mFileDescriptor, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == 0;
    return drops && arrival;
}

void KspUdpSocket::Interrupt() const
{
    if (mWakeDescriptor[1] < 0) {
        return;
    }
    const unsigned char wake = 1;
    // A full pipe already wakes every reader, so a failed write loses nothing.
    ssize_t written = write(mWakeDescriptor[1], &wake, 1);
    (void)written;
}
