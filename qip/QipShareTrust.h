#pragma once

#include <sys/types.h>

#include <string>

// Whom a program believes about the shared discovery port. The abstract socket of the port
// has no permissions: any local user can bind the name before the first QIP program, or in
// the moment after its owner ends, and a believed owner decides what its subscribers list
// and learns where they probe. So a subscriber believes an owner, and an owner takes probe
// targets and broadcast requests from a subscriber, only when the peer's user (SO_PEERCRED)
// is root, this program's own user, or the package's service account cServiceUser.
//
// The overflow uid (/proc/sys/kernel/overflowuid, 65534) is never believed, even when it is
// this program's own: inside a user namespace (the installed service's PrivateUsers=yes)
// every user outside the namespace appears as it, so it stands for anyone.
//
// Pure apart from the Is*Trusted(uid) forms, which read this process's user, the password
// database (getpwnam at each call, so the account counts as soon as it exists) and the
// overflow uid. Any thread.
class QipShareTrust {
public:
    static const char* const cServiceUser;  // "qip-exporter"

    // Pure: whether a peer of `peer` is believed by a program of `own`; `service` is the
    // service account's uid, or -1 when it does not exist.
    static bool IsTrusted(uid_t peer, uid_t own, long service, uid_t overflow);
    // The same for this process now.
    static bool IsTrusted(uid_t peer);
    // The user's name from the password database, else the number.
    static std::string UserName(uid_t uid);
    // The peer of a connected UNIX socket; false (pid and uid left as they are) when the
    // system does not tell.
    static bool GetPeer(int fd, pid_t& pid, uid_t& uid);
};
