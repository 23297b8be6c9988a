#pragma once

#include <string>
#include <vector>

// qipfinder's command line, read before the toolkit starts so that --help and --version work
// without a display. The program itself takes no settings from it; the toolkit's own options
// (-platform, -style, -display and the like, with one dash or two) are left for the toolkit.
// Pure.
class QipCommandLine {
public:
    enum class Action { Run, Help, Version, UsageError };

    // What the arguments (without the program name) ask for. A usage error names the
    // offending argument in *error ("unknown option '--x'"). The program's own options follow
    // the conventions of QipOptionParser.
    static Action Parse(const std::vector<std::string>& arguments, std::string* error);
    // The --help text, ending in a newline.
    static std::string HelpText();
    // The --version line, ending in a newline.
    static std::string VersionText();

private:
    class NoOptions;
};
