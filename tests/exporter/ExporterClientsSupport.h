#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class TestBed;

// What the tests of qip-exporter's HTTP server against hostile clients share: scrapes and
// looks at the exporter from the test bed's host, certificates and hashes, client addresses.
using ExporterClock = std::chrono::steady_clock;
// Where the tests' exporter listens.
extern const char* const cExporterListen;

double SecondsSince(ExporterClock::time_point start);
size_t CountDescriptors(pid_t pid);
size_t CountThreads(pid_t pid);
// The fewest descriptors over a second: the connections of earlier scrapes close meanwhile.
size_t IdleDescriptors(pid_t pid);

// One scrape from the host; true when it brought the metrics within `seconds`.
bool Scrape(TestBed& bed, const std::string& url, int seconds, const std::vector<std::string>& extra = {});
// Scrapes until one succeeds (15 s at most); whether one did.
bool WaitForScrape(TestBed& bed, const std::string& url, const std::vector<std::string>& extra = {});
// Waits (15 s at most) until the log of `pid` holds `text` `count` times.
bool WaitForLog(TestBed& bed, pid_t pid, const std::string& text, size_t count);

// A temporary folder, removed with everything in it; mPath empty when none could be made.
struct ExporterTestFolder {
    std::string mPath;
    ExporterTestFolder();
    ~ExporterTestFolder();
};
// In `folder`: ca.crt with server.crt/key for 192.0.2.1, client.crt/key signed by the same
// CA, and rogue.crt/key signed by a CA of their own.
bool MakeCertificates(TestBed& bed, const std::string& folder);
std::string BcryptHash(const std::string& password, int cost);
// The `count` addresses 192.0.2.(first)... as /24 CIDRs, or as plain addresses.
std::vector<std::string> Addresses(int first, int count, bool cidr);
