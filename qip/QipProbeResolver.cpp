#include "qip/QipProbeResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <mutex>

#include "ksp/KspClock.h"

const long long QipProbeResolver::cTimeoutMs;

// One asynchronous lookup. The library's threads write into it until it ends, so it must
// not move or be freed before then.
struct QipProbeResolver::Lookup {
    explicit Lookup(const std::string& name) : mName(name) {
        memset(&mHints, 0, sizeof mHints);
        mHints.ai_family = AF_INET;
        mHints.ai_socktype = SOCK_DGRAM;
        memset(&mRequest, 0, sizeof mRequest);
        mRequest.ar_name = mName.c_str();
        mRequest.ar_request = &mHints;
    }
    ~Lookup() {
        if (mRequest.ar_result != nullptr) freeaddrinfo(mRequest.ar_result);
    }
    std::string mName;
    addrinfo mHints;
    gaicb mRequest;
    long long mStartMs = 0;
    bool mIsGivenUp = false;  // timed out: its answer, should one still come, is not awaited
};

namespace {

// Lookups the library would not cancel when their resolver went; freed once they end.
std::mutex gOrphansLock;  // guards gOrphans
std::vector<std::unique_ptr<QipProbeResolver::Lookup>>* gOrphans = nullptr;

void ReapOrphans() {
    std::lock_guard<std::mutex> guard(gOrphansLock);
    if (gOrphans == nullptr) return;
    for (size_t i = 0; i < gOrphans->size();) {
        if (gai_error(&(*gOrphans)[i]->mRequest) != EAI_INPROGRESS) {
            (*gOrphans)[i] = std::move(gOrphans->back());
            gOrphans->pop_back();
        } else {
            ++i;
        }
    }
}

void Orphan(std::unique_ptr<QipProbeResolver::Lookup> lookup) {
    std::lock_guard<std::mutex> guard(gOrphansLock);
    // Never freed at exit on purpose: the library may still write into them.
    if (gOrphans == nullptr) gOrphans = new std::vector<std::unique_ptr<QipProbeResolver::Lookup>>();
    gOrphans->push_back(std::move(lookup));
}

// Parks a lookup that may still run: freed now when the library lets it go, else later.
void Release(std::unique_ptr<QipProbeResolver::Lookup> lookup) {
    if (lookup == nullptr) return;
    if (gai_error(&lookup->mRequest) == EAI_INPROGRESS &&
        gai_cancel(&lookup->mRequest) != EAI_CANCELED) {
        Orphan(std::move(lookup));
    }
}

}  // namespace

QipProbeResolver::QipProbeResolver(const std::vector<std::string>& names) {
    for (const std::string& text : names) {
        Name name;
        name.mText = text;
        mNames.push_back(name);
    }
    mLookups.resize(mNames.size());
}

QipProbeResolver::~QipProbeResolver() {
    for (std::unique_ptr<Lookup>& lookup : mLookups) Release(std::move(lookup));
}

void QipProbeResolver::Begin(long long nowMs) {
    ReapOrphans();
    std::vector<gaicb*> requests;
    for (size_t i = 0; i < mNames.size(); ++i) {
        if (mLookups[i] != nullptr) {
            // Still running from an earlier sweep (given up on): not asked twice at once.
            mNames[i].mIsPending = !mLookups[i]->mIsGivenUp;
            continue;
        }
        mLookups[i].reset(new Lookup(mNames[i].mText));
        mLookups[i]->mStartMs = nowMs;
        mNames[i].mIsPending = true;
        requests.push_back(&mLookups[i]->mRequest);
    }
    if (requests.empty()) return;
    const int status = getaddrinfo_a(GAI_NOWAIT, requests.data(), static_cast<int>(requests.size()),
                                     nullptr);
    if (status == 0) return;
    // Some or all were not queued (no memory or threads): those go without an answer now.
    for (size_t i = 0; i < mNames.size(); ++i) {
        Lookup* lookup = mLookups[i].get();
        if (lookup != nullptr && lookup->mStartMs == nowMs && lookup->mRequest.ar_result == nullptr &&
            gai_error(&lookup->mRequest) == 0) {
            mNames[i].mIsPending = false;
            mNames[i].mError = gai_strerror(status);
            mLookups[i].reset();
        }
    }
}

bool QipProbeResolver::Poll(long long nowMs) {
    bool isSettled = true;
    for (size_t i = 0; i < mNames.size(); ++i) {
        Name& name = mNames[i];
        std::unique_ptr<Lookup>& lookup = mLookups[i];
        if (lookup == nullptr) continue;
        const int status = gai_error(&lookup->mRequest);
        if (status == EAI_INPROGRESS) {
            if (!lookup->mIsGivenUp && nowMs - lookup->mStartMs >= cTimeoutMs) {
                lookup->mIsGivenUp = true;
                name.mIsPending = false;
                name.mIsTemporary = true;
                name.mError = "no answer from the name server within " +
                              std::to_string(cTimeoutMs / 1000) + " s";
            }
            isSettled = isSettled && !name.mIsPending;
            continue;
        }
        const addrinfo* found = lookup->mRequest.ar_result;
        name.mIsTemporary = status == EAI_AGAIN;
        if (status != 0 || found == nullptr) {
            name.mError = status != 0 ? gai_strerror(status) : "no IPv4 address";
        } else {
            const uint32_t address =
                ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
            QipProbeTarget checked;
            std::string error;
            QipProbeTarget::Fault fault = QipProbeTarget::cFaultNone;
            // The answer is checked as a typed address would be.
            if (QipProbeTarget::Parse(QipProbeTarget::FormatAddress(address), checked, error,
                                      &fault)) {
                name.mAddress = address;
                name.mError.clear();
            } else {
                name.mError = "resolves to " + QipProbeTarget::FormatAddress(address) + ": " + error;
            }
        }
        name.mIsPending = false;
        lookup.reset();
    }
    return isSettled;
}

bool QipProbeResolver::ResolveAll(std::vector<QipProbeTarget>& targets, std::string& error,
                                  bool (*shouldStop)()) {
    std::vector<std::string> texts;
    for (const QipProbeTarget& target : targets) {
        if (target.GetKind() == QipProbeTarget::cName && !target.IsResolved()) {
            texts.push_back(target.GetText());
        }
    }
    if (texts.empty()) return true;
    QipProbeResolver resolver(texts);
    resolver.Begin(KspMonotonicMs());
    while (!resolver.Poll(KspMonotonicMs())) {
        if (shouldStop != nullptr && shouldStop()) return true;
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    size_t n = 0;
    for (QipProbeTarget& target : targets) {
        if (target.GetKind() != QipProbeTarget::cName || target.IsResolved()) continue;
        const Name& name = resolver.GetNames()[n++];
        if (name.mAddress != 0) {
            target.SetResolvedAddress(name.mAddress);
        } else if (!name.mIsTemporary) {
            error = "cannot resolve host name '" + name.mText + "': " + name.mError;
            return false;
        }
    }
    return true;
}
