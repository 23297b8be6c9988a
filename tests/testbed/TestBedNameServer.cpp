#include "tests/testbed/TestBedNameServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

TestBedNameServer::TestBedNameServer(const TestBed& bed)
    : mDirectory("/etc/netns/" + bed.GetHostNamespace()) {
    TestBed::EnterHost host(bed);
    mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    mIsReady = host.IsEntered() && mFd >= 0 &&
               bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    mkdir("/etc/netns", 0755);
    mkdir(mDirectory.c_str(), 0755);
    std::ofstream(mDirectory + "/resolv.conf") << "nameserver 127.0.0.1\n";
}

void TestBedNameServer::AddHost(const std::string& name, const std::string& address) {
    std::ofstream hosts(mDirectory + "/hosts", std::ios::app);
    if (hosts.tellp() == 0) hosts << "127.0.0.1 localhost\n";
    hosts << address << " " << name << "\n";
}

TestBedNameServer::~TestBedNameServer() {
    unlink((mDirectory + "/hosts").c_str());
    unlink((mDirectory + "/resolv.conf").c_str());
    rmdir(mDirectory.c_str());
    if (mFd >= 0) close(mFd);
}
