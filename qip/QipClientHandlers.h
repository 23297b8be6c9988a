#pragma once

#include <cstdint>
#include <string>

#include "qip/QipPacket.h"

// The one-operation interfaces a QipClient calls back through (QipClient names them
// HelloHandler, EarlierHelloHandler, TraceHandler and Clock). None is owned by the client;
// each says on which thread it is called and what the client holds meanwhile.

// Receives every hello, one call at a time, on the client's receive thread. The packet
// is valid only during the call. Called with none of the client's locks held.
class QipClientHelloHandler {
public:
    virtual void OnHello(const QipPacketHello& hello, const std::string& sourceAddress) = 0;

protected:
    ~QipClientHelloHandler() = default;
};

// Receives a hello that the program owning the port heard `ageSeconds` ago, before this
// client subscribed to it, so that a record ages from when its device last answered.
// Called as OnHello is (receive thread, one call at a time, no lock held); without one,
// such hellos go to the hello handler as if heard now.
class QipClientEarlierHelloHandler {
public:
    virtual void OnEarlierHello(const QipPacketHello& hello, const std::string& sourceAddress,
                                unsigned long ageSeconds) = 0;

protected:
    ~QipClientEarlierHelloHandler() = default;
};

// Told of each step of discovery, for a front end that shows them (a verbose mode).
// Called on the send thread (broadcasts) and the receive thread (everything else): one
// call at a time per thread, but calls from the two may overlap. None of the client's
// locks is held; it must return quickly, as datagrams wait meanwhile.
class QipClientTraceHandler {
public:
    struct Event {
        enum Kind {
            cBroadcastSent,        // mInterface, mAddress: the broadcast address
            cBroadcastFailed,      // as cBroadcastSent; the socket reported why
            cHelloHeard,           // mInterface, mAddress: the sender, mDeviceType, mDeviceId
            cHelloOtherInterface,  // as cHelloHeard, left out by the interface filter
            cWhoIsThereHeard,      // mInterface, mAddress; mIsFromOther: not this machine's
            cMalformedHeard,       // mInterface, mAddress
            cDatagramsDropped,     // mCount: the kernel's drops so far
            cProbeTarget,          // a sweep begins on a target: mAddress its text, mDetail
                                   // "first to last", mCount addresses, mInterface and
                                   // mDeviceId the interface and its address/prefix
            cProbeFailed,          // mAddress: a target or an address; mDetail: why
            cProbeSweepDone,       // mCount probes sent, mFailures not sent
            cProbeUnresolved,      // once per sweep: mAddress the name, mDetail why
            cProbeOtherInterface,  // once per target: mAddress the target, mInterface the
                                   // interface its route leaves through, which the
                                   // interface filter leaves out
        };
        Kind mKind;
        std::string mInterface;  // interface name; empty when not known
        std::string mAddress;
        std::string mDeviceType;
        std::string mDeviceId;
        bool mIsFromOther = false;
        uint64_t mCount = 0;
        std::string mDetail;
        uint64_t mFailures = 0;
    };
    virtual void OnTrace(const Event& event) = 0;

protected:
    ~QipClientTraceHandler() = default;
};

// The time that bounds the reports of malformed datagrams, in milliseconds on a clock
// that does not jump (a test seam). Called on the receive thread.
class QipClientClock {
public:
    virtual long long NowMs() = 0;

protected:
    ~QipClientClock() = default;
};
