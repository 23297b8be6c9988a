#pragma once
// A folder of the test's own under /tmp, made at construction and removed with everything in
// it at destruction. Get() is empty when it could not be made.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class TestFolder {
public:
    // `prefix` names the folder: /tmp/<prefix>-XXXXXX.
    explicit TestFolder(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) mFolder = pattern;
    }
    ~TestFolder() {
        if (!mFolder.empty() && system(("rm -rf '" + mFolder + "'").c_str()) != 0) {
            fprintf(stderr, "cannot remove %s\n", mFolder.c_str());
        }
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& Get() const { return mFolder; }

private:
    std::string mFolder;
};
