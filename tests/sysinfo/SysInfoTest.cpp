#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>
#include <string>
#include <utility>

#include "sysinfo/SysInfo.h"
#include "tests/sysinfo/LoopbackHttpServer.h"

namespace {

const char* cExample =
    "<?xml version=\"1.0\"?>\r\n<status>\r\n  <wlan>\r\n    <ssid>Office</ssid>\r\n"
    "  </wlan>\r\n</status>\r\n";

std::map<std::string, std::string> Parse(const std::string& page) {
    SysInfo info("192.168.1.20", "/status.xml");
    info.ParsePage(page);
    return info.GetValues();
}

using Values = std::map<std::string, std::string>;

// A client aimed at a loopback server, fetched once; stderr is captured into `errors`.
bool FetchFrom(SysInfo& info, unsigned short port, std::string& errors) {
    info.SetPort(port);
    testing::internal::CaptureStderr();
    bool ok = info.Fetch();
    errors = testing::internal::GetCapturedStderr();
    return ok;
}

}  // namespace

TEST(SysInfoUrl, CutsOwnHostPrefixOnly) {
    EXPECT_EQ(SysInfo("10.0.0.5", "http://10.0.0.5/st/x.xml").GetUrl(), "/st/x.xml");
    EXPECT_EQ(SysInfo("10.0.0.5", "junk http://10.0.0.5/a").GetUrl(), "/a");
    EXPECT_EQ(SysInfo("10.0.0.5", "/a").GetUrl(), "/a");
    EXPECT_EQ(SysInfo("10.0.0.5", "http://10.0.0.5").GetUrl(), "http://10.0.0.5");
    EXPECT_EQ(SysInfo("10.0.0.5", "http://10.0.0.6/a").GetUrl(), "http://10.0.0.6/a");
}

TEST(SysInfoParse, WorkedExampleAndLookupWithOrWithoutSlash) {
    SysInfo info("192.168.1.20", "/status.xml");
    info.ParsePage(std::string(cExample) + "<top>1</top>\r\n");
    EXPECT_EQ(info.GetValues(), (Values{{"/status/wlan/ssid", "Office"}, {"/top", "1"}}));
    EXPECT_EQ(info.GetValue("status/wlan/ssid"), "Office");
    EXPECT_EQ(&info.GetValue("/status/wlan/ssid"), &info.GetValue("status/wlan/ssid"));
    EXPECT_EQ(info.GetValue(""), "");
    EXPECT_EQ(&info.GetValue("nothing"), &SysInfo("x", "y").GetValue("other"));
}

TEST(SysInfoParse, LinesEndAtCrLfOrCrlfAndOnlyAfterDeclaration) {
    EXPECT_EQ(Parse("<a>1</a>\r<b>2</b>\n<c>3</c>\r\n<d>4</d>"),
              (Values{{"/a", "1"}, {"/b", "2"}, {"/c", "3"}}));
    EXPECT_EQ(Parse("<x>0</x>\n<?xml?><y>1</y>\n<z>2</z>\n"), (Values{{"/y", "1"}, {"/z", "2"}}));
    EXPECT_EQ(Parse("HTTP/1.0 200 OK\r\nServer: d\r\n\r\n<v>1</v>\r\n"), (Values{{"/v", "1"}}));
}

TEST(SysInfoParse, TagTextIsTakenRawWithAttributesCommentsAndSelfClosing) {
    EXPECT_EQ(Parse("<s a=\"1\">\n<v> x &amp; </v> tail\n<e></e>\n"),
              (Values{{"/s a=\"1\"/v", " x &amp; "}, {"/s a=\"1\"/e", ""}}));
    EXPECT_EQ(Parse("<!-- c -->\n<v>1</v>\n"), (Values{{"/!-- c --/v", "1"}}));
    // The self-closing tag's trailing "/" survives the next closing tag as one level more.
    EXPECT_EQ(Parse("<a>\n<b/>\n</a>\n<v>1</v>\n"), (Values{{"/a/b/v", "1"}}));
}

TEST(SysInfoParse, StructureFollowsLinesNotElements) {
    // Split value: opens a level, then closes it.
    EXPECT_EQ(Parse("<a>\n<v>one\ntwo</v>\n<w>2</w>\n"), (Values{{"/a/w", "2"}}));
    EXPECT_EQ(Parse("<o><i>1</i></o>\n"), (Values{{"/o", "<i>1"}}));
    EXPECT_EQ(Parse("</x>\n</y>\n<v>1</v>\n<v>2</v>\n"), (Values{{"/v", "2"}}));
    std::string path = "/p";
    SysInfo info("h", "/u");
    info.ParseLine("a>b<c</c>", path);  // ">" before "<": the tag runs to the line's end
    EXPECT_EQ(info.GetValues(), (Values{{"/p/c</c>", "b<c"}}));
}

