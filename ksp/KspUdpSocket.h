#pragma once

#include <netinet/in.h>

#include <string>

// One IPv4 UDP socket bound to a port on every local address, with broadcasting allowed.
// Owns its descriptor; a copy is a closed socket. Send, ReceiveFrom, Receive and Interrupt
// may run concurrently on different threads; Open, Close and destruction must not overlap
// any other call on the same object. Failures are reported on standard error and by the
// result; nothing throws.
class KspUdpSocket {
public:
    KspUdpSocket();
    KspUdpSocket(const KspUdpSocket& other);             // a closed socket
    KspUdpSocket& operator=(const KspUdpSocket& other);  // closes this socket
    virtual ~KspUdpSocket();

    // Opens (replacing an open socket) and binds to `port` (host order) on 0.0.0.0.
    // False after "socket() failed", "bind() failed" or "pipe() failed" (the wake pipe of
    // Interrupt); the socket is then closed. The descriptors are close-on-exec.
    bool Open(unsigned short port);
    // Closes the descriptor; safe on a closed socket.
    void Close();
    bool IsOpen() const { return mFileDescriptor >= 0; }

    // Sends one datagram to `address` (dotted quad) and `port` (host order).
    // False after "Invalid IP address\n", "UDP socket not open\n" or "sendto() failed"
    // (an error, or fewer bytes sent than given). An empty datagram is a valid send.
    bool Send(const unsigned char* data, unsigned long length, const std::string& address,
              unsigned short port) const;
    // Receives one datagram: only one already waiting when `wait` is false, else the next.
    // Returns its length (0 when nothing was received) and, only when one was received,
    // sets the sender's dotted-quad address and port (host order).
    unsigned long ReceiveFrom(unsigned char* buffer, unsigned long size, std::string& address,
                              unsigned short& port, bool wait) const;
    unsigned long Receive(unsigned char* buffer, unsigned long size, bool wait) const;

    // Ends every ReceiveFrom blocked with `wait` true and makes later ones return 0 at once,
    // until the next Open. Lets an owner stop a receiving thread that no datagram would wake.
    void Interrupt() const;

private:
    int mFileDescriptor;
    sockaddr_in mSockAddr;
    int mWakeDescriptor[2];  // self-pipe that Interrupt writes to; -1 while closed
};
