// The desktop program's figures: see QipfinderFigures.h.
#include "bench/process/QipfinderFigures.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "tests/testbed/TestBed.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The value after <key>NAME</key> in a property list (the first element of an array);
// "" if absent.
std::string PlistValue(const std::string& plist, const std::string& key) {
    const std::string keyTag = "<key>" + key + "</key>";
    size_t at = plist.find(keyTag);
    if (at == std::string::npos) return "";
    size_t tag = plist.find('<', at + keyTag.size());
    if (tag != std::string::npos && plist.compare(tag, 7, "<array>") == 0) tag = plist.find('<', tag + 7);
    if (tag == std::string::npos) return "";
    size_t value = plist.find('>', tag);
    size_t close = plist.find('<', value);
    if (value == std::string::npos || close == std::string::npos || plist[tag + 1] == '/') return "";
    return plist.substr(value + 1, close - value - 1);
}

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// An X server in the bed's host namespace and a stand-in `xdg-open` that writes the URL
// into a FIFO, so that the moment of the hand-off is taken on this process's monotonic
// clock, as the start is. The stand-in then ends with the status set by SetOpenerStatus.
class FinderRig {
public:
    explicit FinderRig(TestBed& bed) : mBed(bed), mXvfb(FindOnPath("Xvfb")) {
        if (mXvfb.empty()) {
            mWhyNot = "no X server can be started here (Xvfb, Debian package xvfb, is not installed)";
            return;
        }
        char pattern[] = "/tmp/qip-bench-browser-XXXXXX";
        mFolder = mkdtemp(pattern) != nullptr ? pattern : "";
        mFifo = mFolder + "/opened";
        if (mFolder.empty() || mkfifo(mFifo.c_str(), 0600) != 0) {
            mWhyNot = "cannot make the stand-in browser's FIFO";
            return;
        }
        SetOpenerStatus(0);
    }
    ~FinderRig() {
        if (mFolder.empty()) return;
        unlink(mFifo.c_str());
        unlink((mFolder + "/xdg-open").c_str());
        // The program's store of known devices, kept under HOME.
        const std::string state = mFolder + "/.local";
        if (system(("rm -rf '" + state + "'").c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", state.c_str());
        rmdir(mFolder.c_str());
    }
    const std::string& WhyNot() const { return mWhyNot; }

    // A fresh X server for each run: one whose last client has gone may reset, and a
    // program started meanwhile finds no display.
    bool StartServer() {
        mDisplay.clear();
        mServer = mBed.Start(mBed.GetHostNamespace(), {mXvfb, "-displayfd", "1", "-screen", "0", "640x360x24", "-nolisten", "tcp"});
        for (int i = 0; i < 100 && mDisplay.empty() && mServer > 0; ++i) {
            std::istringstream lines(mBed.GetOutput(mServer));
            for (std::string line; std::getline(lines, line) && mDisplay.empty();) {
                if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) mDisplay = ":" + line;
            }
            if (mDisplay.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return !mDisplay.empty();
    }

    void SetOpenerStatus(int status) {
        std::ofstream opener(mFolder + "/xdg-open");
        opener << "#!/bin/sh\nprintf '%s\\n' \"$1\" > '" << mFifo << "'\nexit " << status << "\n";
        opener.close();
        chmod((mFolder + "/xdg-open").c_str(), 0755);
    }
    std::vector<std::string> Environment() const {
        return {"PATH=" + mFolder + ":/usr/bin:/bin", "HOME=" + mFolder, "DISPLAY=" + mDisplay, "LANG=C.UTF-8",
                "QT_QPA_PLATFORM=xcb"};
    }

    // One run of the program: `during` runs on this thread while the program runs; the
    // hand-off's moment and URL are taken by a thread waiting on the FIFO. Ends the program
    // after `runMs` at the latest.
    struct Run {
        Clock::time_point mStarted{};
        Clock::time_point mHandedOff{};
        std::string mOpened;
        bool mEnded = false;
        int mExitStatus = -1;
        double mWallMs = 0;  // start to end, once it ended
        std::string mErrors;
    };
    template <typename During>
    Run RunOnce(const std::string& program, int runMs, During during) {
        Run run;
        if (!StartServer()) {
            run.mErrors = "Xvfb did not start";
            return run;
        }
        const int reader = open(mFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader < 0) return run;
        std::atomic<bool> isWoken{false};
        std::thread browser([&] {
            pollfd wait{reader, POLLIN, 0};
            const int ready = poll(&wait, 1, runMs + 5000);
            isWoken = true;
            if (ready != 1) return;
            run.mHandedOff = Clock::now();
            char buffer[512];
            for (int i = 0; i < 100; ++i) {
                const ssize_t count = read(reader, buffer, sizeof buffer);
                if (count > 0) run.mOpened.append(buffer, static_cast<size_t>(count));
                if (count == 0 || run.mOpened.find('\n') != std::string::npos) break;
                if (count < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        BenchProcess finder(mBed.GetHostNamespace(), {program}, Environment());
        run.mStarted = Clock::now();
        if (finder.Start()) {
            during(finder, run);
            run.mEnded = finder.Wait(runMs);
        }
        run.mExitStatus = run.mEnded ? finder.GetExitStatus() : -1;
        run.mWallMs = run.mEnded ? finder.GetWallMs() : 0;
        run.mErrors = finder.GetErrors();
        finder.Signal(SIGKILL);
        for (int i = 0; i < 200 && !isWoken; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!isWoken) {
            const int writer = open(mFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0) close(writer);
        }
        browser.join();
        close(reader);
        mBed.Stop(mServer);
        return run;
    }

private:
    TestBed& mBed;
    std::string mXvfb;
    std::string mWhyNot;
    pid_t mServer = -1;
    std::string mDisplay;
    std::string mFolder;
    std::string mFifo;
};

}  // namespace

void QipfinderFigures(const FigureOptions& options) {
    std::printf("### qipfinder, start to the browser hand-off\n\n");
    const std::string program = TestBed::BinaryPath("qipfinder");
    const std::string bundle = TestBed::BinaryPath("../share/qipfinder/Info.plist");
    if (access(program.c_str(), X_OK) != 0) {
        std::printf("Skipped: this build has no qipfinder (Qt 6 missing?).\n\n");
        return;
    }
    // The shipped settings decide the figure: the wanted type and the poll interval.
    const std::string plist = ReadFile(bundle);
    std::string type = PlistValue(plist, "DeviceKennung");
    if (type.empty()) type = PlistValue(plist, "CFBundleName");
    const std::string timeout = PlistValue(plist, "QipTimeout");
    TestBed bed;
    FinderRig rig(bed);
    if (!rig.WhyNot().empty()) {
        std::printf("Skipped: %s.\n\n", rig.WhyNot().c_str());
        return;
    }
    std::printf("The built program with the shipped Info.plist (QipTimeout %s), one simulated device of type\n"
                "%s, a stand-in `xdg-open` first on PATH that hands the URL to this program, under Xvfb; median\n"
                "of %d runs.\n\n", timeout.empty() ? "absent, so 10 s" : (timeout + " s").c_str(), type.c_str(), options.mRuns);
    const std::string ns = bed.AddDevice({"192.0.2.21/24"});
    const std::vector<std::string> device = {"--type", type, "--id", "bench-lone", "--address", "192.0.2.21"};
    pid_t simulator = ns.empty() ? -1 : bed.StartSimulator(ns, device);
    if (simulator <= 0) {
        std::printf("Skipped: the simulated device did not start.\n\n");
        return;
    }
    const std::string page = "http://192.0.2.21/";
    auto nothing = [](BenchProcess&, FinderRig::Run&) {};

    // The lone device's page, opened.
    std::vector<double> handOffs, exits;
    std::vector<std::string> shown;
    for (int i = 0; i < options.mRuns; ++i) {
        const FinderRig::Run run = rig.RunOnce(program, 60000, nothing);
        if (!run.mEnded || Trimmed(run.mOpened) != page) {
            shown.push_back(run.mEnded ? "opened '" + Trimmed(run.mOpened) + "'" : "no end in 60 s");
            std::fprintf(stderr, "qipfinder run %d, exit %d:\n%s\n", i + 1, run.mExitStatus, run.mErrors.c_str());
            continue;
        }
        handOffs.push_back(MsBetween(run.mStarted, run.mHandedOff));
        exits.push_back(run.mWallMs);
        shown.push_back(Ms(handOffs.back()));
    }
    std::printf("| Measured | Each run (ms) | Median | Target |\n|---|---|---|---|\n");
    std::printf("| start to `xdg-open http://192.0.2.21/` | %s | **%s ms** | at most 1,200 ms |\n", Joined(shown).c_str(),
                handOffs.empty() ? "none" : Ms(Median(handOffs)).c_str());

    // Warm: another program already owns the port and has heard the device, so the
    // program subscribes and gets the device at once.
    {
        BenchProcess owner(bed.GetHostNamespace(),
                           {TestBed::BinaryPath("qip-discover"), "--watch", "--no-ssid", "--type", type});
        bool heard = owner.Start();
        for (int step = 0; heard && step < 1500 && owner.GetOutput().find("bench-lone") == std::string::npos; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        heard = heard && owner.GetOutput().find("bench-lone") != std::string::npos;
        std::vector<double> warm;
        shown.clear();
        for (int i = 0; i < options.mRuns && heard; ++i) {
            const FinderRig::Run run = rig.RunOnce(program, 60000, nothing);
            if (!run.mEnded || Trimmed(run.mOpened) != page) {
                shown.push_back(run.mEnded ? "opened '" + Trimmed(run.mOpened) + "'" : "no end in 60 s");
                continue;
            }
            warm.push_back(MsBetween(run.mStarted, run.mHandedOff));
            shown.push_back(Ms(warm.back()));
        }
        std::printf("| the same beside an owner (`qip-discover --watch`) that heard the device | %s | **%s ms** | at "
                    "most 500 ms |\n", heard ? Joined(shown).c_str() : "the owner heard nothing",
                    warm.empty() ? "none" : Ms(Median(warm)).c_str());
        owner.Signal(SIGTERM);
        owner.Wait(5000);
    }

    // A browser that fails: from the opener's end to the program's message (written to
    // standard error in the same pass of the event loop that shows it in the window).
    rig.SetOpenerStatus(3);
    std::vector<double> messages;
    shown.clear();
    for (int i = 0; i < options.mRuns; ++i) {
        Clock::time_point said{};
        const FinderRig::Run run = rig.RunOnce(program, 15000, [&said](BenchProcess& finder, FinderRig::Run&) {
            for (int step = 0; step < 3000; ++step) {
                if (finder.GetErrors().find("ended with status 3") != std::string::npos) {
                    said = Clock::now();
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            finder.Signal(SIGTERM);
        });
        if (said == Clock::time_point{} || run.mHandedOff == Clock::time_point{}) {
            shown.push_back("no message");
            std::fprintf(stderr, "qipfinder failing-browser run %d:\n%s\n", i + 1, run.mErrors.c_str());
            continue;
        }
        messages.push_back(MsBetween(run.mHandedOff, said));
        shown.push_back(Ms(messages.back()));
    }
    std::printf("| a browser that fails (exit 3): its end to the message | %s | **%s ms** | at most 1,000 ms |\n",
                Joined(shown).c_str(), messages.empty() ? "none" : Ms(Median(messages)).c_str());

    // "No device found", then the device is switched on: no key is pressed.
    rig.SetOpenerStatus(0);
    bed.Stop(simulator);

    // The same lone device with a status page that never answers: the page opens when the
    // answers settle, never waiting for the status page.
    std::vector<std::string> hanging = device;
    hanging.push_back("--http-hang");
    simulator = bed.StartSimulator(ns, hanging);
    std::vector<double> hungHandOffs;
    shown.clear();
    for (int i = 0; i < options.mRuns && simulator > 0; ++i) {
        const FinderRig::Run run = rig.RunOnce(program, 60000, nothing);
        if (!run.mEnded || Trimmed(run.mOpened) != page) {
            shown.push_back(run.mEnded ? "opened '" + Trimmed(run.mOpened) + "'" : "no end in 60 s");
            continue;
        }
        hungHandOffs.push_back(MsBetween(run.mStarted, run.mHandedOff));
        shown.push_back(Ms(hungHandOffs.back()));
    }
    std::printf("| the same, its status page hanging | %s | **%s ms** | at most 1,200 ms |\n", Joined(shown).c_str(),
                hungHandOffs.empty() ? "none" : Ms(Median(hungHandOffs)).c_str());
    bed.Stop(simulator);
    std::vector<double> laters;
    shown.clear();
    for (int i = 0; i < options.mRuns; ++i) {
        Clock::time_point switchedOn{};
        const FinderRig::Run run = rig.RunOnce(program, 40000, [&](BenchProcess&, FinderRig::Run& started) {
            // Three empty looks, QipTimeout apart, report "No device found".
            const int seconds = timeout.empty() ? 10 : std::atoi(timeout.c_str());
            std::this_thread::sleep_until(started.mStarted + std::chrono::milliseconds(seconds * 3000 + 1000));
            simulator = bed.StartSimulator(ns, device);
            switchedOn = Clock::now();
        });
        bed.Stop(simulator);
        if (Trimmed(run.mOpened) != page || run.mHandedOff == Clock::time_point{}) {
            shown.push_back("not opened");
            std::fprintf(stderr, "qipfinder run %d after no device, exit %d:\n%s\n", i + 1, run.mExitStatus,
                         run.mErrors.c_str());
            continue;
        }
        laters.push_back(MsBetween(switchedOn, run.mHandedOff));
        shown.push_back(Ms(laters.back()));
    }
    std::printf("| after \"No device found.\": device switched on to `xdg-open` | %s | **%s ms** | about 12,000 ms |\n",
                Joined(shown).c_str(), laters.empty() ? "none" : Ms(Median(laters)).c_str());
    std::printf("| start to exit, the lone device | | %s ms | |\n", exits.empty() ? "none" : Ms(Median(exits)).c_str());
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
}