TEST(SysInfoParse, DeepNestingCannotMultiplyThePageInMemory) {
    // Every value line below repeats the 32,000-byte path in its key.
    const std::string deep = std::string(32000, 'a');
    std::string page = "<v>kept</v>\n<" + deep + ">\n";
    for (int i = 0; page.size() < 65000; ++i) page += "<" + std::to_string(i) + ">x</\n";
    SysInfo info("127.0.0.1", "/s");
    info.ParsePage(page);
    size_t bytes = 0;
    for (const auto& pair : info.GetValues()) bytes += pair.first.size() + pair.second.size();
    EXPECT_LE(bytes, SysInfo::cMaxStoredBytes);
    EXPECT_EQ(info.GetValue("v"), "kept");
    EXPECT_EQ(info.GetValue("/" + deep + "/0"), "x");

    // The next fetch starts with the whole allowance again.
    LoopbackHttpServer server("HTTP/1.0 200 OK\r\n\r\n<w>1</w>\r\n");
    std::string errors;
    EXPECT_TRUE(FetchFrom(info, server.Port(), errors));
    EXPECT_EQ(info.GetValues(), (Values{{"/w", "1"}}));
}

TEST(SysInfoParse, StoredBytesCapKeepsAPairEndingOnItAndCountsEveryEntry) {
    const size_t cap = SysInfo::cMaxStoredBytes;
    const size_t entry = SysInfo::cEntryOverhead;
    // "/a" with its value fills all but what "/k" with `room` value bytes costs.
    for (size_t extra = 0; extra < 2; ++extra) {
        const size_t room = 1000;
        const std::string first(cap - 2 * entry - 2 - 2 - room, 'f');
        SysInfo info("127.0.0.1", "/s");
        info.ParsePage("<a>" + first + "</a>\n<k>" + std::string(room + extra, 'v') + "</k>\n");
        EXPECT_EQ(info.GetValue("a"), first);
        EXPECT_EQ(info.GetValue("k").size(), extra == 0 ? room : 0u) << "extra " << extra;
        EXPECT_EQ(info.GetStoredBytes(), extra == 0 ? cap : cap - entry - 2 - room);
    }
    // A 64 KiB page of tiny distinct pairs: the entries, not their text, fill the cap.
    std::string page;
    for (int i = 0; page.size() < 65000; ++i) page += "<" + std::to_string(i) + "></\n";
    SysInfo info("127.0.0.1", "/s");
    info.ParsePage(page);
    EXPECT_LE(info.GetValues().size(), cap / entry);
    EXPECT_GT(info.GetValues().size(), cap / (entry + 8));
    size_t charged = 0;
    for (const auto& pair : info.GetValues()) charged += pair.first.size() + pair.second.size() + entry;
    EXPECT_EQ(charged, info.GetStoredBytes());

    SysInfo one("127.0.0.1", "/s");
    one.ParsePage("<status>\n<id>7</id>\n<wlan>\n<ssid>Net</ssid>\n");
    one.KeepOnly("status/wlan/ssid");
    EXPECT_EQ(one.GetValues(), (Values{{"/status/wlan/ssid", "Net"}}));
    EXPECT_EQ(one.GetStoredBytes(), 17 + 3 + entry);
}

TEST(SysInfoRequest, RefusesLineBreaksAndOversizeButKeepsTheLimit) {
    std::string request = "untouched";
    EXPECT_FALSE(SysInfo::BuildRequest("/a\r\nX: y", "1.2.3.4", request));
    EXPECT_FALSE(SysInfo::BuildRequest("/a", "1.2.3.4\n", request));
    const std::string fixed = "GET  HTTP/1.0\r\nHost: h\r\nUser-Agent: kesprin QIP Library\r\n\r\n";
    EXPECT_FALSE(SysInfo::BuildRequest(std::string(65536 - fixed.size(), 'a'), "h", request));
    EXPECT_EQ(request, "untouched");
    EXPECT_TRUE(SysInfo::BuildRequest(std::string(65535 - fixed.size(), 'a'), "h", request));
    EXPECT_EQ(request.size(), 65535u);
}

TEST(SysInfoFetch, SendsExactRequestAndParsesOkPage) {
    LoopbackHttpServer server(std::string("HTTP/1.0 200 OK\r\n\r\n") + cExample);
    SysInfo info("127.0.0.1", "http://127.0.0.1/status.xml");
    std::string errors;
    ASSERT_TRUE(FetchFrom(info, server.Port(), errors));
    EXPECT_EQ(server.Request(),
              "GET /status.xml HTTP/1.0\r\nHost: 127.0.0.1\r\n"
              "User-Agent: kesprin QIP Library\r\n\r\n");
    EXPECT_EQ(info.GetValue("status/wlan/ssid"), "Office");
    EXPECT_EQ(errors, "");
}

