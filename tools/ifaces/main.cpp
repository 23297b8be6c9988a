// Lists the IPv4 interfaces the discovery client broadcasts on: one line per address, with
// the broadcast address each whoisthere would go to.
#include <stdio.h>

#include <string>

#include "ksp/KspNetworkInterface.h"

namespace {

const char cUsage[] =
    "Usage: qip-ifaces [OPTION]...\n"
    "Lists the IPv4 addresses of this machine's interfaces, one per line, with the netmask\n"
    "and the broadcast address that QIP discovery sends its whoisthere to.\n"
    "\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "  --              end of options\n"
    "\n"
    "Exit status: 0 on success, 1 when the list could not be written,\n"
    "2 on a usage error.\n";

int UsageError(const std::string& message) {
    fprintf(stderr, "qip-ifaces: %s\nTry 'qip-ifaces --help'.\n", message.c_str());
    return 2;
}

int Flushed() {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("qip-ifaces: write error");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            return UsageError("unexpected argument '" + argument + "'");
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help") {
            fputs(cUsage, stdout);
            return Flushed();
        } else if (argument == "--version") {
            printf("qip-ifaces %s\n", QIPFINDER_VERSION);
            return Flushed();
        } else {
            return UsageError("unknown option '" + argument + "'");
        }
    }

    const std::vector<KspNetworkInterface> interfaces = KspNetworkInterface::Enumerate();
    printf("%-16s %-15s %-15s %-15s\n", "Interface", "Address", "Netmask", "Broadcast");
    for (const KspNetworkInterface& entry : interfaces) {
        printf("%-16s %-15s %-15s %-15s\n", entry.GetName().c_str(), entry.GetIpAddress().c_str(),
               entry.GetNetmask().c_str(), entry.MakeBroadcastAddress().c_str());
    }
    return Flushed();
}
