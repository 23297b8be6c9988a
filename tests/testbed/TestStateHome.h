#pragma once
// Every test process keeps its known devices (the store under $XDG_STATE_HOME) in a folder of
// its own, made at start and removed at exit, so that no test's devices reach another test's
// output, nor the store of the user running the tests. The programs a test starts inherit it.
#include <stdlib.h>
#include <unistd.h>

#include <string>

class TestStateHome {
public:
    TestStateHome() {
        char folder[] = "/tmp/qip-test-state-XXXXXX";
        if (mkdtemp(folder) != nullptr) {
            mFolder = folder;
            setenv("XDG_STATE_HOME", folder, 1);
        }
    }
    ~TestStateHome() {
        if (!mFolder.empty() && system(("rm -rf '" + mFolder + "'").c_str()) != 0) {
            mFolder.clear();
        }
    }
    TestStateHome(const TestStateHome&) = delete;
    TestStateHome& operator=(const TestStateHome&) = delete;

private:
    std::string mFolder;
};

// One for the whole process, however many files include this.
inline const TestStateHome gTestStateHome;