TEST(SysInfoFetch, FailuresLeaveAnEmptyMapAndOneLine) {
    struct Case {
        LoopbackHttpServer::Reply reply;
        std::string error;
    };
    const Case cases[] = {
        {{"HTTP/1.0 404 Not Found\r\n\r\n200 OK\r\n<v>1</v>\r\n"}, ""},
        {{"HTTP/1.0 200 OK\n\n<v>1</v>\n"}, ""},
        {{""}, "recv() failed: No data available\n"},  // closes without a byte
    };
    for (const Case& c : cases) {
        LoopbackHttpServer server(c.reply);
        SysInfo info("127.0.0.1", "/s");
        info.ParsePage("<stale>1</stale>\n");
        std::string errors;
        EXPECT_FALSE(FetchFrom(info, server.Port(), errors)) << c.reply.first;
        EXPECT_TRUE(info.GetValues().empty());
        EXPECT_EQ(errors, c.error);
    }
    RefusingPort refused;
    SysInfo info("127.0.0.1", "/s");
    std::string errors;
    EXPECT_FALSE(FetchFrom(info, refused.Port(), errors));
    EXPECT_EQ(errors, "connect() failed: Connection refused\n");
    EXPECT_EQ(info.GetValue("status/wlan/ssid"), "");
    SysInfo named("localhost", "/s");
    EXPECT_FALSE(FetchFrom(named, refused.Port(), errors));
    EXPECT_EQ(errors.substr(0, 20), "inet_pton() failed: ");
    LoopbackHttpServer server("HTTP/1.0 200 OK\r\n\r\n<v>1</v>\r\n");
    SysInfo split("127.0.0.1", "/s\r\nX: 1");
    EXPECT_FALSE(FetchFrom(split, server.Port(), errors));
    EXPECT_EQ(errors, "Invalid status URL\n");
}

TEST(SysInfoFetch, ReadsUntilCloseCapOrDeadline) {
    // A late start and a second piece after more than a second are still part of the page.
    LoopbackHttpServer split("HTTP/1.0 200 OK\r\n\r\n<a>\r\n", "<v>1</v>\r\n", 1200, 300);
    SysInfo info("127.0.0.1", "/s");
    std::string errors;
    EXPECT_TRUE(FetchFrom(info, split.Port(), errors));
    EXPECT_EQ(info.GetValue("a/v"), "1");

    std::string huge = "HTTP/1.0 200 OK\r\n\r\n" + std::string(70000, 'x');
    huge[100] = '\0';
    LoopbackHttpServer big(huge.substr(0, 100) + std::string(70000, 'y'));
    LoopbackHttpServer zero(huge);
    std::string page;
    for (LoopbackHttpServer* server : {&big, &zero}) {
        info.SetPort(server->Port());
        int fd = info.OpenConnection();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(info.FetchPage(fd, page));
        EXPECT_EQ(page.size(), server == &big ? 65535u : 100u);
        close(fd);
    }
}

TEST(SysInfoFetch, ConnectAndAnswerWaitsAreBoundedAndATimeLimitCapsBoth) {
    LoopbackHttpServer silent("", "", 0, 0, true);
    FullQueuePort full;
    const unsigned short ports[] = {silent.Port(), full.Port()};
    const char* messages[] = {"recv() failed: Connection timed out\n",
                              "connect() failed: Connection timed out\n"};
    // Without a cap the 2 s and 3 s bounds end the waits; a 300 ms cap ends them well short.
    const std::pair<unsigned long, std::chrono::milliseconds> limits[] = {
        {0, std::chrono::milliseconds(15000)}, {300, std::chrono::milliseconds(1500)}};
    for (const auto& limit : limits) {
        SysInfo info("127.0.0.1", "/s");
        info.SetTimeLimit(limit.first);
        std::string errors;
        for (int i = 0; i < 2; ++i) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_FALSE(FetchFrom(info, ports[i], errors));
            EXPECT_LT(std::chrono::steady_clock::now() - start, limit.second) << limit.first;
            EXPECT_EQ(errors, messages[i]);
        }
    }
    // The cap bounds waiting, not a device that answers at once.
    SysInfo info("127.0.0.1", "/s");
    info.SetTimeLimit(300);
    std::string errors;
    LoopbackHttpServer prompt(std::string("HTTP/1.0 200 OK\r\n") + cExample);
    EXPECT_TRUE(FetchFrom(info, prompt.Port(), errors));
    EXPECT_EQ(info.GetValue("status/wlan/ssid"), "Office");
}

TEST(SysInfoFetch, ACancelDescriptorEndsHangingWaitsAtOnceAndQuietly) {
    LoopbackHttpServer silent("", "", 0, 0, true);
    FullQueuePort full;
    int cancel[2] = {-1, -1};
    ASSERT_EQ(pipe(cancel), 0);
    for (unsigned short port : {silent.Port(), full.Port()}) {
        SysInfo info("127.0.0.1", "/s");
        info.SetCancelDescriptor(cancel[0]);
        std::thread canceller([&cancel] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(write(cancel[1], "x", 1), 1);
        });
        std::string errors;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(FetchFrom(info, port, errors));
        // Without the descriptor the answer wait alone takes 3 s, the connection 2 s.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        canceller.join();
        EXPECT_EQ(info.GetOutcome(), "cancelled");
        EXPECT_EQ(errors, "");
        // Once readable it stays so: a fetch begun after the cancel ends at once too.
        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(FetchFrom(info, port, errors));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        char drained;
        EXPECT_EQ(read(cancel[0], &drained, 1), 1);
    }
    close(cancel[0]);
    close(cancel[1]);
}
