// qip-device-sim: one process that plays one or more QIP devices (see --help).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/QipProgramOutput.h"
#include "ksp/KspDescriptor.h"
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
    const QipProgramOutput output("qip-device-sim");
    if (!QipSimOptions::Parse(argc, argv, &options, &error)) return output.UsageError(error);
    if (options.mHelp) return output.Conclude(QipOptionParser::Outcome::cHelp, QipSimOptions::Usage(), "", 1);
    if (options.mVersion) return output.Conclude(QipOptionParser::Outcome::cVersion, "", "", 1);
    if (KspDescriptor::OpenPipe(gStopPipe) != 0) {
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
            // A script that cannot read "ready" would wait for it in vain.
            if (output.Write("ready\n")) {
                server.Run(gStopPipe[0]);
                status = 0;
            }
        }
    }
    close(gStopPipe[0]);
    close(gStopPipe[1]);
    return status;
}
