#include "ksp/KspUdpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (pipe2(mWakeDescriptor, O_CLOEXEC | O_NONBLOCK) != 0) {
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
    in_addr destinationAddress;
    if (inet_aton(address.c_str(), &destinationAddress) == 0) {
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
        perror("sendto() failed");
        return false;
    }
    return true;
}

unsigned long KspUdpSocket::ReceiveFrom(unsigned char* buffer, unsigned long size, std::string& address,
                                        unsigned short& port, bool wait) const
{
    if (!IsOpen()) {
        fputs("UDP socket not open\n", stderr);
        return 0;
    }
    // A zero-timeout readiness test. poll rather than select, whose descriptor set cannot
    // hold a descriptor above FD_SETSIZE; the report keeps the name callers know.
    pollfd socketOnly = {mFileDescriptor, POLLIN, 0};
    const int ready = poll(&socketOnly, 1, 0);
    if (ready < 0) {
        perror("select() failed");
        return 0;
    }
    bool isWaiting = ready > 0;
    if (!isWaiting && !wait) {
        return 0;
    }
    for (;;) {
        if (!isWaiting) {
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
        sockaddr_in sender;
        memset(&sender, 0, sizeof(sender));
        socklen_t senderLength = sizeof(sender);
        // Never block here: the datagram seen as ready may already be gone (another reader,
        // a checksum failure), and only the poll above can be interrupted.
        const ssize_t received = recvfrom(mFileDescriptor, buffer, size, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!wait) {
                    return 0;
                }
                isWaiting = false;
                continue;
            }
            perror("recv() failed");
            return 0;
        }
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sender.sin_addr, text, sizeof(text));
        address = text;
        port = ntohs(sender.sin_port);
        return static_cast<unsigned long>(received);
    }
}

unsigned long KspUdpSocket::Receive(unsigned char* buffer, unsigned long size, bool wait) const
{
    std::string address;
    unsigned short port = 0;
    return ReceiveFrom(buffer, size, address, port, wait);
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
