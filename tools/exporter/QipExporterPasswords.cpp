#include "tools/exporter/QipExporterPasswords.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>


const int QipExporterPasswords::cChecksPerSecond;
const int QipExporterPasswords::cBurstChecks;
const size_t QipExporterPasswords::cMaxRemembered;

namespace {

bool EqualInConstantTime(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

QipExporterPasswords::QipExporterPasswords(const std::map<std::string, std::string>& users)
    : mUsers(users), mDigestKey(32, '\0') {
    gnutls_rnd(GNUTLS_RND_KEY, &mDigestKey[0], mDigestKey.size());
}

bool QipExporterPasswords::Verify(const std::string& password, const std::string& hash) {
    crypt_data data{};
    const char* result = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
    return result != nullptr && result[0] != '*' && EqualInConstantTime(result, hash);
}

std::string QipExporterPasswords::Digest(const std::string& user, const std::string& password) const {
    std::string text = user;
    text += '\0';
    text += password;
    unsigned char digest[32];
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, mDigestKey.data(), mDigestKey.size(), text.data(), text.size(),
                     digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

QipExporterPasswords::Outcome QipExporterPasswords::Check(const std::string& user,
                                                          const std::string& password,
                                                          const std::string& address,
                                                          long long nowMs) {
    const std::string digest = Digest(user, password);
    {
        KspThreadMutex::Guard guard(mLock);
        if (mVerified.count(digest) != 0) return Outcome::cAccepted;
        if (mAllowances.size() >= cMaxRemembered && mAllowances.count(address) == 0) mAllowances.clear();
        Allowance& allowance = mAllowances.emplace(address, Allowance{cBurstChecks, nowMs}).first->second;
        allowance.mChecks = std::min<double>(
            cBurstChecks, allowance.mChecks + static_cast<double>(nowMs - allowance.mAtMs) * cChecksPerSecond / 1000);
        allowance.mAtMs = nowMs;
        if (allowance.mChecks < 1) return Outcome::cPaused;
        allowance.mChecks -= 1;
    }
    if (mUsers.empty()) return Outcome::cRefused;
    // An unknown name is checked against some user's hash, and refused whatever the result,
    // so that it takes as long as a wrong password.
    const auto known = mUsers.find(user);
    const bool matches = Verify(password, known == mUsers.end() ? mUsers.begin()->second : known->second);
    const bool accepted = matches && known != mUsers.end();
    if (!accepted) return Outcome::cRefused;
    KspThreadMutex::Guard guard(mLock);
    if (mVerified.size() >= cMaxRemembered) mVerified.clear();
    mVerified.insert(digest);
    return Outcome::cAccepted;
}
