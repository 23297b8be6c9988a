#pragma once

// The rig of the program tests: the real program under Xvfb (an 800x600 screen) in the test
// bed, with simulated devices, a stand-in browser and a probe that reads what the window
// shows. Each test builds its own rig; nothing here is shared between tests.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/testbed/TestBed.h"
#include "tests/testbed/XvfbServer.h"

namespace fs = std::filesystem;

// The Info.plist each rig's bundle starts with: devices of type QipSim, a one-second poll.
extern const char* const cTestBundle;
// What the window says once the search found nothing.
extern const char* const cNoDeviceFound;

// The whole file; empty when it cannot be read.
std::string ReadText(const fs::path& path);
void WriteText(const fs::path& path, const std::string& text, bool executable = false);

// One copy of the program in a bundle of its own, an X server in the bed's host namespace,
// and the environment the program runs with.
class ProgramRig {
public:
    // `language`: the LANG the program runs with; `screen`: the X screen's size.
    explicit ProgramRig(TestBed& bed, const std::string& language = "C.UTF-8",
                        const std::string& screen = "800x600x24");
    ~ProgramRig();

    bool IsReady() const { return mServer.IsReady(); }
    // Replaces the bundle's Info.plist.
    void WriteBundle(const std::string& text) const {
        WriteText(mRoot / "share/qipfinder/Info.plist", text);
    }

    // argv of `program` run with a clean environment on the rig's display, English texts,
    // the stand-in browser first on PATH and the probe loaded.
    std::vector<std::string> Command(const std::vector<std::string>& program,
                                     bool withBrowser = true) const;
    std::vector<std::string> ProgramCommand(bool withBrowser = true) const {
        return Command({(mRoot / "bin/qipfinder").string()}, withBrowser);
    }
    // Replaces the stand-in browser: it still notes each address, then ends with `status`.
    void SetOpenerStatus(int status) const;
    // Replaces the stand-in browser with one that stays in the foreground, as a browser
    // started by the opener may; StopBrowser ends it.
    void SetOpenerKeepsRunning() const;
    void StopBrowser() const;
    // Has the probe click the button of that name in the running program.
    void Press(const std::string& button) const {
        WriteText(ProbeFile().string() + ".press", button);
    }

    fs::path ProbeFile() const { return mRoot / "probe.txt"; }
    fs::path SettingsFile() const { return mRoot / ".config/qipfinder/qipfinder.ini"; }
    std::string Opened() const { return ReadText(mRoot / "opened.txt"); }

    // Waits up to 15 s until the probe shows every text in `wanted`; the last probe text.
    std::string WaitForWindow(const std::vector<std::string>& wanted) const;

    // Saves the screen under <build>/test-artifacts/<name>; true on success.
    bool Screenshot(const std::string& name);

private:
    TestBed& mBed;
    XvfbServer mServer;
    std::string mLanguage;
    fs::path mRoot;
};

// Waits up to 15 s until the process has ended by itself (a zombie or gone).
bool EndsByItself(pid_t pid);

// Waits up to 15 s until the probe in the running program has taken a press.
void WaitForPress(const ProgramRig& rig);

struct ProgramTest : ::testing::Test {
    // A simulated device of its own namespace; its simulator's pid in mSimulators[id].
    void AddDevice(const std::string& address, const std::string& id, const std::string& ssid,
                   const std::string& type = "QipSim");
    // Starts the program, waits until the window shows every text of `wanted` and saves a
    // screenshot; the texts it showed last.
    std::string ShowsAfterStart(ProgramRig& rig, const std::vector<std::string>& wanted,
                                const std::string& screenshot);

    TestBed mBed;
    std::map<std::string, pid_t> mSimulators;
};

#define QIP_REQUIRE_PROGRAM_RIG(rig)   \
    QIP_REQUIRE_TESTBED();             \
    ASSERT_TRUE(mBed.IsReady());       \
    ProgramRig rig(mBed);              \
    ASSERT_TRUE(rig.IsReady())
