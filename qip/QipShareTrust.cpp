// The peer's credentials (SO_PEERCRED, struct ucred) are Linux's: this file asks glibc for
// them by name; the portable build holds the rest of the library to POSIX.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "qip/QipShareTrust.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

const char* const QipShareTrust::cServiceUser = "qip-exporter";

namespace {

const uid_t cDefaultOverflowUid = 65534;

uid_t OverflowUid() {
    FILE* file = fopen("/proc/sys/kernel/overflowuid", "re");
    unsigned long value = cDefaultOverflowUid;
    if (file != nullptr) {
        if (fscanf(file, "%lu", &value) != 1) value = cDefaultOverflowUid;
        fclose(file);
    }
    return static_cast<uid_t>(value);
}

// getpwnam_r/getpwuid_r with a buffer that grows, as NSS modules may need more than a page.
template <typename Lookup>
bool LookUp(Lookup lookup, passwd& entry, std::vector<char>& buffer) {
    buffer.resize(1024);
    for (;;) {
        passwd* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found != nullptr;
    }
}

}  // namespace

bool QipShareTrust::IsTrusted(uid_t peer, uid_t own, long service, uid_t overflow) {
    if (peer == overflow) return false;
    return peer == 0 || peer == own || (service >= 0 && static_cast<long>(peer) == service);
}

bool QipShareTrust::IsTrusted(uid_t peer) {
    const uid_t own = geteuid();
    const uid_t overflow = OverflowUid();
    // The database only when it can change the answer: an owner accepting a stream of
    // strangers (the overflow uid) or of its own user does not read it for each.
    if (peer == overflow || peer == 0 || peer == own) return IsTrusted(peer, own, -1, overflow);
    passwd entry;
    std::vector<char> buffer;
    const bool exists = LookUp(
        [](passwd* out, char* data, size_t size, passwd** found) {
            return getpwnam_r(cServiceUser, out, data, size, found);
        },
        entry, buffer);
    return IsTrusted(peer, own, exists ? static_cast<long>(entry.pw_uid) : -1, overflow);
}

std::string QipShareTrust::UserName(uid_t uid) {
    passwd entry;
    std::vector<char> buffer;
    const bool exists = LookUp(
        [uid](passwd* out, char* data, size_t size, passwd** found) {
            return getpwuid_r(uid, out, data, size, found);
        },
        entry, buffer);
    return exists ? std::string(entry.pw_name) : std::to_string(static_cast<unsigned long>(uid));
}

bool QipShareTrust::GetPeer(int fd, pid_t& pid, uid_t& uid) {
    ucred credentials;
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    pid = credentials.pid;
    uid = credentials.uid;
    return true;
}
