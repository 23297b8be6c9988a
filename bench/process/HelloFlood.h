#pragma once

#include <string>
#include <vector>

// A sender that floods one address with hello datagrams (as fast as one thread can, or at a
// given rate), each
// carrying a distinct device id taken in turn from a fixed set, so that a listener sees an
// endless stream of devices it has never heard (until the set wraps).
//
// Send runs on the calling thread, which must already be in the network namespace the
// flood leaves from; it returns after `seconds`. Failures are one line on standard error
// and a result of false.
class HelloFlood {
public:
    // Builds every datagram once: ids "<idPrefix>000000" upwards, `idCount` of them.
    HelloFlood(const std::string& deviceType, const std::string& idPrefix, unsigned long idCount,
               const std::string& sourceAddress);

    // Sends from sourceAddress:19375 to destination:19375 for `seconds`, `rate` datagrams a
    // second (in batches, evenly spread), or as fast as it can when `rate` is 0.
    bool Send(const std::string& destination, double seconds, unsigned long rate = 0);

    unsigned long long GetSentCount() const { return mSent; }
    double GetSentSeconds() const { return mSeconds; }

private:
    std::string mSourceAddress;
    std::vector<unsigned char> mBytes;     // every datagram, one after another
    std::vector<size_t> mOffsets;          // where each starts; one more entry marks the end
    unsigned long long mSent = 0;
    double mSeconds = 0;
};
