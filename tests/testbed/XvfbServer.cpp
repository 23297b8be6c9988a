#include "tests/testbed/XvfbServer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// Display numbers far from the ones a desktop session or a developer's own Xvfb takes.
const int cFirstDisplay = 140;
const int cDisplayCount = 100;
// Displays tried before giving up (each one a foreign server turned out to hold).
const int cAttempts = 3;
const int cStartTimeoutMs = 10000;

// Xvfb's words when it cannot take the display it was given; it then ends.
bool HasGivenUp(const std::string& output) {
    return output.find("Fatal server error") != std::string::npos ||
           output.find("already running") != std::string::npos ||
           output.find("already active") != std::string::npos;
}

}  // namespace

std::string XvfbServer::FindDisplayNumber(const std::string& output) {
    size_t begin = 0;
    for (size_t end = output.find('\n'); end != std::string::npos; end = output.find('\n', begin)) {
        const std::string line = output.substr(begin, end - begin);
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) return line;
        begin = end + 1;
    }
    return "";
}

XvfbServer::XvfbServer(TestBed& bed, const std::string& program, const std::string& screen)
    : mBed(bed), mScreen(screen) {
    int attempts = 0;
    for (int number = cFirstDisplay; number < cFirstDisplay + cDisplayCount && attempts < cAttempts; ++number) {
        const std::string lockPath = "/tmp/qipfinder-xvfb-" + std::to_string(number) + ".lock";
        mLock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (mLock < 0) continue;
        if (flock(mLock, LOCK_EX | LOCK_NB) == 0) {
            ++attempts;
            if (StartOn(number, program)) return;
        }
        close(mLock);
        mLock = -1;
    }
    ADD_FAILURE() << "Xvfb did not start on any of " << attempts << " free displays";
}

XvfbServer::~XvfbServer() {
    if (mServer > 0) mBed.Stop(mServer);
    if (mLock >= 0) close(mLock);  // releases the display number, after the server is gone
}

bool XvfbServer::StartOn(int number, const std::string& program) {
    // With an explicit display, -displayfd still writes its number, once clients can connect.
    mServer = mBed.Start(mBed.GetHostNamespace(), {program, ":" + std::to_string(number), "-displayfd", "1",
                                                   "-screen", "0", mScreen, "-nolisten", "tcp"});
    if (mServer <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(cStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string output = mBed.GetOutput(mServer);
        const std::string found = FindDisplayNumber(output);
        if (!found.empty()) {
            mDisplay = ":" + found;
            return true;
        }
        if (HasGivenUp(output)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fprintf(stderr, "Xvfb on :%d did not start:\n%s", number, mBed.GetOutput(mServer).c_str());
    mBed.Stop(mServer);
    mServer = -1;
    return false;
}
