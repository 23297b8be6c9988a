#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/testbed/TestBed.h"

// What the test-bed tests of qip-discover share. Where devices must be found the wait
// leaves a slow (sanitized, loaded) machine time for the answers to the first broadcast.
namespace discover_test {

using Clock = std::chrono::steady_clock;
inline const char* const cWaitForAnswers = "4";

// The JSON objects among the complete lines of `text` (standard error may share it).
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && !lines.eof();) {
        if (!line.empty() && line[0] == '{') objects.push_back(nlohmann::json::parse(line));
    }
    return objects;
}

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Two simulated devices answering at once, as the listening tests need them.
inline bool StartTwoDevices(TestBed& bed) {
    return bed.StartSimulator(bed.AddDevice({"192.0.2.30/24"}), {"--address", "192.0.2.30/24", "--id", "one"}) > 0 &&
           bed.StartSimulator(bed.AddDevice({"192.0.2.31/24"}), {"--address", "192.0.2.31/24", "--id", "two"}) > 0;
}

// The ids of the JSON lines of `text`, in order.
inline std::vector<std::string> Ids(const std::string& text) {
    std::vector<std::string> ids;
    for (const nlohmann::json& device : JsonLines(text)) ids.push_back(device["DeviceId"]);
    return ids;
}

// A directory holding an xdg-open that notes its argument in "opened" and ends with
// `status` at once, or blocks: one that blocks stays (as some openers do until the browser closes) for
// `blockSeconds`, with its pid in "opener"; it is ended with the directory.
class FakeBrowser {
public:
    explicit FakeBrowser(int blockSeconds = 0, int status = 0) {
        char directory[] = "/tmp/qip-browser-XXXXXX";
        if (mkdtemp(directory) != nullptr) mDir = directory;
        std::ofstream script(mDir + "/xdg-open");
        script << "#!/bin/sh\necho $$ > '" << mDir << "/opener'\necho \"$@\" > '" << mDir << "/opened'\n";
        if (blockSeconds > 0) script << "exec sleep " << blockSeconds << "\n";
        script << "exit " << status << "\n";
        script.close();
        chmod((mDir + "/xdg-open").c_str(), 0755);
    }
    ~FakeBrowser() {
        std::ifstream pidFile(mDir + "/opener");
        pid_t opener = 0;
        if (pidFile >> opener && opener > 0) kill(opener, SIGKILL);
        for (const char* file : {"/opened", "/opener", "/xdg-open", "/log"}) unlink((mDir + file).c_str());
        rmdir(mDir.c_str());
    }
    std::string File(const std::string& name) const { return mDir + "/" + name; }
    std::string Path() const { return "PATH=" + mDir + ":/usr/bin:/bin"; }
    std::string Opened() const {
        std::string opened;
        std::getline(std::ifstream(mDir + "/opened"), opened);
        return opened;
    }

private:
    std::string mDir;
};

}  // namespace discover_test
