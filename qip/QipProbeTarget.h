#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// One network the user asks discovery to reach beyond the broadcast domain: an IPv4
// address, a range in prefix form (/16 to /32) or a host name. Each broadcast cycle the
// client sends its whoisthere by unicast to every address of every target as well.
//
// A plain value. Parse is pure; Resolve asks the system's resolver (it may block for as
// long as the resolver takes) and is the only call that touches anything outside.
class QipProbeTarget {
public:
    static const int cMinPrefix = 16;

    enum Kind { cAddress, cRange, cName };
    // What is wrong with a target text, for front ends that say it in their own words.
    enum Fault {
        cFaultNone,
        cFaultEmpty,
        cFaultMalformed,   // neither an address, a range nor a host name
        cFaultNotAddress,  // digits and dots that make no IPv4 address
        cFaultPrefix,      // the part after "/" is no number from 0 to 32
        cFaultTooLarge,    // a prefix shorter than /16
        cFaultZero,        // in 0.0.0.0/8
        cFaultMulticast,
        cFaultReserved,    // 240.0.0.0/4, the limited broadcast address among them
    };

    // Reads `text`: "198.51.100.20", "198.51.100.0/24" (host bits are cleared, so
    // "198.51.100.7/24" is the same range) or a host name ("lab-router.example"). True on
    // success; false with `error` saying what is wrong, without the text itself ("a prefix
    // shorter than /16 is too large a range (65,534 addresses at most)", "not an IPv4
    // address", ...). Multicast, zero and broadcast-only addresses are refused. A name is
    // checked for its form only; it stays unresolved (IsResolved false).
    static bool Parse(const std::string& text, QipProbeTarget& target, std::string& error,
                      Fault* fault = nullptr);
    // Parses every text; false at the first bad one, with `error` naming it and the reason
    // ("'198.51.100.0/8': a prefix shorter than /16 ..."). Targets are kept in the order given.
    static bool ParseAll(const std::vector<std::string>& texts, std::vector<QipProbeTarget>& targets,
                         std::string& error);

    QipProbeTarget();

    // Looks a name up once (its first IPv4 address) and checks that address as Parse checks
    // an address. Addresses and ranges are already resolved and return true at once. False
    // with `error` ("cannot resolve host name 'x': Name or service not known").
    bool Resolve(std::string& error);

    // Gives a name the address a lookup found elsewhere (QipProbeResolver, which checks it
    // as Resolve does). Not for addresses and ranges.
    void SetResolvedAddress(uint32_t address) {
        mFirst = address;
        mCount = 1;
    }

    Kind GetKind() const { return mKind; }
    // The text as the user gave it.
    const std::string& GetText() const { return mText; }
    bool IsResolved() const { return mCount > 0; }
    // The number of addresses probed: 1 for an address or a name, 2^(32-prefix) for /31
    // and /32, two fewer for shorter prefixes (network and broadcast addresses are skipped).
    // 0 while a name is unresolved.
    uint32_t GetCount() const { return mCount; }
    // The `index`-th address probed (0 to GetCount() - 1), host byte order.
    uint32_t GetAddress(uint32_t index) const { return mFirst + index; }
    uint32_t GetFirst() const { return mFirst; }
    uint32_t GetLast() const { return mFirst + mCount - 1; }
    // Whether `address` (host byte order) is one of the addresses probed.
    bool Contains(uint32_t address) const { return mCount > 0 && address - mFirst < mCount; }
    // "198.51.100.0/24", "198.51.100.20", "lab-router.example (198.51.100.20)".
    std::string Describe() const;

    // Dotted quad of a host-order address.
    static std::string FormatAddress(uint32_t address);

private:
    Kind mKind;
    std::string mText;
    int mPrefix;       // 32 for an address or a name
    uint32_t mFirst;   // host byte order
    uint32_t mCount;
};
