#pragma once

#include <string>
#include <vector>

// One address a simulated device answers from, with the netmask and broadcast address of
// its subnet, all dotted quads.
struct QipSimAddress {
    std::string mAddress;
    std::string mNetmask;
    std::string mBroadcast;
};

// How the HTTP side of a device behaves.
enum class QipSimHttpMode {
    cServe,    // answers every request
    cNone,     // no listening socket: connections are refused
    cHang,     // accepts and reads, never answers
    cNoAccept, // listens with a full backlog: a connection attempt is never answered
};

// Hostile answers of the HTTP side (--http-fault).
enum class QipSimHttpFault {
    cNone,
    cTrickle,   // the answer one byte a second
    cEndless,   // a "200 OK" head, then lines without end
    cGarbage,   // 1 MiB of arbitrary bytes, then the close
    cReset,     // half the answer, then a reset instead of a close
    cNested,    // a "200 OK" page of 60,000 nested tags, one per line
    cTinyTags,  // a "200 OK" page of 64 KiB filled with tiny distinct values ("<ab></")
};

// Everything one simulated device is: identity, addresses and its fault modes.
struct QipSimDeviceConfig {
    std::string mType = "QipSim";
    std::string mId;                        // "sim-<n>" when not given
    std::vector<QipSimAddress> mAddresses;  // at least one
    std::vector<std::string> mListen;       // further addresses whose whoisthere it hears
    std::string mStatusUrl = "/status.xml";
    std::string mPacketId = "1";
    std::string mSsid = "QipSim";
    std::string mHelloIp;                   // IP field of the hello; empty: the source address
    unsigned short mHttpPort = 80;

    unsigned long mIdCount = 1;             // > 1: answers as ids <id>-1 ... <id>-N
    QipSimHttpMode mHttpMode = QipSimHttpMode::cServe;
    QipSimHttpFault mHttpFault = QipSimHttpFault::cNone;
    int mHttpStatus = 200;
    bool mLfOnly = false;
    int mHttpDelayMs = 0;
    int mHttpSplitMs = -1;                  // pause between the two pieces; -1: one piece
    unsigned long mPageSize = 0;            // whole response in bytes; 0: as it comes
    long long mSilentAfterMs = -1;          // -1: answers for ever
    int mAnswerDelayMs = 0;                 // each hello leaves this long after the whoisthere
    unsigned long mPacketIdEvery = 0;       // 0: the packet id never changes
    std::string mMalformed;                 // "", "unterminated", "few-fields", "wrong-case"
};

// The simulator's command line: global flags, then one `--device` group per device whose
// flags apply to the device of the latest `--device` (flags before the first `--device`
// start the first device by themselves). Parsing is pure: no sockets, no output.
class QipSimOptions {
public:
    bool mHelp = false;
    bool mVersion = false;
    bool mVerbose = false;
    unsigned short mPort = 19375;
    std::vector<QipSimDeviceConfig> mDevices;

    // Fills `options` from argv (argv[0] is the program). False with a one-line `error`
    // (no trailing newline) on an unknown flag, a missing or bad value, an argument after
    // "--" (the simulator takes none), a device without an address, or two devices sharing
    // an address.
    static bool Parse(int argc, const char* const* argv, QipSimOptions* options, std::string* error);
    // The text of --help.
    static std::string Usage();
    // "a.b.c.d[/bits]" (bits 0-32, 24 when absent) into an address record; false if invalid.
    static bool ParseAddress(const std::string& text, QipSimAddress* address);

private:
    class Reader;
};
