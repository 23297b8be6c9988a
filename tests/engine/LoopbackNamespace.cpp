#include "tests/engine/LoopbackNamespace.h"

#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
bool gEntered = false;

class Descriptor {
public:
    explicit Descriptor(int fd) : mFd(fd) {}
    ~Descriptor() {
        if (mFd >= 0) {
            close(mFd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return mFd; }

private:
    int mFd;
};

bool BringLoopbackUp() {
    Descriptor socketFd(socket(AF_INET, SOCK_DGRAM, 0));
    if (socketFd.Get() < 0) {
        perror("socket() failed");
        return false;
    }
    ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(socketFd.Get(), SIOCGIFFLAGS, &request) != 0) {
        perror("ioctl(SIOCGIFFLAGS) failed");
        return false;
    }
    request.ifr_flags |= IFF_UP;
    if (ioctl(socketFd.Get(), SIOCSIFFLAGS, &request) != 0) {
        perror("ioctl(SIOCSIFFLAGS) failed");
        return false;
    }
    return true;
}
}  // namespace

bool LoopbackNamespace::Enter() {
    if (gEntered) {
        return true;
    }
    // A user namespace lets an unprivileged developer run the same tests; it is only tried
    // when the plain network namespace is refused.
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET) failed");
        return false;
    }
    gEntered = BringLoopbackUp();
    return gEntered;
}

bool LoopbackNamespace::IsEntered() {
    return gEntered;
}
