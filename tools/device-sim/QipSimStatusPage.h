#pragma once

#include <string>

#include "tools/device-sim/QipSimOptions.h"

// The HTTP side of one simulated device as pure text: reading a request head, writing the
// answer. No sockets; any thread.
class QipSimStatusPage {
public:
    enum class Request { cIncomplete, cComplete, cBad };

    // Looks at what a connection has received so far. Complete once the head ends with an
    // empty line (CRLF or LF line ends); `target` is then the request target of the
    // "GET <target> HTTP/1.x" line. Bad when the first line is not such a GET line.
    static Request ParseRequest(const std::string& received, std::string* target);

    // The whole answer to a request for `target`: the status page with the configured
    // status when `target` names the device's status URL (with or without "http://host"),
    // "404 Not Found" otherwise. Line ends and size follow the device's fault modes.
    static std::string BuildResponse(const QipSimDeviceConfig& config, const std::string& target);

    // Where a two-piece answer is cut: the start of the line holding "<ssid>", so the SSID
    // is only in the second piece (the middle when there is no such line).
    static size_t SplitPoint(const std::string& response);
};
