// A stranger at the shared port, run under another user (setpriv) by the port-sharing tests:
//   owner ID ADDRESS  binds "@qipfinder/19375" and tells every subscriber that ID answered
//                     from ADDRESS, which no device said; prints "serving" once bound.
//   hold N            subscribes N times to the owner and holds the connections open without
//                     reading; prints "listen-only K, full M" once all are answered.
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "qip/QipPacket.h"
#include "qip/QipShareConnection.h"
#include "qip/QipShareServer.h"
#include "qip/QipShareWire.h"

namespace {

int Hold(int count) {
    std::vector<std::unique_ptr<QipShareConnection>> held;
    int listenOnly = 0, full = 0;
    for (int i = 0; i < count; ++i) {
        held.emplace_back(new QipShareConnection());
        std::string error;
        const QipShareConnection::JoinResult result = held.back()->Join(19375, error);
        listenOnly += result == QipShareConnection::cJoined && held.back()->IsListenOnly() ? 1 : 0;
        full += result == QipShareConnection::cFull ? 1 : 0;
    }
    printf("listen-only %d, full %d\n", listenOnly, full);
    fflush(stdout);
    for (;;) pause();
}

int Serve(const char* id, const char* address) {
    const int listenerFd = QipShareServer::Claim(19375);
    if (listenerFd < 0) {
        perror("bind");
        return 1;
    }
    KspDescriptor listener(listenerFd);
    unsigned char datagram[1472];
    const QipPacketHello hello("QipSim", id, address, "255.255.255.0", "/status.xml", "1");
    const unsigned long length = hello.Serialize(datagram, sizeof datagram);
    in_addr sender;
    inet_pton(AF_INET, address, &sender);
    std::string greeting;
    QipShareWire::EncodeWelcome(greeting, QipShareWire::cAccepted);
    QipShareWire::EncodeHello(greeting, ntohl(sender.s_addr), 0, "eth0", datagram, length);
    QipShareWire::EncodeSnapshotEnd(greeting);
    std::string keepAlive;
    QipShareWire::EncodeKeepAlive(keepAlive);
    printf("serving\n");
    fflush(stdout);
    std::vector<std::unique_ptr<KspDescriptor>> peers;
    for (;;) {
        pollfd fd = {listener.Get(), POLLIN, 0};
        if (poll(&fd, 1, 1000) > 0) {
            std::unique_ptr<KspDescriptor> peer(new KspDescriptor(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
            if (peer->Get() >= 0 && send(peer->Get(), greeting.data(), greeting.size(), MSG_NOSIGNAL) > 0) {
                peers.push_back(std::move(peer));
            }
        }
        for (const auto& peer : peers) {
            ssize_t sent = send(peer->Get(), keepAlive.data(), keepAlive.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)sent;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "owner" && argc == 4) return Serve(argv[2], argv[3]);
    if (mode == "hold" && argc == 3) return Hold(atoi(argv[2]));
    fprintf(stderr, "usage: %s owner ID ADDRESS | hold N\n", argv[0]);
    return 2;
}
