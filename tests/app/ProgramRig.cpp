#include "tests/app/ProgramRig.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

const char* const cTestBundle = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleName</key>
	<string>QipFinder</string>
	<key>DeviceKennung</key>
	<array><string>QipSim</string></array>
	<key>QipTimeout</key>
	<integer>1</integer>
</dict>
</plist>
)";

const char* const cNoDeviceFound = "label messageLabel 0 No device found.\n";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text, bool executable) {
    std::ofstream(path) << text;
    if (executable) {
        chmod(path.c_str(), 0755);
    }
}

ProgramRig::ProgramRig(TestBed& bed, const std::string& language, const std::string& screen)
    : mBed(bed), mServer(bed, "Xvfb", screen), mLanguage(language) {
    char pattern[] = "/tmp/qipfinder-test-XXXXXX";
    mRoot = mkdtemp(pattern);
    fs::create_directories(mRoot / "bin");
    fs::create_directories(mRoot / "share/qipfinder");
    fs::create_directories(mRoot / "path");
    fs::copy_file(TestBed::BinaryPath("qipfinder"), mRoot / "bin/qipfinder");
    WriteText(mRoot / "share/qipfinder/Info.plist", cTestBundle);
    for (const char* qm : {"qipfinder_en.qm", "qipfinder_de.qm", "qipfinder.svg"}) {
        fs::copy_file(fs::path(QIPFINDER_BUNDLE_DIR) / qm, mRoot / "share/qipfinder" / qm);
    }
    fs::copy(fs::path(QIPFINDER_BUNDLE_DIR) / "help", mRoot / "share/qipfinder/help");
    WriteText(mRoot / "path/xdg-open",
              "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\n", true);
}

ProgramRig::~ProgramRig() {
    std::error_code ignored;
    fs::remove_all(mRoot, ignored);
}

std::vector<std::string> ProgramRig::Command(const std::vector<std::string>& program,
                                             bool withBrowser) const {
    // Without a browser the path holds nothing that could open a page.
    const std::string path =
        withBrowser ? (mRoot / "path").string() + ":/usr/bin:/bin" : (mRoot / "bin").string();
    std::vector<std::string> argv{"/usr/bin/env", "-i", "PATH=" + path,
                                  "HOME=" + mRoot.string(), "DISPLAY=" + mServer.GetDisplay(),
                                  "LANG=" + mLanguage, "QT_QPA_PLATFORM=xcb",
                                  "QT_PLUGIN_PATH=" + std::string(QIPFINDER_PROBE_DIR),
                                  "QT_QPA_GENERIC_PLUGINS=qipprobe:" + ProbeFile().string()};
    // Sanitizer settings of the build under test apply to the program too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            argv.push_back(std::string(name) + "=" + value);
        }
    }
    argv.insert(argv.end(), program.begin(), program.end());
    return argv;
}

void ProgramRig::SetOpenerStatus(int status) const {
    WriteText(mRoot / "path/xdg-open",
              "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\nexit " +
                  std::to_string(status) + "\n",
              true);
}

void ProgramRig::SetOpenerKeepsRunning() const {
    WriteText(mRoot / "path/xdg-open",
              "#!/bin/sh\necho \"$1\" >> '" + (mRoot / "opened.txt").string() + "'\necho $$ > '" +
                  (mRoot / "browser.pid").string() + "'\nexec sleep 30 </dev/null >/dev/null 2>&1\n",
              true);
}

void ProgramRig::StopBrowser() const {
    const std::string pid = ReadText(mRoot / "browser.pid");
    if (!pid.empty()) {
        kill(std::stoi(pid), SIGTERM);
    }
}

std::string ProgramRig::WaitForWindow(const std::vector<std::string>& wanted) const {
    std::string shown;
    for (int i = 0; i < 150; ++i) {
        shown = ReadText(ProbeFile());
        bool all = true;
        for (const std::string& text : wanted) {
            all = all && shown.find(text) != std::string::npos;
        }
        if (all) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return shown;
}

bool ProgramRig::Screenshot(const std::string& name) {
    const fs::path folder = fs::path(QIPFINDER_ARTIFACT_DIR);
    fs::create_directories(folder);
    std::string output;
    return mBed.Run(mBed.GetHostNamespace(),
                    Command({TestBed::BinaryPath("qip-screen-grab"), (folder / name).string()}),
                    &output) == 0;
}

bool EndsByItself(pid_t pid) {
    for (int i = 0; i < 150; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            return true;
        }
        const size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void WaitForPress(const ProgramRig& rig) {
    for (int i = 0; i < 150 && fs::exists(rig.ProbeFile().string() + ".press"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ProgramTest::AddDevice(const std::string& address, const std::string& id,
                            const std::string& ssid, const std::string& type) {
    const std::string ns = mBed.AddDevice({address + "/24"});
    ASSERT_FALSE(ns.empty());
    const pid_t simulator = mBed.StartSimulator(
        ns, {"--id", id, "--address", address, "--ssid", ssid, "--type", type});
    ASSERT_GT(simulator, 0);
    mSimulators[id] = simulator;
}

std::string ProgramTest::ShowsAfterStart(ProgramRig& rig,
                                         const std::vector<std::string>& wanted,
                                         const std::string& screenshot) {
    const pid_t program = mBed.Start(mBed.GetHostNamespace(), rig.ProgramCommand());
    const std::string shown = program > 0 ? rig.WaitForWindow(wanted) : "";
    EXPECT_TRUE(rig.Screenshot(screenshot));
    EXPECT_EQ(rig.Opened(), "");
    mBed.Stop(program);
    return shown;
}
