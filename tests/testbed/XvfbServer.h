#pragma once

#include <sys/types.h>

#include <string>

#include "tests/testbed/TestBed.h"

// An X server (Xvfb) in a bed's host namespace, for tests that run the desktop program.
// Each server gets a display number that no other server started this way holds, in any
// process: the number is claimed with an flock on /tmp/qipfinder-xvfb-<n>.lock, held for the
// server's life and dropped by the kernel when the process dies. Left to pick one itself
// (-displayfd alone), Xvfb gives servers in two network namespaces the same number, the later
// one taking over the earlier one's socket file, and two starting at once race for it. A
// number that a foreign server holds is given up and the next one tried.
//
// Belongs to the thread of its bed; the bed must outlive it. The destructor stops the server
// and releases the number. A server that did not start is a GoogleTest failure (with Xvfb's
// output on standard error), and IsReady() is false.
class XvfbServer {
public:
    // `program`: the Xvfb to run (resolved as TestBed::Start does); `screen`: its size and
    // depth as Xvfb's -screen takes them.
    explicit XvfbServer(TestBed& bed, const std::string& program = "Xvfb",
                        const std::string& screen = "800x600x24");
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer();

    bool IsReady() const { return !mDisplay.empty(); }
    // ":<n>" once the server accepts clients; "" when it did not start.
    const std::string& GetDisplay() const { return mDisplay; }

    // The display number that Xvfb's -displayfd wrote into `output`, its log of standard
    // output and error: a whole line of digits, wherever it stands (complaints about displays
    // in use may come first). "" while there is none.
    static std::string FindDisplayNumber(const std::string& output);

private:
    // Starts Xvfb on display `number` and waits until it is ready or gave up; true when ready.
    bool StartOn(int number, const std::string& program);

    TestBed& mBed;
    std::string mScreen;
    pid_t mServer = -1;
    int mLock = -1;  // the flock on this server's display number
    std::string mDisplay;
};
