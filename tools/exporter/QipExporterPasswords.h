#pragma once

#include <stddef.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "ksp/KspThreadMutex.h"

// The user names and password hashes of basic authentication, checked with the system's
// crypt(3): bcrypt ($2b$, $2y$), yescrypt ($y$), SHA-crypt ($5$, $6$) and whatever else
// libxcrypt verifies. A hash check costs what the hash's cost factor says (a quarter second
// at bcrypt's 12), so a pair once verified is remembered (as a keyed digest, never the
// password, kept across reloads) and answered without one; every other request must first be admitted: each
// client address gets at most cChecksPerSecond checks a second (cBurstChecks at once), and
// all addresses together cTotalChecksPerSecond (cTotalBurstChecks at once), budgets that
// outlive reloads. Wrong passwords from any number of addresses therefore cost at most
// that many hashes a second, while a scraper whose other job has a stale password still
// gets its right one checked. Admit is cheap and meant for the thread that serves
// connections; CheckAdmitted hashes and belongs on a worker. Any thread.
class QipExporterPasswords {
public:
    static const int cChecksPerSecond = 2;
    static const int cBurstChecks = 4;
    static const int cTotalChecksPerSecond = 4;
    static const int cTotalBurstChecks = 8;
    static const size_t cMaxRemembered = 1024;  // verified pairs, and addresses counted

    enum class Outcome {
        cAccepted,  // a pair verified before: serve
        cRefused,   // no credentials: ask for them
        cPaused,    // the address or the whole server has no check left just now
        cToCheck,   // a check is granted: hand the pair to CheckAdmitted
    };

    // What every QipExporterPasswords of the process shares, so that a reload keeps it:
    // the pairs verified, each address's allowance and the total budget. Any thread.
    class Shared {
    public:
        Shared();
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        friend class QipExporterPasswords;
        // An allowance of hash checks: what was left at mAtMs.
        struct Allowance {
            double mChecks;
            long long mAtMs;
        };

        std::string mDigestKey;  // random, for this process
        KspThreadMutex mLock;    // guards mVerified, mAllowances and mTotal
        std::set<std::string> mVerified;
        std::map<std::string, Allowance> mAllowances;
        Allowance mTotal;
    };

    // `users` passed CanVerify (QipExporterWebConfig checks each); `shared` is shared by
    // every QipExporterPasswords of the process.
    QipExporterPasswords(const std::map<std::string, std::string>& users, const std::shared_ptr<Shared>& shared);
    QipExporterPasswords(const QipExporterPasswords&) = delete;
    QipExporterPasswords& operator=(const QipExporterPasswords&) = delete;

    bool IsEmpty() const { return mUsers.empty(); }
    // What a request with `user` and `password` (null when it sent none) from `address` at
    // `nowMs` (monotonic) may have; never hashes.
    Outcome Admit(const char* user, const char* password, const std::string& address, long long nowMs);
    // True when the pair is right, remembered from then on. Hashes once: an unknown user
    // against the dummy hash of the costliest user's, so that it takes as long as a known one.
    bool CheckAdmitted(const std::string& user, const std::string& password);

    // One crypt(3) of `password` with `hash` as setting, compared in constant time.
    static bool Verify(const std::string& password, const std::string& hash);
    // Whether crypt(3) here verifies `hash`: a known method with a well-formed setting and a
    // result of the hash's own length. MD5 ($1$, $apr1$) is refused even where it would be.
    static bool CanVerify(const std::string& hash);
    // A rough cost of one check of `hash`, comparable within a method (bcrypt's 2^cost,
    // yescrypt's N·r, SHA-crypt's rounds) and loosely across methods; pure.
    static double Cost(const std::string& hash);

private:
    // A keyed digest of the pair and the hash it was checked against, so that a pair
    // verified under one configuration counts under the next only while its hash stays.
    std::string Digest(const std::string& user, const std::string& password) const;

    const std::map<std::string, std::string> mUsers;
    std::string mDummyHash;  // the costliest user's, for names that are not in mUsers
    std::shared_ptr<Shared> mShared;
};
