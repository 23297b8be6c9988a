// The window's start with 4,096 known devices: from the controller's launch (the moment the
// event loop runs with the window on screen) until the table lists them, against the same
// launch without the store (QipKnownDevices false). The window and controller are the real
// ones, on the offscreen platform, with a search that sends nothing. Prints a Markdown table.
//
//   window-store-figure [--runs N]

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <QApplication>
#include <QTableView>

#include <algorithm>
#include <string>
#include <vector>

#include "app/QipMainWindow.h"
#include "store/QipDeviceStore.h"
#include "tests/app/AppTestSupport.h"

namespace {

double NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Milliseconds from launch until the table has `rows` rows (measured right after the launch
// returns and the event loop has drawn once).
double Launch(bool withStore, int& rows) {
    QVariantMap info{{"CFBundleName", "QipFinder"}};
    if (!withStore) info.insert("QipKnownDevices", false);
    RecordingWorkspace workspace;
    QuietSearchFactory factory;
    QipController controller(QipBundle(info, "/nonexistent", "qipfinder"), &workspace, &factory);
    QipMainWindow window(&controller);
    window.show();
    QApplication::processEvents();
    const double start = NowMs();
    controller.applicationDidFinishLaunching();
    QApplication::processEvents();
    const double shown = NowMs() - start;
    rows = window.findChild<QTableView*>("deviceTable")->model()->rowCount();
    return shown;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 21;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs") runs = atoi(argv[i + 1]);
    }
    char folder[] = "/tmp/qip-window-store-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    setenv("XDG_STATE_HOME", folder, 1);
    {
        QipDeviceStore store(QipDeviceStore::DefaultPath(), "window-store-figure");
        const time_t now = time(nullptr);
        std::string error;
        for (int i = 0; i < 4096; ++i) {
            store.Note("known-" + std::to_string(i), "QipFinder", "192.0.2." + std::to_string(i % 250 + 1), "Office",
                       now - 86400 + i);
            if (i % 8 == 0) store.SetLabel("known-" + std::to_string(i), "Room " + std::to_string(i), error);
        }
        store.Flush();
    }
    EnsureApplication();
    std::vector<double> with, without;
    int rowsWith = 0, rowsWithout = 0;
    for (int run = 0; run < runs; ++run) {
        with.push_back(Launch(true, rowsWith));
        without.push_back(Launch(false, rowsWithout));
    }
    printf("## The window's start with 4,096 known devices\n\n");
    printf("| launch to the table drawn (median of %d, offscreen) | ms | rows |\n|---|---|---|\n", runs);
    printf("| `QipKnownDevices` false | %.1f | %d |\n| 4,096 known devices | %.1f | %d |\n", Median(without), rowsWithout,
           Median(with), rowsWith);
    printf("| **the store adds** | **%.1f** | |\n\n", Median(with) - Median(without));
    if (system(("rm -rf '" + std::string(folder) + "'").c_str()) != 0) fprintf(stderr, "cannot remove %s\n", folder);
    return 0;
}
