#include "tests/exporter/ExporterClientsSupport.h"

#include <crypt.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "tests/testbed/TestBed.h"

const char* const cExporterListen = "192.0.2.1:19376";

double SecondsSince(ExporterClock::time_point start) {
    return std::chrono::duration<double>(ExporterClock::now() - start).count();
}

namespace {

size_t CountEntries(const std::string& folder) {
    size_t count = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (readdir(d) != nullptr) ++count;
        closedir(d);
    }
    return count > 2 ? count - 2 : 0;  // "." and ".."
}

}  // namespace

size_t CountDescriptors(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/fd"); }
size_t CountThreads(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/task"); }

// One scrape from the host; true when it brought the metrics within `seconds`.
bool Scrape(TestBed& bed, const std::string& url, int seconds, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {"curl", "-sf", "--max-time", std::to_string(seconds)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    std::string body;
    const int status = bed.Run(bed.GetHostNamespace(), argv, &body, (seconds + 5) * 1000);
    return status == 0 && body.find("qip_exporter_build_info") != std::string::npos;
}

bool WaitForScrape(TestBed& bed, const std::string& url, const std::vector<std::string>& extra) {
    const ExporterClock::time_point start = ExporterClock::now();
    while (!Scrape(bed, url, 2, extra) && SecondsSince(start) < 15) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return Scrape(bed, url, 5, extra);
}

// The fewest descriptors over a second: the connections of earlier scrapes close meanwhile.
size_t IdleDescriptors(pid_t pid) {
    size_t fewest = CountDescriptors(pid);
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fewest = std::min(fewest, CountDescriptors(pid));
    }
    return fewest;
}

ExporterTestFolder::ExporterTestFolder() {
    char name[] = "/tmp/qip-clients-XXXXXX";
    if (mkdtemp(name) != nullptr) mPath = name;
}

ExporterTestFolder::~ExporterTestFolder() {
    std::error_code ignored;
    if (!mPath.empty()) std::filesystem::remove_all(mPath, ignored);
}

// In `folder`: ca.crt with server.crt/key for 192.0.2.1, client.crt/key signed by the same
// CA, and rogue.crt/key signed by a CA of their own.
bool MakeCertificates(TestBed& bed, const std::string& folder) {
    const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string script =
        "set -e; cd '" + folder + "'\n"
        "for ca in ca rogue-ca; do openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
        " -keyout $ca.key -out $ca.crt -days 2 -subj /CN=$ca; done\n"
        "printf 'subjectAltName=IP:192.0.2.1\\n' >ext\n"
        "for name in server client rogue; do " + key + " -keyout $name.key -out $name.csr -subj /CN=$name; done\n"
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile ext -out server.crt\n"
        "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out client.crt\n"
        "openssl x509 -req -in rogue.csr -CA rogue-ca.crt -CAkey rogue-ca.key -CAcreateserial -days 2 -out rogue.crt\n";
    std::string out;
    const int status = bed.Run(bed.GetHostNamespace(), {"sh", "-c", script + " 2>&1"}, &out, 30000);
    EXPECT_EQ(status, 0) << out;
    return status == 0;
}

std::string BcryptHash(const std::string& password, int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, sizeof setting) == nullptr) return "";
    const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
    return hash != nullptr && hash[0] == '$' ? hash : "";
}

// The `count` addresses 192.0.2.(first)... as /24 CIDRs, and as plain addresses.
std::vector<std::string> Addresses(int first, int count, bool cidr) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) addresses.push_back("192.0.2." + std::to_string(first + i) + (cidr ? "/24" : ""));
    return addresses;
}

// Waits until the exporter's log holds `text` `count` times.
bool WaitForLog(TestBed& bed, pid_t pid, const std::string& text, size_t count) {
    const ExporterClock::time_point start = ExporterClock::now();
    for (;;) {
        const std::string out = bed.GetOutput(pid);
        size_t seen = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++seen;
        if (seen >= count) return true;
        if (SecondsSince(start) > 15) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
