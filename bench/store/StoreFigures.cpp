// The store of known devices, measured where a user would notice it:
//   start  qip-discover's start to exit with 4,096 known devices, against --no-store
//   cpu    the share of a core the store takes while 4,096 devices answer every cycle
//   kills  a program writing 4,096 devices killed with SIGKILL at random moments: does the
//          store open each time, and does it hold what was written a second before the kill
// Prints Markdown tables on standard output.
//
//   store-figures [--only start,cpu,kills] [--runs N] [--cpu-seconds S] [--kills N]
//
// The start figure runs qip-discover in a network namespace of its own (root needed; without
// it the figure says so), so that no other program on the port changes what it does.

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "ksp/KspClock.h"
#include "store/QipDeviceStore.h"

namespace {

const size_t cDevices = 4096;

std::string gBin;

std::string MakeFolder() {
    char folder[] = "/tmp/qip-store-bench-XXXXXX";
    return mkdtemp(folder) != nullptr ? folder : "";
}

void RemoveFolder(const std::string& folder) {
    if (!folder.empty() && system(("rm -rf '" + folder + "'").c_str()) != 0) {
        fprintf(stderr, "cannot remove %s\n", folder.c_str());
    }
}

std::string Id(size_t i) {
    char id[32];
    snprintf(id, sizeof id, "00:1A:2B:%02X:%02X:%02X", static_cast<unsigned>(i >> 16) & 0xFF,
             static_cast<unsigned>(i >> 8) & 0xFF, static_cast<unsigned>(i) & 0xFF);
    return id;
}

std::string Address(size_t i) {
    return "10." + std::to_string(i >> 16 & 0xFF) + "." + std::to_string(i >> 8 & 0xFF) + "." + std::to_string(i & 0xFF);
}

void Fill(const std::string& path, size_t devices) {
    QipDeviceStore store(path, "store-figures");
    const time_t now = time(nullptr);
    std::string error;
    for (size_t i = 0; i < devices; ++i) store.Note(Id(i), "QipBox", Address(i), "Office", now - 86400 + static_cast<time_t>(i));
    store.Flush();
    for (size_t i = 0; i < devices; i += 8) store.SetLabel(Id(i), "Room " + std::to_string(i), error);
    store.Flush();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Milliseconds from fork to exit of qip-discover with `args` and XDG_STATE_HOME=`state`, and
// the CPU milliseconds the program took (which the machine's other work does not stretch).
double RunDiscover(const std::string& state, const std::vector<std::string>& args, double& cpuMs) {
    const double start = NowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_STATE_HOME", state.c_str(), 1);
        std::vector<char*> argv;
        std::string program = gBin + "/qip-discover";
        argv.push_back(&program[0]);
        std::vector<std::string> copy = args;
        for (std::string& arg : copy) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    return NowMs() - start;
}

void StartFigure(int runs) {
    printf("## qip-discover's start with 4,096 known devices\n\n");
    if (unshare(CLONE_NEWNET) != 0) {
        printf("skipped: a network namespace of its own needs root (%s)\n\n", strerror(errno));
        return;
    }
    const std::string folder = MakeFolder();
    Fill(folder + "/qipfinder/devices.sqlite", cDevices);
    const std::vector<std::string> common{"--wait", "0", "--no-ssid", "--quiet"};
    std::vector<double> with, without, withCpu, withoutCpu;
    std::vector<std::string> noStore = common;
    noStore.push_back("--no-store");
    for (int run = 0; run < runs; ++run) {
        double cpu = 0;
        with.push_back(RunDiscover(folder, common, cpu));
        withCpu.push_back(cpu);
        without.push_back(RunDiscover(folder, noStore, cpu));
        withoutCpu.push_back(cpu);
    }
    printf("| run (median of %d, `--wait 0 --no-ssid`) | start to exit, ms | CPU, ms |\n|---|---|---|\n", runs);
    printf("| `--no-store` | %.1f | %.1f |\n| 4,096 known devices | %.1f | %.1f |\n", Median(without),
           Median(withoutCpu), Median(with), Median(withCpu));
    printf("| **the store adds** | **%.1f** | **%.1f** |\n\n", Median(with) - Median(without),
           Median(withCpu) - Median(withoutCpu));
    RemoveFolder(folder);
}

double CpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void CpuFigure(int seconds) {
    printf("## The store while 4,096 devices answer every cycle\n\n");
    const std::string folder = MakeFolder();
    const std::string path = folder + "/qipfinder/devices.sqlite";
    double cpu;
    double wall;
    {
        // Every device answers once a cycle (10 s), spread over the cycle as answers come in,
        // starting from a store that knows none of them.
        QipDeviceStore store(path, "store-figures");
        store.WaitUntilLoaded();
        const double cpuStart = CpuSeconds();
        const long long start = KspMonotonicMs();
        const long long cycleMs = 10000;
        const long long sliceMs = 100;
        for (long long at = start; at - start < seconds * 1000LL; at += sliceMs) {
            const long long inCycle = (at - start) % cycleMs;
            const size_t first = static_cast<size_t>(inCycle * cDevices / cycleMs);
            const size_t last = static_cast<size_t>((inCycle + sliceMs) * cDevices / cycleMs);
            const time_t now = time(nullptr);
            for (size_t i = first; i < last; ++i) store.Note(Id(i), "QipBox", Address(i), "Office", now);
            const long long left = at + sliceMs - KspMonotonicMs();
            if (left > 0) poll(nullptr, 0, static_cast<int>(left));
        }
        wall = (KspMonotonicMs() - start) / 1000.0;
        cpu = CpuSeconds() - cpuStart;
    }
    printf("| run | wall s | CPU s | share of a core |\n|---|---|---|---|\n");
    printf("| 4,096 devices a cycle, from none known | %.1f | %.3f | **%.2f %%** |\n\n", wall, cpu, 100 * cpu / wall);
    RemoveFolder(folder);
}

struct Report {
    int mRound;
    long long mNotedMs;
};

void KillFigure(int kills) {
    printf("## SIGKILL while writing 4,096 devices\n\n");
    const std::string folder = MakeFolder();
    const std::string path = folder + "/qipfinder/devices.sqlite";
    std::mt19937 random(static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> moment(100, 2500);
    int opened = 0;
    int heldAll = 0;
    int damaged = 0;
    long long worstLostMs = 0;
    std::vector<double> lost;
    for (int kill = 0; kill < kills; ++kill) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) break;
        const long long start = KspMonotonicMs();
        const pid_t writer = fork();
        if (writer == 0) {
            close(pipeEnds[0]);
            QipDeviceStore store(path, "writer");
            store.WaitUntilLoaded();
            // A new SSID for every device every 100 ms: each round is a change to write.
            for (int round = 1;; ++round) {
                const time_t now = time(nullptr);
                const std::string ssid = "k" + std::to_string(kill) + "-r" + std::to_string(round);
                for (size_t i = 0; i < cDevices; ++i) store.Note(Id(i), "QipBox", Address(i), ssid, now);
                const Report report{round, KspMonotonicMs()};
                if (write(pipeEnds[1], &report, sizeof report) != sizeof report) _exit(1);
                poll(nullptr, 0, 100);
            }
        }
        close(pipeEnds[1]);
        const long long killAt = start + moment(random);
        std::vector<Report> reports;
        pollfd readable{pipeEnds[0], POLLIN, 0};
        for (long long left; (left = killAt - KspMonotonicMs()) > 0;) {
            if (poll(&readable, 1, static_cast<int>(left)) <= 0) continue;
            Report report;
            if (read(pipeEnds[0], &report, sizeof report) != sizeof report) break;
            reports.push_back(report);
        }
        ::kill(writer, SIGKILL);
        const long long killedMs = KspMonotonicMs();
        waitpid(writer, nullptr, 0);
        close(pipeEnds[0]);

        int required = 0;
        for (const Report& report : reports) {
            if (report.mNotedMs <= killedMs - 1000) required = report.mRound;
        }
        QipDeviceStore store(path, "store-figures");
        if (!store.WaitUntilLoaded()) continue;
        ++opened;
        if (!store.GetProblem().empty()) ++damaged;
        const std::string prefix = "k" + std::to_string(kill) + "-r";
        int oldest = -1;
        for (const QipDeviceRecord& record : store.GetKnown()) {
            const int round = record.mSsid.compare(0, prefix.size(), prefix) == 0 ? atoi(record.mSsid.c_str() + prefix.size()) : 0;
            oldest = oldest < 0 ? round : std::min(oldest, round);
        }
        if (store.GetKnown().size() < cDevices) oldest = 0;
        if (oldest >= required) ++heldAll;
        // What the kill lost: from the newest round the store holds to the kill.
        long long heldNotedMs = start;
        for (const Report& report : reports) {
            if (report.mRound == oldest) heldNotedMs = report.mNotedMs;
        }
        if (oldest > 0) {
            lost.push_back(static_cast<double>(killedMs - heldNotedMs));
            worstLostMs = std::max(worstLostMs, killedMs - heldNotedMs);
        }
    }
    printf("| kills | store opened | undamaged | held every round noted ≥ 1 s before the kill | lost, median | lost, worst |\n");
    printf("|---|---|---|---|---|---|\n");
    printf("| %d | %d | %d | **%d** | %.0f ms | %lld ms |\n\n", kills, opened, opened - damaged, heldAll, Median(lost),
           worstLostMs);
    RemoveFolder(folder);
}

}  // namespace

int main(int argc, char** argv) {
    std::string only = "start,cpu,kills";
    int runs = 21;
    int cpuSeconds = 70;
    int kills = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--only") only = argv[i + 1];
        if (option == "--runs") runs = atoi(argv[i + 1]);
        if (option == "--cpu-seconds") cpuSeconds = atoi(argv[i + 1]);
        if (option == "--kills") kills = atoi(argv[i + 1]);
    }
    const std::string self = argv[0];
    gBin = self.substr(0, self.rfind('/'));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (only.find("cpu") != std::string::npos) CpuFigure(cpuSeconds);
    if (only.find("kills") != std::string::npos) KillFigure(kills);
    // Last: it moves this process into a network namespace of its own.
    if (only.find("start") != std::string::npos) StartFigure(runs);
    return 0;
}
