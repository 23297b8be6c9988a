// The desktop program's table at the library's full scale: see QipfinderFigures.h.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process/BenchProcess.h"
#include "bench/process/QipfinderFigures.h"
#include "tests/testbed/TestBed.h"

namespace {

const int cAddresses = 16;
const int cIdsPerAddress = 256;
const int cDevices = cAddresses * cIdsPerAddress;
const int cSteadySeconds = 20;

// The program's stats plugin: commands into <file>.cmd, answers appended to <file>.
class Stats {
public:
    explicit Stats(std::string file) : mFile(std::move(file)) {}
    // Sends `command` and waits (up to `seconds`) for its answer line.
    std::string Ask(const std::string& command, int seconds = 20) {
        const std::string word = command.substr(0, command.find(' '));
        const size_t before = ReadFile(mFile).size();
        std::ofstream(mFile + ".cmd") << command << "\n";
        for (int i = 0; i < seconds * 20; ++i) {
            const std::string all = ReadFile(mFile);
            if (all.size() > before) {
                std::istringstream lines(all.substr(before));
                for (std::string line; std::getline(lines, line);) {
                    if (line.rfind(word, 0) == 0) return line;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "";
    }

private:
    std::string mFile;
};

long RssKb(pid_t pid, const char* field) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    }
    return 0;
}

std::vector<double> Numbers(const std::string& line) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    std::vector<double> numbers;
    for (double value; words >> value;) numbers.push_back(value);
    return numbers;
}

}  // namespace

