#pragma once

#include <string>
#include <vector>

// One program's options, read with the C library's getopt_long so that every program follows
// the same conventions: "--name value" and "--name=value", short letters ("-v"), options
// before or after operands, "--" ending the options, -h/--help and -V/--version built in, and
// long names written in full (an abbreviation is refused, so that a later option cannot
// change what an old script meant).
//
// Adding an option is one entry in the program's table and one case in its handler; a new
// program needs a table, a handler and these lines in main():
//
//     const QipOptionParser parser("qip-example", {{"rate", 0, true, cRate}, {"verbose", 'v', false, cVerbose}});
//     const QipProgramOutput output(parser.GetProgram());
//     std::vector<std::string> operands;
//     std::string error;
//     const QipOptionParser::Outcome outcome = parser.Parse(argc, argv, handler, operands, error);
//     if (outcome != QipOptionParser::Outcome::cRun) return output.Conclude(outcome, cUsage, error, 1);
//
// with the program linking the target qipcli. Values are checked in the handler, with
// QipOptionValue for numbers, so that a range error names the option and the range.
// getopt_long keeps its state in globals: parse on one thread at a time (main's).
class QipOptionParser {
public:
    // One option of a program. Ids are the program's own and must be 0 or more.
    struct Option {
        const char* mName;  // the long name without "--"
        char mLetter;       // the short form ('v' for "-v"), or 0 for none
        bool mTakesValue;
        int mId;
    };

    // Receives the options in command-line order.
    class Handler {
    public:
        virtual ~Handler() = default;
        // `value` is empty for an option that takes none. False with a one-line `error`
        // (without the program's name) refuses the value and ends parsing.
        virtual bool OnOption(int id, const std::string& value, std::string& error) = 0;
    };

    enum class Outcome {
        cRun,         // every option was accepted; the program runs
        cHelp,        // -h or --help was read: show the help and exit
        cVersion,     // -V or --version was read: show the version and exit
        cUsageError,  // `error` says what was wrong
    };

    // `program` is the name messages begin with. The table must not name "help" or
    // "version", nor the letters 'h' and 'V'.
    QipOptionParser(std::string program, std::vector<Option> options);

    // Reads argv[1..argc-1] (argv itself is not changed). Stops at the first -h/--help or
    // -V/--version (cHelp, cVersion) or the first usage error: an unknown or abbreviated
    // option, a value missing or given to an option that takes none, or one the handler
    // refuses. Arguments that are not options, and all after "--", are appended to
    // `operands` in order; the caller decides whether it takes any.
    Outcome Parse(int argc, const char* const* argv, Handler& handler,
                  std::vector<std::string>& operands, std::string& error) const;

    const std::string& GetProgram() const { return mProgram; }

private:
    // The option getopt_long reported as `code`, or null.
    const Option* Find(int code) const;
    // "--name" or "-n": how the user can write the option in a message.
    static std::string Spelling(const Option& option);

    std::string mProgram;
    std::vector<Option> mOptions;
};
