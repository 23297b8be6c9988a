#include "tools/exporter/QipExporterPasswords.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>

const int QipExporterPasswords::cChecksPerSecond;
const int QipExporterPasswords::cBurstChecks;
const int QipExporterPasswords::cTotalChecksPerSecond;
const int QipExporterPasswords::cTotalBurstChecks;
const size_t QipExporterPasswords::cMaxRemembered;

namespace {

const char* const cBase64 = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool EqualInConstantTime(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, strlen(prefix), prefix) == 0; }

// The allowance `checks` left at `atMs`, refilled at `perSecond` up to `burst` by `nowMs`.
double Refill(double checks, long long atMs, long long nowMs, int perSecond, int burst) {
    const long long elapsed = atMs < 0 || nowMs < atMs ? 0 : nowMs - atMs;
    return std::min<double>(burst, checks + static_cast<double>(elapsed) * perSecond / 1000);
}

}  // namespace

QipExporterPasswords::Shared::Shared() : mDigestKey(32, '\0'), mTotal{cTotalBurstChecks, -1} {
    gnutls_rnd(GNUTLS_RND_KEY, &mDigestKey[0], mDigestKey.size());
}

QipExporterPasswords::QipExporterPasswords(const std::map<std::string, std::string>& users,
                                           const std::shared_ptr<Shared>& shared)
    : mUsers(users), mShared(shared) {
    // An unknown name is checked against the costliest user's hash and refused whatever
    // the result: the same work as that user's wrong password, and no hash made here.
    double most = -1;
    for (const auto& user : mUsers) {
        if (Cost(user.second) > most) {
            most = Cost(user.second);
            mDummyHash = user.second;
        }
    }
}

bool QipExporterPasswords::Verify(const std::string& password, const std::string& hash) {
    crypt_data data{};
    const char* result = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
    return result != nullptr && result[0] != '*' && EqualInConstantTime(result, hash);
}

bool QipExporterPasswords::CanVerify(const std::string& hash) {
    if (hash.size() < 4 || hash[0] != '$' || StartsWith(hash, "$1$") || StartsWith(hash, "$apr1$")) return false;
    crypt_data data{};
    // A setting crypt(3) takes gives a result as long as a hash made with it; a hash cut
    // short or padded could never match.
    const char* result = crypt_rn("", hash.c_str(), &data, sizeof data);
    return result != nullptr && result[0] == '$' && strlen(result) == hash.size();
}

double QipExporterPasswords::Cost(const std::string& hash) {
    // Scaled so that the defaults come out near their time: bcrypt 12 about 250 ms, yescrypt
    // j9T about 40 ms, SHA-512-crypt's 5,000 rounds about 5 ms (one unit: 1/16 ms).
    if (StartsWith(hash, "$2") && hash.size() > 6 && hash[3] == '$') return std::ldexp(1.0, atoi(hash.c_str() + 4));
    if (StartsWith(hash, "$y$") && hash.size() > 5) {
        const char* n = strchr(cBase64, hash[4]);
        const char* r = strchr(cBase64, hash[5]);
        if (n == nullptr || r == nullptr) return 0;
        return std::ldexp(1.0, static_cast<int>(n - cBase64) + 1) * static_cast<double>(r - cBase64 + 1) / 200;
    }
    if (StartsWith(hash, "$5$") || StartsWith(hash, "$6$")) {
        const double rounds = StartsWith(hash.substr(3), "rounds=") ? atof(hash.c_str() + 10) : 5000;
        return rounds / 60;
    }
    return 0;
}

std::string QipExporterPasswords::Digest(const std::string& user, const std::string& password) const {
    const auto known = mUsers.find(user);
    std::string text = user;
    text += '\0';
    text += known == mUsers.end() ? "" : known->second;
    text += '\0';
    text += password;
    unsigned char digest[32];
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, mShared->mDigestKey.data(), mShared->mDigestKey.size(), text.data(), text.size(),
                     digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

QipExporterPasswords::Outcome QipExporterPasswords::Admit(const char* user, const char* password,
                                                          const std::string& address, long long nowMs) {
    if (user == nullptr || password == nullptr || mUsers.empty()) return Outcome::cRefused;
    const std::string digest = Digest(user, password);
    KspThreadMutex::Guard guard(mShared->mLock);
    if (mShared->mVerified.count(digest) != 0) return Outcome::cAccepted;
    auto& allowances = mShared->mAllowances;
    if (allowances.size() >= cMaxRemembered && allowances.count(address) == 0) allowances.clear();
    Shared::Allowance& allowance = allowances.emplace(address, Shared::Allowance{cBurstChecks, nowMs}).first->second;
    allowance.mChecks = Refill(allowance.mChecks, allowance.mAtMs, nowMs, cChecksPerSecond, cBurstChecks);
    allowance.mAtMs = nowMs;
    Shared::Allowance& total = mShared->mTotal;
    total.mChecks = Refill(total.mChecks, total.mAtMs, nowMs, cTotalChecksPerSecond, cTotalBurstChecks);
    total.mAtMs = nowMs;
    if (allowance.mChecks < 1 || total.mChecks < 1) return Outcome::cPaused;
    allowance.mChecks -= 1;
    total.mChecks -= 1;
    return Outcome::cToCheck;
}

bool QipExporterPasswords::CheckAdmitted(const std::string& user, const std::string& password) {
    if (mUsers.empty()) return false;
    const auto known = mUsers.find(user);
    const bool matches = Verify(password, known == mUsers.end() ? mDummyHash : known->second);
    if (!matches || known == mUsers.end()) return false;
    const std::string digest = Digest(user, password);
    KspThreadMutex::Guard guard(mShared->mLock);
    if (mShared->mVerified.size() >= cMaxRemembered) mShared->mVerified.clear();
    mShared->mVerified.insert(digest);
    return true;
}
