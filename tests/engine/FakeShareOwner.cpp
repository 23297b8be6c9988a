// A stranger posing as the owner of the shared port: binds "@qipfinder/19375" and tells every
// subscriber that `<id>` answered from `<address>`, which no device said. Run under another
// user (setpriv) by the port-sharing tests; prints "serving" once the name is bound.
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <memory>
#include <string>
#include <vector>

#include "ksp/KspDescriptor.h"
#include "qip/QipPacket.h"
#include "qip/QipShareServer.h"
#include "qip/QipShareWire.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ID ADDRESS\n", argv[0]);
        return 2;
    }
    const int listenerFd = QipShareServer::Claim(19375);
    if (listenerFd < 0) {
        perror("bind");
        return 1;
    }
    KspDescriptor listener(listenerFd);
    unsigned char datagram[1472];
    const QipPacketHello hello("QipSim", argv[1], argv[2], "255.255.255.0", "/status.xml", "1");
    const unsigned long length = hello.Serialize(datagram, sizeof datagram);
    in_addr sender;
    inet_pton(AF_INET, argv[2], &sender);
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
