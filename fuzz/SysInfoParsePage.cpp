// Status pages from anything that answers on port 80, and the request sent to it.
// The input's first byte chooses the test: a page for IsOkStatus and ParsePage (which must
// never store past the cap, and must find again everything it stored), or a URL and a host
// for BuildRequest (whose head may hold CR and LF only in the line ends it writes itself).
#include <algorithm>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "sysinfo/SysInfo.h"

namespace {

void CheckPage(const std::string& page) {
    const std::string::size_type lineEnd = page.find("\r\n");
    const bool ok = lineEnd != std::string::npos &&
                    page.substr(0, lineEnd).find("200 OK") != std::string::npos;
    FUZZ_CHECK(SysInfo::IsOkStatus(page) == ok);

    SysInfo info("192.0.2.20", "/status.xml");
    info.ParsePage(page);
    size_t charged = 0;
    for (const auto& pair : info.GetValues()) {
        FUZZ_CHECK(!pair.first.empty() && pair.first[0] == '/');
        FUZZ_CHECK(&info.GetValue(pair.first) == &pair.second);
        charged += pair.first.size() + pair.second.size() + SysInfo::cEntryOverhead;
    }
    FUZZ_CHECK(charged == info.GetStoredBytes());
    FUZZ_CHECK(charged <= SysInfo::cMaxStoredBytes);
    // A page parsed line by line never stores a line break.
    for (const auto& pair : info.GetValues()) {
        FUZZ_CHECK(pair.first.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(pair.second.find_first_of("\r\n") == std::string::npos);
    }
}

void CheckRequest(const std::string& url, const std::string& host) {
    std::string request = "untouched";
    const bool built = SysInfo::BuildRequest(url, host, request);
    const bool clean = url.find_first_of("\r\n") == std::string::npos &&
                       host.find_first_of("\r\n") == std::string::npos;
    const size_t fixed = std::string("GET  HTTP/1.0\r\nHost: \r\nUser-Agent: kesprin QIP Library\r\n\r\n").size();
    const bool fits = url.size() + host.size() + fixed <= 65535;
    if (!built) {
        FUZZ_CHECK(request == "untouched");
        // Only a line break or a head past 65,535 bytes is refused.
        FUZZ_CHECK(!clean || !fits);
        return;
    }
    FUZZ_CHECK(clean && fits);
    FUZZ_CHECK(request.size() <= 65535);
    // Exactly four line ends, each CR LF, the last two closing the head, and no other CR or LF.
    size_t breaks = 0;
    for (std::string::size_type at = request.find_first_of("\r\n"); at != std::string::npos;
         at = request.find_first_of("\r\n", at + 1)) {
        FUZZ_CHECK(request[at] == '\r' && at + 1 < request.size() && request[at + 1] == '\n');
        ++at;
        ++breaks;
    }
    FUZZ_CHECK(breaks == 4);
    FUZZ_CHECK(request.size() >= 4 && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0);
    FUZZ_CHECK(request.compare(0, 4 + url.size(), "GET " + url) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    FuzzInput input(data, size);
    if (input.Byte() % 2 == 0) {
        CheckPage(input.Rest());
    } else {
        const std::string host = input.Text(255);
        CheckRequest(input.Rest(), host);
    }
    return 0;
}
