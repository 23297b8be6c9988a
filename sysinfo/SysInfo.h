#pragma once

#include <stddef.h>

#include <map>
#include <string>

// Fetches one device's status page over HTTP/1.0 and keeps its tagged lines as a map from
// tag paths ("/status/wlan/ssid") to values. A plain value with no lock: copies carry the
// values fetched so far. Fetch blocks its caller (bounded: a 2 s connection attempt and at
// most 3 s for the answer); after a failed Fetch the map is empty, never stale.
class SysInfo {
public:
    // The connection goes to `host` (dotted quad) port 80; `url` is the request target.
    // A URL holding "http://<host>/" is cut to the path after the host.
    SysInfo(const std::string& host, const std::string& url);
    SysInfo(const SysInfo& other) = default;
    SysInfo& operator=(const SysInfo& other) = default;
    virtual ~SysInfo();

    // Clears the map, requests the page and parses it. True when a page with "200 OK" on its
    // status line arrived; failures are reported on standard error.
    bool Fetch();
    // The value under `path` (a leading "/" is added when missing); a reference to an empty
    // string for a path that is not in the map. Valid until the next Fetch or destruction.
    const std::string& GetValue(const std::string& path) const;
    const std::map<std::string, std::string>& GetValues() const;

    // Steps of Fetch, public so that the protocol can be tested without a device.
    // A blocking TCP socket connected within 2 s to mHost port 80 (see SetPort), owned by the
    // caller; -1 after "socket() failed", "inet_aton() failed" or "connect() failed".
    int OpenConnection() const;
    // The same, with the failure's error code (errno value) in `error`: EINVAL for a host
    // that is no dotted quad, ETIMEDOUT when the attempt ran out of time.
    int OpenConnection(int& error) const;
    // Sends the request once and collects the answer into `page` until the peer closes,
    // 65,535 bytes have arrived or 3 s have passed; the page ends at a zero byte. True when
    // it is a "200 OK" page. False after "Invalid status URL\n" (nothing sent), "send()
    // failed" or "recv() failed" (nothing arrived), or silently for any other status.
    bool FetchPage(int socket, std::string& page) const;
    // The same, with `failure` set when nothing arrived: the error code of the failing
    // call (EINVAL for an invalid URL, ETIMEDOUT when the time ran out, ENODATA when the
    // device closed without a byte); 0 otherwise.
    bool FetchPage(int socket, std::string& page, int& failure) const;
    // Every value line stores path + "/" + tag, so a page of deep nesting and many short
    // lines would multiply its 64 KiB many thousand times over, and a page of many tiny
    // distinct pairs costs far more in map nodes than in text. Each pair therefore costs its
    // key and value bytes plus cEntryOverhead; a pair that would take the stored bytes past
    // cMaxStoredBytes is dropped, those before it kept. A line that replaces a value is
    // charged as a new pair, so a page can never win back room by repeating a path.
    void ParsePage(const std::string& page);
    void ParseLine(const std::string& line, std::string& path);
    static const size_t cMaxStoredBytes = 4 * 65536;
    // What one map entry costs beyond its text: the tree node with its two strings and the
    // allocator's bookkeeping, rounded up (about 112 bytes with the GNU library on 64 bits).
    static const size_t cEntryOverhead = 128;
    // The bytes charged against cMaxStoredBytes for the values held now.
    size_t GetStoredBytes() const { return mStoredBytes; }
    // Drops every value but the one under `path` (completed as in GetValue), so that a
    // caller who needs one value need not hold a whole page until it is done.
    void KeepOnly(const std::string& path);

    // The request for `url` on `host`; false (request untouched) when either holds CR or LF,
    // which would let a device split the request, or when it would exceed the 65,535 bytes a
    // request may take.
    static bool BuildRequest(const std::string& url, const std::string& host,
                             std::string& request);
    // True when "200 OK" begins on the first line of `page`, which must end in CRLF.
    static bool IsOkStatus(const std::string& page);

    const std::string& GetHost() const { return mHost; }
    const std::string& GetUrl() const { return mUrl; }
    // Test seam: the TCP port of the status page (80 unless a test bed says otherwise).
    void SetPort(unsigned short port) { mPort = port; }
    // Caps the whole of each later Fetch (connection and answer together) at `milliseconds`,
    // for callers that must finish many fetches by one deadline; the 2 s and 3 s bounds
    // still apply within it. 0 means no cap beyond those bounds. A cap that runs out ends
    // the fetch as a time-out would.
    void SetTimeLimit(unsigned long milliseconds) { mTimeLimitMs = milliseconds; }
    // A descriptor (an eventfd or a pipe's read end, not owned) that another thread makes
    // readable to end every Fetch under way or to come at once, as failed with the outcome
    // "cancelled" and nothing on standard error; -1 (the default) for none. Lets an owner
    // that quits join a fetching thread without waiting out the time-outs.
    void SetCancelDescriptor(int fd) { mCancelFd = fd; }
    // Put before each line that Fetch writes on standard error, so that a program reading
    // many devices can say whose page failed ("status page of X at 192.0.2.20: "); empty
    // by default.
    void SetReportPrefix(const std::string& prefix) { mReportPrefix = prefix; }
    // How the last Fetch ended, for telling a user why a value is missing: "ok", "refused",
    // "timeout", "unreachable", "no answer" (closed before a byte), "reset", "http <code>"
    // (another status), "bad answer" (no status line), "too large" (the page filled the
    // 65,535 bytes and was cut; its values are still parsed), "cancelled", "invalid url", "error"
    // (another failure). Empty before the first Fetch.
    const std::string& GetOutcome() const { return mOutcome; }
    // The outcome of a page that ended at `page` without being a "200 OK" one (pure).
    static std::string DescribeStatus(const std::string& page);

private:
    std::string mHost;
    std::string mUrl;
    std::map<std::string, std::string> mValues;
    unsigned short mPort = 80;
    size_t mStoredBytes = 0;  // key, value and entry overhead bytes in mValues
    unsigned long mTimeLimitMs = 0;
    int mCancelFd = -1;
    long long mFetchDeadlineMs = 0;  // monotonic end of the Fetch under way; 0 for none
    std::string mOutcome;
    std::string mReportPrefix;
};
