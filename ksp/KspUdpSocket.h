#pragma once

#include <netinet/in.h>

#include <stdint.h>

#include <string>

// One IPv4 UDP socket bound to a port on every local address, with broadcasting allowed.
// Owns its descriptor; a copy is a closed socket. Send, ReceiveFrom, Receive and Interrupt
// may run concurrently on different threads; Open, Close and destruction must not overlap
// any other call on the same object. Failures are reported on standard error and by the
// result; nothing throws.
class KspUdpSocket {
public:
    // Whether a port is taken by another socket of this machine (see ProbePort).
    enum PortState { cPortFree, cPortInUse, cPortUnknown };

    // What ReceiveMessage learns beside the bytes.
    struct ReceiveInfo {
        std::string mAddress;         // the sender, dotted quad
        unsigned short mPort = 0;     // the sender's port, host order
        int mInterfaceIndex = 0;      // the interface it arrived on; 0 when not known
        // The kernel's running total (wrapping) of datagrams it dropped for want of buffer
        // space, as it stood when this datagram was queued; the kernel attaches it only once
        // it is not 0, so drops show on the first datagram queued after them.
        bool mHasDropCount = false;
        uint32_t mDropCount = 0;
    };

    // Looks the port up in the kernel's UDP socket tables of the calling thread's network
    // namespace (/proc/thread-self/net/udp and udp6), without binding anything, so that no other program's Open
    // can fail for it: cPortInUse when any socket is bound to `port` (on any address,
    // whatever its options), cPortFree when none is, cPortUnknown when the tables cannot
    // be read (reported as "fopen() failed"). Call it before this process opens the port.
    static PortState ProbePort(unsigned short port);
    KspUdpSocket();
    KspUdpSocket(const KspUdpSocket& other);             // a closed socket
    KspUdpSocket& operator=(const KspUdpSocket& other);  // closes this socket
    virtual ~KspUdpSocket();

    // Opens (replacing an open socket) and binds to `port` (host order) on 0.0.0.0.
    // False after "socket() failed", "bind() failed" or "pipe() failed" (the wake pipe of
    // Interrupt); the socket is then closed. The descriptors are close-on-exec.
    bool Open(unsigned short port);
    // Raises the receive buffer to the larger of `bytes` and the system's maximum
    // (/proc/sys/net/core/rmem_max): with SO_RCVBUFFORCE where the process may pass that
    // maximum (CAP_NET_ADMIN), else with SO_RCVBUF, which the kernel caps at it. Returns the
    // size the kernel then reports (which counts its own overhead, about twice what was
    // asked), 0 when the socket is closed. Failing to raise it is not an error and writes
    // nothing.
    int RaiseReceiveBuffer(int bytes = 0) const;
    // Asks the kernel to attach to each datagram its drop count (SO_RXQ_OVFL) and the
    // interface it arrived on (IP_PKTINFO), for ReceiveMessage. False when either could not
    // be set (nothing is written); ReceiveMessage then reports what it has.
    bool EnableReceiveInfo() const;
    // Closes the descriptor; safe on a closed socket.
    void Close();
    bool IsOpen() const { return mFileDescriptor >= 0; }
    // The descriptor, for a caller that polls it beside others; -1 while closed.
    int GetDescriptor() const { return mFileDescriptor; }

    // Sends one datagram to `address` (dotted quad) and `port` (host order).
    // False after "Invalid IP address\n", "UDP socket not open\n" or "sendto() failed"
    // (an error, or fewer bytes sent than given). An empty datagram is a valid send.
    bool Send(const unsigned char* data, unsigned long length, const std::string& address,
              unsigned short port) const;
    // The same for a caller that reports failures itself (many sends, one summary): a
    // failed sendto is not written to standard error but its error number is stored in
    // *errorNumber. The address and not-open lines are written as by Send.
    bool Send(const unsigned char* data, unsigned long length, const std::string& address,
              unsigned short port, int* errorNumber) const;
    // Receives one datagram: only one already waiting when `wait` is false, else the next.
    // Returns its length (0 when nothing was received) and, only when one was received,
    // sets the sender's dotted-quad address and port (host order).
    unsigned long ReceiveFrom(unsigned char* buffer, unsigned long size, std::string& address,
                              unsigned short& port, bool wait) const;
    unsigned long Receive(unsigned char* buffer, unsigned long size, bool wait) const;
    // As ReceiveFrom, with what the kernel attaches (see EnableReceiveInfo). `info` is
    // written only when a datagram was received; failures are reported as by ReceiveFrom.
    unsigned long ReceiveMessage(unsigned char* buffer, unsigned long size, ReceiveInfo& info,
                                 bool wait) const;

    // Ends every ReceiveFrom blocked with `wait` true and makes later ones return 0 at once,
    // until the next Open. Lets an owner stop a receiving thread that no datagram would wake.
    void Interrupt() const;

private:
    int mFileDescriptor;
    sockaddr_in mSockAddr;
    int mWakeDescriptor[2];  // self-pipe that Interrupt writes to; -1 while closed
};
