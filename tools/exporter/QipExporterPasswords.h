#pragma once

#include <map>
#include <set>
#include <string>

#include "ksp/KspThreadMutex.h"

// The user names and password hashes of basic authentication, checked with the system's
// crypt(3): bcrypt ($2b$, $2y$), yescrypt ($y$) and whatever else libxcrypt verifies. A
// hash check costs what the hash's cost factor says (a quarter second at bcrypt's 12), so a
// pair once verified is remembered (as a keyed digest, never the password), and each client
// address gets at most cChecksPerSecond checks a second beyond those (cBurstChecks at
// once): wrong passwords cannot keep the server busy hashing, while a scraper whose other
// job has a stale password still gets its right one checked. Any thread.
class QipExporterPasswords {
public:
    static const int cChecksPerSecond = 2;
    static const int cBurstChecks = 4;
    static const size_t cMaxRemembered = 1024;  // verified pairs, and addresses counted

    enum class Outcome { cAccepted, cRefused, cPaused };

    explicit QipExporterPasswords(const std::map<std::string, std::string>& users);
    QipExporterPasswords(const QipExporterPasswords&) = delete;
    QipExporterPasswords& operator=(const QipExporterPasswords&) = delete;

    bool IsEmpty() const { return mUsers.empty(); }
    // Checks `password` of `user` for a request from `address` at `nowMs` (monotonic);
    // cPaused when the address has no check left just now. An unknown user costs the same
    // hash check as a known one.
    Outcome Check(const std::string& user, const std::string& password, const std::string& address,
                  long long nowMs);
    // One crypt(3) of `password` with `hash` as setting, compared in constant time.
    static bool Verify(const std::string& password, const std::string& hash);

private:
    std::string Digest(const std::string& user, const std::string& password) const;

    const std::map<std::string, std::string> mUsers;
    std::string mDigestKey;  // random, for this process
    // An address's allowance of hash checks: what was left at mAtMs.
    struct Allowance {
        double mChecks;
        long long mAtMs;
    };

    KspThreadMutex mLock;    // guards mVerified and mAllowances
    std::set<std::string> mVerified;
    std::map<std::string, Allowance> mAllowances;
};
