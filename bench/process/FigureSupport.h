#pragma once

// What the whole-process figures share: their options, the formatting of their tables and
// the readings they take of the test bed. Used by one thread.

#include <set>
#include <string>
#include <vector>

class TestBed;

struct FigureOptions {
    std::set<std::string> mOnly;  // empty: every figure
    int mRuns = 5;
    double mFloodSeconds = 60;

    bool Wants(const std::string& figure) const { return mOnly.empty() || mOnly.count(figure) != 0; }
};

std::string ReadFile(const std::string& path);
std::string Trimmed(const std::string& text);
double Median(std::vector<double> values);
// "1234" at 100 ms and more, else one decimal.
std::string Ms(double ms);
std::string Joined(const std::vector<std::string>& words, const char* separator = " ");
// "1,234,567" for counts in tables.
std::string Grouped(unsigned long long value);
int CountLinesWith(const std::string& text, const std::string& word);
// The machine's load when a figure was taken: the figures are only as good as it was quiet.
std::string Load();

// The UDP counters of the host namespace (/proc/net/snmp is per namespace).
struct UdpCounters {
    unsigned long long mInDatagrams = 0;
    unsigned long long mRcvbufErrors = 0;
    bool mIsRead = false;
};
UdpCounters ReadUdpCounters(TestBed& bed);
// True when `qip-discover --help` names the option, so that a build without it says so
// instead of timing a usage error.
bool DiscoverKnows(const std::string& option);
// Adds `cidrs` to eth0 of a device namespace in one `ip -batch` run: hundreds of separate
// `ip` runs would take longer than the figure.
bool AddAddresses(TestBed& bed, const std::string& namespaceName, const std::vector<std::string>& cidrs);

// The figures kept in files of their own.
void FloodFigure(const FigureOptions& options);
// share-warm, share-handover, share-flood (or "share" for all three).
void ShareFigure(const FigureOptions& options);
