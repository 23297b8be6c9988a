#include "qip/QipProbeResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <deque>
#include <memory>

#include "ksp/KspThread.h"
#include "ksp/KspThreadMutex.h"

const long long QipProbeResolver::cTimeoutMs;

// One lookup, shared by the resolver that asked and the worker that answers; whichever
// lets go last frees it, so a resolver destroyed mid-lookup never waits for it.
struct QipProbeResolver::Lookup {
    explicit Lookup(const std::string& name) : mName(name) {}
    const std::string mName;
    long long mStartMs = 0;   // resolver side only
    bool mIsGivenUp = false;  // resolver side only: timed out, its answer not awaited
    // Guarded by the pool's lock.
    bool mIsDone = false;
    int mStatus = 0;          // getaddrinfo's
    uint32_t mAddress = 0;    // host order; 0 when none
};

namespace {

// The threads that call the blocking getaddrinfo for every resolver of the process. They
// live as long as the process (the pool is never destroyed, so that its end never waits for
// a name server), grow to cMaxWorkers while all are busy, and sleep while none is asked.
// Plain threads, so that the sanitizers see them, unlike the C library's own lookup threads.
class ResolverPool {
public:
    static const size_t cMaxWorkers = 8;

    static ResolverPool& Get() {
        static ResolverPool* pool = new ResolverPool();  // never destroyed, see above
        return *pool;
    }

    void Submit(const std::shared_ptr<QipProbeResolver::Lookup>& lookup) {
        KspThreadMutex::Guard guard(mLock);
        mQueue.push_back(lookup);
        // One worker per lookup waiting: an idle worker that has not taken its lookup yet
        // is already spoken for, and a name behind one that hangs would wait for it.
        if (mQueue.size() > mIdle && mWorkers.size() < cMaxWorkers) {
            std::unique_ptr<Worker> worker(new Worker(this));
            if (worker->Start() == 0) {
                ++mIdle;
                mWorkers.push_back(std::move(worker));
            }
        }
        for (const std::unique_ptr<Worker>& worker : mWorkers) worker->Wake();
    }

    // Takes the answer of `lookup` if it came; false while it has not.
    bool Collect(const QipProbeResolver::Lookup& lookup, int& status, uint32_t& address) {
        KspThreadMutex::Guard guard(mLock);
        status = lookup.mStatus;
        address = lookup.mAddress;
        return lookup.mIsDone;
    }

private:
    class Worker : public KspThread {
    public:
        explicit Worker(ResolverPool* outer) : mOuter(outer) {}
        void Run() override {
            while (IsThreadRunning()) {
                std::shared_ptr<QipProbeResolver::Lookup> lookup = mOuter->Take();
                if (!lookup) {
                    Pause(cIdleMs);
                    continue;
                }
                addrinfo hints;
                memset(&hints, 0, sizeof hints);
                hints.ai_family = AF_INET;
                hints.ai_socktype = SOCK_DGRAM;
                addrinfo* found = nullptr;
                const int status = getaddrinfo(lookup->mName.c_str(), nullptr, &hints, &found);
                uint32_t address = 0;
                if (status == 0 && found != nullptr) {
                    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
                }
                if (found != nullptr) freeaddrinfo(found);
                mOuter->Finish(*lookup, status, address);
            }
        }

    private:
        static const unsigned long cIdleMs = 60000;
        ResolverPool* mOuter;
    };

    std::shared_ptr<QipProbeResolver::Lookup> Take() {
        KspThreadMutex::Guard guard(mLock);
        if (mQueue.empty()) return nullptr;
        std::shared_ptr<QipProbeResolver::Lookup> lookup = mQueue.front();
        mQueue.pop_front();
        --mIdle;
        return lookup;
    }

    void Finish(QipProbeResolver::Lookup& lookup, int status, uint32_t address) {
        KspThreadMutex::Guard guard(mLock);
        lookup.mStatus = status;
        lookup.mAddress = address;
        lookup.mIsDone = true;
        ++mIdle;
    }

    KspThreadMutex mLock;  // guards mQueue, mIdle, mWorkers and every Lookup's answer
    std::deque<std::shared_ptr<QipProbeResolver::Lookup>> mQueue;
    std::vector<std::unique_ptr<Worker>> mWorkers;
    size_t mIdle = 0;  // workers not inside getaddrinfo
};

}  // namespace

QipProbeResolver::QipProbeResolver(const std::vector<std::string>& names) {
    for (const std::string& text : names) {
        Name name;
        name.mText = text;
        mNames.push_back(name);
    }
    mLookups.resize(mNames.size());
}

// Lookups under way are let go of: the worker frees each once its answer comes.
QipProbeResolver::~QipProbeResolver() = default;

void QipProbeResolver::Begin(long long nowMs) {
    for (size_t i = 0; i < mNames.size(); ++i) {
        if (mLookups[i] != nullptr) {
            // Still running from an earlier sweep (given up on): not asked twice at once.
            mNames[i].mIsPending = !mLookups[i]->mIsGivenUp;
            continue;
        }
        mLookups[i] = std::make_shared<Lookup>(mNames[i].mText);
        mLookups[i]->mStartMs = nowMs;
        mNames[i].mIsPending = true;
        mNames[i].mPendingSinceMs = nowMs;
        ResolverPool::Get().Submit(mLookups[i]);
    }
}

bool QipProbeResolver::Poll(long long nowMs, std::vector<size_t>* ended) {
    bool isSettled = true;
    for (size_t i = 0; i < mNames.size(); ++i) {
        Name& name = mNames[i];
        std::shared_ptr<Lookup>& lookup = mLookups[i];
        if (lookup == nullptr) continue;
        int status = 0;
        uint32_t address = 0;
        if (!ResolverPool::Get().Collect(*lookup, status, address)) {
            if (!lookup->mIsGivenUp && nowMs - lookup->mStartMs >= cTimeoutMs) {
                lookup->mIsGivenUp = true;
                name.mIsPending = false;
                name.mPendingSinceMs = -1;
                if (ended != nullptr) ended->push_back(i);
                name.mIsTemporary = true;
                name.mError = "no answer from the name server within " +
                              std::to_string(cTimeoutMs / 1000) + " s";
            }
            isSettled = isSettled && !name.mIsPending;
            continue;
        }
        name.mIsTemporary = status == EAI_AGAIN;
        if (status != 0 || address == 0) {
            name.mError = status != 0 ? gai_strerror(status) : "no IPv4 address";
        } else {
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
        // An answer that came after the lookup was given up still counts: it ends a lookup
        // the sweep no longer waits for, and gives the name its address for the next probe.
        name.mIsPending = false;
        name.mPendingSinceMs = -1;
        if (ended != nullptr) ended->push_back(i);
        lookup.reset();
    }
    return isSettled;
}
