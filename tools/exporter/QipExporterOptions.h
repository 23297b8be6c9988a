#pragma once

#include <string>
#include <vector>

#include "cli/QipOptionParser.h"
#include "qip/QipProbeTarget.h"

// The command line of qip-exporter. Parse is pure: it reads only its arguments.
class QipExporterOptions {
public:
    // Next to the discovery protocol's UDP 19375, and outside the range 9100-9999 where
    // exporters conventionally take their ports.
    static const unsigned short cDefaultPort = 19376;
    static const char* const cDefaultListen;  // "127.0.0.1:19376"

    std::string mListen = cDefaultListen;
    std::vector<std::string> mTypes;       // empty: every type
    std::vector<std::string> mInterfaces;  // empty: every interface
    // Networks asked by unicast every cycle, beyond the broadcast domain: parsed, names not
    // yet resolved.
    std::vector<QipProbeTarget> mProbeTargets;
    unsigned long mProbeRate;  // probes a second
    std::string mWebConfig;    // --web-config FILE; empty: plain HTTP for everyone
    bool mNoSsid = false;
    bool mHelp = false;
    bool mVersion = false;

    QipExporterOptions();

    // Reads argv[1..argc-1] with the shared conventions of QipOptionParser ("--listen=A:P"
    // and "--listen A:P", "--" ends the options; the program takes no operands). False on a
    // usage error, with `error` saying what was wrong.
    bool Parse(int argc, const char* const* argv, std::string& error);

    // The listening address in the form the HTTP server takes it ("127.0.0.1:19376",
    // "[::1]:19376"), or empty when `text` is none: a numeric IPv4 address or a bracketed
    // IPv6 address, ":", and a port from 1 to 65535 (digits only).
    static std::string CheckListen(const std::string& text);

    // The text of --help.
    static std::string Usage();

private:
    class Reader;
};
