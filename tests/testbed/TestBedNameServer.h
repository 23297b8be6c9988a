#pragma once

#include <string>

#include "tests/testbed/TestBed.h"

// A name server that takes every question and never answers: a UDP socket on 127.0.0.1:53 in
// the bed's host namespace that nobody reads, named in /etc/netns/<host>/resolv.conf, which
// `ip netns exec` puts in place of /etc/resolv.conf for what it runs (so programs meant to
// meet it are started through `ip netns exec`, not by TestBed::Start alone). Removes both
// (and the hosts file, if any) on destruction. Not copyable.
class TestBedNameServer {
public:
    explicit TestBedNameServer(const TestBed& bed);
    TestBedNameServer(const TestBedNameServer&) = delete;
    TestBedNameServer& operator=(const TestBedNameServer&) = delete;
    ~TestBedNameServer();
    bool IsReady() const { return mIsReady; }
    // Names `name` as `address` in the namespace's own hosts file, which is read before any
    // name server: a name that resolves at once beside those that never do.
    void AddHost(const std::string& name, const std::string& address);

private:
    std::string mDirectory;
    int mFd = -1;
    bool mIsReady = false;
};
