// Runs a harness over saved inputs without libFuzzer, so that every build (gcc included)
// replays the checked-in corpus and the inputs of past findings under ctest. Arguments are
// files or folders (every regular file in a folder, not recursing); a folder that does not
// exist counts as empty. A finding aborts, which fails the test.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"

namespace {

void Collect(const std::string& path, std::vector<std::string>& files) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return;
    if (!S_ISDIR(info.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) return;
    std::vector<std::string> found;
    while (dirent* entry = readdir(folder)) {
        const std::string file = path + "/" + entry->d_name;
        if (stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) found.push_back(file);
    }
    closedir(folder);
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], files);
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
