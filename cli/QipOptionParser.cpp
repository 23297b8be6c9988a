#include "cli/QipOptionParser.h"

#include <getopt.h>

#include <utility>

namespace {

// getopt_long's codes for the built-in options and for long-only options (index + base);
// letters keep their own character as code.
const int cCodeHelp = 'h';
const int cCodeVersion = 'V';
const int cLongOnlyBase = 256;

}  // namespace

QipOptionParser::QipOptionParser(std::string program, std::vector<Option> options)
    : mProgram(std::move(program)), mOptions(std::move(options)) {}

const QipOptionParser::Option* QipOptionParser::Find(int code) const {
    for (size_t i = 0; i < mOptions.size(); ++i) {
        const int own = mOptions[i].mLetter != 0 ? mOptions[i].mLetter
                                                 : cLongOnlyBase + static_cast<int>(i);
        if (own == code) return &mOptions[i];
    }
    return nullptr;
}

std::string QipOptionParser::Spelling(const Option& option) {
    return std::string("--") + option.mName;
}

QipOptionParser::Outcome QipOptionParser::Parse(int argc, const char* const* argv,
                                                Handler& handler,
                                                std::vector<std::string>& operands,
                                                std::string& error) const {
    // getopt_long moves operands behind the options, so it works on a copy of the pointers.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
    args.push_back(nullptr);

    // A leading ':' makes a missing value its own code; error texts are written here.
    std::string letters = ":hV";
    std::vector<option> table;
    for (size_t i = 0; i < mOptions.size(); ++i) {
        const Option& entry = mOptions[i];
        const int code = entry.mLetter != 0 ? entry.mLetter : cLongOnlyBase + static_cast<int>(i);
        table.push_back({entry.mName, entry.mTakesValue ? required_argument : no_argument, nullptr, code});
        if (entry.mLetter != 0) {
            letters += entry.mLetter;
            if (entry.mTakesValue) letters += ':';
        }
    }
    table.push_back({"help", no_argument, nullptr, cCodeHelp});
    table.push_back({"version", no_argument, nullptr, cCodeVersion});
    table.push_back({nullptr, 0, nullptr, 0});

    opterr = 0;
    optind = 0;  // 0, not 1: glibc then starts afresh, forgetting any earlier parse
    for (;;) {
        int index = -1;
        const int code = getopt_long(argc, args.data(), letters.c_str(), table.data(), &index);
        if (code == -1) break;
        if (code == '?') {
            const Option* known = Find(optopt);
            if (optopt == 0) {
                std::string given = args[optind - 1];
                error = "unknown option '" + given.substr(0, given.find('=')) + "'";
            } else if (known != nullptr || optopt == cCodeHelp || optopt == cCodeVersion) {
                const std::string name = known != nullptr ? Spelling(*known)
                                         : optopt == cCodeHelp ? "--help" : "--version";
                error = "option '" + name + "' takes no value";
            } else {
                error = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
            }
            return Outcome::cUsageError;
        }
        const Option* found = Find(code);
        if (code == ':') {
            const Option* missing = Find(optopt);
            error = "option '" + (missing != nullptr ? Spelling(*missing) : std::string("?")) +
                    "' needs a value";
            return Outcome::cUsageError;
        }
        if (index >= 0) {
            // A long option: getopt_long also takes any unambiguous abbreviation, which a
            // later option could make ambiguous or change; only full names are accepted.
            const bool separateValue = optarg != nullptr && optarg == args[optind - 1];
            const std::string given = args[optind - (separateValue ? 2 : 1)];
            const std::string name = given.substr(2, given.find('=') - 2);
            if (name != table[index].name) {
                error = "unknown option '--" + name + "' (did you mean '--" +
                        table[index].name + "'?)";
                return Outcome::cUsageError;
            }
        }
        if (code == cCodeHelp) return Outcome::cHelp;
        if (code == cCodeVersion) return Outcome::cVersion;
        if (found == nullptr) {
            error = "unknown option";
            return Outcome::cUsageError;
        }
        if (!handler.OnOption(found->mId, optarg != nullptr ? optarg : "", error)) {
            return Outcome::cUsageError;
        }
    }
    for (int i = optind; i < argc; ++i) operands.push_back(args[i]);
    return Outcome::cRun;
}
