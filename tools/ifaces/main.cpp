// Lists the IPv4 interfaces the discovery client broadcasts on: one line per address, with
// the broadcast address each whoisthere would go to.
#include <stdio.h>

#include <string>

#include "cli/QipOptionParser.h"
#include "cli/QipProgramOutput.h"
#include "ksp/KspNetworkInterface.h"

namespace {

const char cUsage[] =
    "Usage: qip-ifaces [OPTION]...\n"
    "Lists the IPv4 addresses of this machine's interfaces, one per line, with the netmask\n"
    "and the broadcast address that QIP discovery sends its whoisthere to.\n"
    "\n"
    "  -h, --help      show this text and exit\n"
    "  -V, --version   show the version and exit\n"
    "  --              end of options\n"
    "\n"
    "Exit status: 0 on success, 1 when the list could not be written,\n"
    "2 on a usage error.\n"
    "\n"
    "Environment: none is read.\n";

// The program has no options beyond the shared -h/--help and -V/--version.
class NoOptions : public QipOptionParser::Handler {
public:
    bool OnOption(int, const std::string&, std::string&) override { return true; }
};

}  // namespace

int main(int argc, char** argv)
{
    const QipProgramOutput output("qip-ifaces");
    NoOptions noOptions;
    std::vector<std::string> operands;
    std::string error;
    const QipOptionParser::Outcome outcome =
        QipOptionParser("qip-ifaces", {}).Parse(argc, argv, noOptions, operands, error);
    if (outcome != QipOptionParser::Outcome::cRun) return output.Conclude(outcome, cUsage, error, 1);
    if (!operands.empty()) return output.UsageError("unexpected argument '" + operands.front() + "'");

    const std::vector<KspNetworkInterface> interfaces = KspNetworkInterface::Enumerate();
    printf("%-16s %-15s %-15s %-15s\n", "Interface", "Address", "Netmask", "Broadcast");
    for (const KspNetworkInterface& entry : interfaces) {
        printf("%-16s %-15s %-15s %-15s\n", entry.GetName().c_str(), entry.GetIpAddress().c_str(),
               entry.GetNetmask().c_str(), entry.MakeBroadcastAddress().c_str());
    }
    return output.Flush() ? 0 : 1;
}
