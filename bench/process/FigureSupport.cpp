#include "bench/process/FigureSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/process/BenchProcess.h"
#include "tests/testbed/TestBed.h"

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms >= 100 ? "%.0f" : "%.1f", ms);
    return text;
}

std::string Joined(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

std::string Grouped(unsigned long long value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

int CountLinesWith(const std::string& text, const std::string& word) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(word) != std::string::npos) ++count;
    }
    return count;
}

std::string Load() {
    std::istringstream average(ReadFile("/proc/loadavg"));
    std::string one, five, fifteen;
    average >> one >> five >> fifteen;
    return "load average " + one + ", " + five + ", " + fifteen + " on " +
           std::to_string(std::thread::hardware_concurrency()) + " cores";
}

UdpCounters ReadUdpCounters(TestBed& bed) {
    std::string text;
    UdpCounters counters;
    if (bed.Run(bed.GetHostNamespace(), {"cat", "/proc/net/snmp"}, &text) != 0) return counters;
    std::istringstream lines(text);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 5, "Udp: ") != 0) continue;
        std::istringstream words(line.substr(5));
        std::vector<std::string> row;
        for (std::string word; words >> word;) row.push_back(word);
        if (names.empty()) {
            names = row;
            continue;
        }
        for (size_t i = 0; i < row.size() && i < names.size(); ++i) {
            if (names[i] == "InDatagrams") counters.mInDatagrams = std::strtoull(row[i].c_str(), nullptr, 10);
            if (names[i] == "RcvbufErrors") counters.mRcvbufErrors = std::strtoull(row[i].c_str(), nullptr, 10);
        }
        counters.mIsRead = true;
        break;
    }
    return counters;
}

// True when `qip-discover --help` names the option, so that a build without it says so
// instead of timing a usage error.
bool DiscoverKnows(const std::string& option) {
    BenchProcess help("", {TestBed::BinaryPath("qip-discover"), "--help"});
    return help.Start() && help.Wait(10000) && help.GetOutput().find(option) != std::string::npos;
}

// Adds `cidrs` to eth0 of a device namespace in one `ip -batch` run: hundreds of separate
// `ip` runs would take longer than the figure.
bool AddAddresses(TestBed& bed, const std::string& namespaceName, const std::vector<std::string>& cidrs) {
    char path[] = "/tmp/qip-bench-addresses-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return false;
    std::string commands;
    for (const std::string& cidr : cidrs) commands += "address add " + cidr + " dev eth0\n";
    bool written = write(fd, commands.data(), commands.size()) == static_cast<ssize_t>(commands.size());
    close(fd);
    std::string output;
    bool added = written && bed.Run("", {"ip", "-n", namespaceName, "-batch", path}, &output, 60000) == 0;
    if (!added) std::fprintf(stderr, "ip -batch failed: %s\n", output.c_str());
    unlink(path);
    return added;
}