void QipfinderTableFigure(const FigureOptions&) {
    std::printf("### qipfinder with %d devices answering every cycle\n\n", cDevices);
    const std::string program = TestBed::BinaryPath("qipfinder");
    const std::string plugins = TestBed::BinaryPath("../lib/benchprobe");
    const char* xvfb = "/usr/bin/Xvfb";
    const char* session = "/usr/bin/dbus-run-session";
    const std::string script = std::string(QIPFINDER_BENCH_SOURCE_DIR) + "/AtspiLatency.py";
    if (access(program.c_str(), X_OK) != 0 || access((plugins + "/generic").c_str(), R_OK) != 0) {
        std::printf("Skipped: this build has no qipfinder or no stats plugin (Qt 6 missing?).\n\n");
        return;
    }
    if (access(xvfb, X_OK) != 0 || access(session, X_OK) != 0) {
        std::printf("Skipped: Xvfb or dbus-run-session is not installed.\n\n");
        return;
    }
    TestBed bed;
    if (!bed.IsReady()) {
        std::printf("Skipped: the test bed is not ready.\n\n");
        return;
    }
    // The shipped bundle's wanted type: its DeviceKennung, else its name.
    const std::string plist = ReadFile(TestBed::BinaryPath("../share/qipfinder/Info.plist"));
    std::string type;
    for (const char* key : {"<key>DeviceKennung</key>", "<key>CFBundleName</key>"}) {
        const size_t at = plist.find(key);
        const size_t open = at == std::string::npos ? at : plist.find("<string>", at);
        if (type.empty() && open != std::string::npos) {
            type = plist.substr(open + 8, plist.find('<', open + 8) - open - 8);
        }
    }
    std::vector<pid_t> simulators;
    for (int i = 0; i < cAddresses; ++i) {
        const std::string address = "192.0.2." + std::to_string(101 + i);
        const std::string ns = bed.AddDevice({address + "/24"});
        const pid_t simulator = ns.empty() ? -1 : bed.StartSimulator(ns, {"--address", address, "--id", "t" + std::to_string(i),
                                                                           "--ids", std::to_string(cIdsPerAddress), "--no-http", "--type", type});
        if (simulator <= 0) {
            std::printf("Skipped: simulator %d did not start.\n\n", i + 1);
            return;
        }
        simulators.push_back(simulator);
    }
    const pid_t server = bed.Start(bed.GetHostNamespace(),
                                   {xvfb, "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    std::string display;
    for (int i = 0; i < 100 && display.empty() && server > 0; ++i) {
        std::istringstream lines(bed.GetOutput(server));
        for (std::string line; std::getline(lines, line) && display.empty();) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) display = ":" + line;
        }
        if (display.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    char pattern[] = "/tmp/qip-bench-table-XXXXXX";
    const std::string folder = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    const std::string statsFile = folder + "/stats.txt";
    const std::string busFile = folder + "/bus.txt";
    // The shipped bundle (its 10 s poll), with accessibility on, on a session bus of its own.
    BenchProcess finder(bed.GetHostNamespace(),
                        {session, "--", "sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + busFile + "'; exec '" + program + "'"},
                        {"PATH=/usr/bin:/bin", "HOME=" + folder, "DISPLAY=" + display, "LANG=C.UTF-8", "QT_QPA_PLATFORM=xcb",
                         "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "QT_PLUGIN_PATH=" + plugins,
                         "QT_QPA_GENERIC_PLUGINS=qiptablestats:" + statsFile});
    Stats stats(statsFile);
    std::string full;
    const auto started = std::chrono::steady_clock::now();
    double fillSeconds = 0;
    pid_t pid = -1;
    if (finder.Start()) {
        for (int i = 0; i < 120 && full.empty(); ++i) {
            const std::string count = stats.Ask("count", 5);
            const std::vector<double> n = Numbers(count);
            if (n.size() == 2 && static_cast<int>(n[0]) == cDevices) {
                full = count;
                fillSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        }
        // The program runs under the session's shell: its own pid is the shell's child.
        std::istringstream children(ReadFile("/proc/" + std::to_string(finder.GetPid()) + "/task/" +
                                             std::to_string(finder.GetPid()) + "/children"));
        for (std::string child; children >> child;) {
            if (ReadFile("/proc/" + child + "/comm").find("qipfinder") == 0) pid = std::atoi(child.c_str());
            std::istringstream grand(ReadFile("/proc/" + child + "/task/" + child + "/children"));
            for (std::string g; grand >> g;) {
                if (ReadFile("/proc/" + g + "/comm").find("qipfinder") == 0) pid = std::atoi(g.c_str());
            }
        }
    }
    if (full.empty() || pid <= 0) {
        std::printf("Not measured: the table did not fill with %d rows in 60 s (last: %s; pid %d).\n\n", cDevices,
                    stats.Ask("count", 5).c_str(), pid);
        for (pid_t simulator : simulators) bed.Stop(simulator);
        bed.Stop(server);
        return;
    }
    // A cycle past full, so that every row has had its answer since the table filled.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    stats.Ask("reset");
    // The whole process, or with `main` its event loop's thread alone.
    auto cpuMs = [pid](bool main = false) {
        std::istringstream stat(ReadFile("/proc/" + std::to_string(pid) + (main ? "/task/" + std::to_string(pid) : std::string()) + "/stat"));
        std::string field;
        std::string all = stat.str();
        std::istringstream rest(all.substr(all.rfind(')') + 2));
        std::vector<std::string> fields;
        while (rest >> field) fields.push_back(field);
        return fields.size() > 12 ? (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 1000.0 / sysconf(_SC_CLK_TCK) : 0.0;
    };
    const double cpuBefore = cpuMs();
    const double mainBefore = cpuMs(true);
    const auto steadyFrom = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(cSteadySeconds));
    const double steadyMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - steadyFrom).count();
    const double cpuShare = (cpuMs() - cpuBefore) / steadyMs * 100;
    const double mainShare = (cpuMs(true) - mainBefore) / steadyMs * 100;
    const std::vector<double> stall = Numbers(stats.Ask("stall"));
    const std::vector<double> counted = Numbers(stats.Ask("count"));
    const long rss = RssKb(pid, "VmRSS:");
    const long peak = RssKb(pid, "VmHWM:");
    // A screen reader's calls, while the devices go on answering.
    std::string output;
    const std::string bus = Trimmed(ReadFile(busFile));
    bed.Run(bed.GetHostNamespace(), {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "HOME=/tmp", "DBUS_SESSION_BUS_ADDRESS=" + bus,
                                     "/usr/bin/python3", script, "qipfinder", "40"},
            &output, 90000);
    const std::vector<double> reader = Numbers(output);
    const std::vector<double> sorts = Numbers(stats.Ask("sort", 60));
    const std::vector<double> filters = Numbers(stats.Ask("filter t7-1", 30));
    const std::vector<double> stallAfter = Numbers(stats.Ask("stall"));
    double sortMax = 0;
    for (double ms : sorts) sortMax = std::max(sortMax, ms);

    std::printf("The built program with its shipped Info.plist (type %s), accessibility on (a session bus of its\n"
                "own), under Xvfb; %d simulated addresses, each `qip-device-sim --ids %d --no-http`. The table filled in\n"
                "%.1f s; the figures below start one broadcast cycle later. The longest stall, the sort and the filter\n"
                "are taken inside the program by a stats plugin (bench/process/TableStats.cpp); the screen reader's calls\n"
                "by AT-SPI (bench/process/AtspiLatency.py: the row count and every cell of one row, 40 calls).\n\n",
                type.c_str(), cAddresses, cIdsPerAddress, fillSeconds);
    std::printf("| Measured | Value | Target |\n|---|---|---|\n");
    std::printf("| CPU over %d s, table full (of which the event loop's thread) | **%.1f %%** of a core (%.1f %%) | at most 5 %% |\n",
                cSteadySeconds, cpuShare, mainShare);
    std::printf("| rows / greyed rows | %s / %s | %d / 0 |\n", counted.size() == 2 ? std::to_string(static_cast<int>(counted[0])).c_str() : "?",
                counted.size() == 2 ? std::to_string(static_cast<int>(counted[1])).c_str() : "?", cDevices);
    std::printf("| screen reader's call, longest (median) | %s | at most 100 ms |\n",
                reader.size() == 4 ? (Ms(reader[0]) + " ms (" + Ms(reader[1]) + " ms)").c_str() : ("not read: " + Trimmed(output)).c_str());
    std::printf("| a screen reader's first look: from connecting to the table found | %s | |\n",
                reader.size() == 4 ? (Ms(reader[3]) + " ms").c_str() : "not found");
    std::printf("| sorting %d rows by each column both ways, longest | %s ms | at most 100 ms |\n", cDevices,
                sorts.empty() ? "?" : Ms(sortMax).c_str());
    std::printf("| filtering (\"t7-1\", to %s rows), and clearing it | %s ms, %s ms | at most 100 ms |\n",
                filters.size() == 3 ? std::to_string(static_cast<int>(filters[1])).c_str() : "?",
                filters.size() == 3 ? Ms(filters[0]).c_str() : "?", filters.size() == 3 ? Ms(filters[2]).c_str() : "?");
    std::printf("| RSS (peak) | %ld MB (%ld MB) | at most 100 MB |\n", rss / 1024, peak / 1024);
    std::printf("| longest main-thread stall over the %d s (and through the reader's calls) | %s ms (%s ms) | at most 50 ms |\n",
                cSteadySeconds, stall.empty() ? "?" : Ms(stall[0]).c_str(), stallAfter.empty() ? "?" : Ms(stallAfter[0]).c_str());
    std::printf("\nMeasured with %s.\n\n", Load().c_str());
    finder.Signal(SIGTERM);
    kill(pid, SIGTERM);
    finder.Wait(5000);
    for (pid_t simulator : simulators) bed.Stop(simulator);
    bed.Stop(server);
}
