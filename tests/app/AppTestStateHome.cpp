// Every test process keeps its known devices in a folder of its own, so that no test's
// devices are listed in another's window, nor in the store of the user running the tests.
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

class StateHome {
public:
    StateHome() {
        char folder[] = "/tmp/qip-app-state-XXXXXX";
        if (mkdtemp(folder) != nullptr) {
            mFolder = folder;
            setenv("XDG_STATE_HOME", folder, 1);
        }
    }
    ~StateHome() {
        if (!mFolder.empty() && system(("rm -rf '" + mFolder + "'").c_str()) != 0) {
            mFolder.clear();
        }
    }

private:
    std::string mFolder;
};

const StateHome gStateHome;

}  // namespace
