// qip-device-sim: one process that plays one or more QIP devices (see --help).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/device-sim/QipSimOptions.h"
#include "tools/device-sim/QipSimServer.h"

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 0;
    (void)!write(gStopPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QipSimOptions options;
    std::string error;
    if (!QipSimOptions::Parse(argc, argv, &options, &error)) {
        std::fprintf(stderr, "qip-device-sim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.mHelp) {
        std::fputs(QipSimOptions::Usage().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.mVersion) {
        std::printf("qip-device-sim %s\n", QIPFINDER_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qip-device-sim: pipe2() failed");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int status = 1;
    {
        QipSimServer server(options);
        if (server.Open()) {
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
            server.Run(gStopPipe[0]);
            status = 0;
        }
    }
    close(gStopPipe[0]);
    close(gStopPipe[1]);
    return status;
}
