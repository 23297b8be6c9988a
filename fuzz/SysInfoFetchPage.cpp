// A whole status page read: SysInfo::FetchPage against one end of a socket pair whose other
// end holds the input, cut into fuzz-chosen pieces, and is then shut. Whatever the pieces,
// the read ends, sends the request BuildRequest makes, and gives the page the same bytes give
// in one piece: at most 65,535 of them, up to the first zero byte.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzInput.h"
#include "sysinfo/SysInfo.h"

namespace {

const size_t cMaxPage = 65535;
const size_t cMaxPieces = 32;

class SocketPair {
public:
    SocketPair() { mOk = socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, mFds) == 0; }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair() {
        if (mOk) {
            close(mFds[0]);
            close(mFds[1]);
        }
    }
    bool IsOk() const { return mOk; }
    int Reader() const { return mFds[0]; }
    int Device() const { return mFds[1]; }

private:
    int mFds[2];
    bool mOk;
};

// Feeds `pieces` of `bytes` to a fresh reader and reads the page; false when the pair could
// not hold the input (nothing to check then).
bool Fetch(const std::string& bytes, const std::vector<size_t>& pieces, std::string& page, bool& ok) {
    SocketPair pair;
    if (!pair.IsOk()) return false;
    // A record-keeping socket keeps the pieces apart, as the segments of a slow device are.
    size_t at = 0;
    for (size_t length : pieces) {
        if (send(pair.Device(), bytes.data() + at, length, MSG_DONTWAIT | MSG_NOSIGNAL) !=
            static_cast<ssize_t>(length))
            return false;
        at += length;
    }
    shutdown(pair.Device(), SHUT_WR);
    SysInfo info("192.0.2.20", "/status.xml");
    ok = info.FetchPage(pair.Reader(), page);
    std::string expected;
    FUZZ_CHECK(SysInfo::BuildRequest("/status.xml", "192.0.2.20", expected));
    std::vector<char> request(expected.size() + 1);
    FUZZ_CHECK(recv(pair.Device(), request.data(), request.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(expected.size()));
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), request.begin()));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    FuzzInput input(data, size);
    const size_t count = input.Byte() % cMaxPieces + 1;
    std::vector<size_t> lengths;
    for (size_t i = 0; i + 1 < count; ++i) lengths.push_back(input.Word());
    const std::string bytes = input.Rest();

    // Pieces of at least one byte: an empty record would read as the end of the answer.
    std::vector<size_t> pieces;
    size_t left = bytes.size();
    for (size_t length : lengths) {
        if (left == 0) break;
        const size_t piece = std::min(left, std::max<size_t>(length, 1));
        pieces.push_back(piece);
        left -= piece;
    }
    if (left > 0) pieces.push_back(left);
    std::vector<size_t> whole;
    if (!bytes.empty()) whole.push_back(bytes.size());

    std::string inPieces, inOne;
    bool okPieces = false, okOne = false;
    if (!Fetch(bytes, pieces, inPieces, okPieces) || !Fetch(bytes, whole, inOne, okOne)) return 0;

    const std::string head = bytes.substr(0, std::min(bytes.size(), cMaxPage));
    const std::string expected = head.substr(0, head.find('\0'));
    FUZZ_CHECK(inPieces == expected && inOne == expected);
    FUZZ_CHECK(okPieces == okOne);
    FUZZ_CHECK(okOne == (!bytes.empty() && SysInfo::IsOkStatus(expected)));
    return 0;
}
