#include <gtest/gtest.h>

#include "cli/QipOptionParser.h"
#include "cli/QipOptionValue.h"

namespace {

enum { cName, cLoud, cFail };

// Records what it is handed; refuses the value "bad".
class Recorder : public QipOptionParser::Handler {
public:
    bool OnOption(int id, const std::string& value, std::string& error) override {
        if (value == "bad") {
            error = "refused";
            return false;
        }
        mSeen.push_back(std::to_string(id) + "=" + value);
        return true;
    }
    std::vector<std::string> mSeen;
};

struct Result {
    QipOptionParser::Outcome mOutcome;
    std::vector<std::string> mSeen;
    std::vector<std::string> mOperands;
    std::string mError;
};

Result ParseArgs(std::vector<const char*> args) {
    args.insert(args.begin(), "prog");
    const QipOptionParser parser("prog", {{"name", 0, true, cName}, {"loud", 'l', false, cLoud},
                                          {"name-list", 0, false, cFail}});
    Recorder recorder;
    Result result;
    result.mOutcome = parser.Parse(static_cast<int>(args.size()), args.data(), recorder,
                                   result.mOperands, result.mError);
    result.mSeen = recorder.mSeen;
    return result;
}

using Outcome = QipOptionParser::Outcome;
using Strings = std::vector<std::string>;

}  // namespace

TEST(QipOptionParser, ReadsBothValueFormsLettersAndOperandsInAnyOrder) {
    const Result result = ParseArgs({"one", "--name", "a", "-l", "--name=-b", "two", "--", "--loud", "-l"});
    EXPECT_EQ(result.mOutcome, Outcome::cRun) << result.mError;
    EXPECT_EQ(result.mSeen, (Strings{"0=a", "1=", "0=-b"}));
    EXPECT_EQ(result.mOperands, (Strings{"one", "two", "--loud", "-l"}));
    // Each parse starts afresh, whatever the one before left in getopt_long's globals.
    EXPECT_EQ(ParseArgs({"--loud"}).mSeen, (Strings{"1="}));
    EXPECT_EQ(ParseArgs({"-", "x"}).mOperands, (Strings{"-", "x"}));
}

TEST(QipOptionParser, HelpAndVersionInBothFormsEndParsing) {
    EXPECT_EQ(ParseArgs({"-h"}).mOutcome, Outcome::cHelp);
    EXPECT_EQ(ParseArgs({"--loud", "--help", "--bogus"}).mOutcome, Outcome::cHelp);
    EXPECT_EQ(ParseArgs({"-V"}).mOutcome, Outcome::cVersion);
    EXPECT_EQ(ParseArgs({"--version"}).mOutcome, Outcome::cVersion);
    EXPECT_EQ(ParseArgs({"--", "--help"}).mOutcome, Outcome::cRun);
}

TEST(QipOptionParser, UsageErrorsNameTheArgument) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--bogus=1"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"-lx"}, "unknown option '-x'"},
        {{"--name"}, "option '--name' needs a value"},
        {{"--loud=yes"}, "option '--loud' takes no value"},
        {{"--help=me"}, "option '--help' takes no value"},
        {{"--lou"}, "unknown option '--lou' (did you mean '--loud'?)"},
        {{"--nam", "x"}, "unknown option '--nam'"},  // ambiguous: --name or --name-list
        {{"--name-"}, "unknown option '--name-' (did you mean '--name-list'?)"},
        {{"--name", "bad"}, "refused"},
    };
    for (const auto& [args, message] : cases) {
        const Result result = ParseArgs(args);
        EXPECT_EQ(result.mOutcome, Outcome::cUsageError) << args[0];
        EXPECT_EQ(result.mError, message) << args[0];
    }
}

TEST(QipOptionValue, NumbersAreWholeTextsWithinTheirRange) {
    long long whole = -1;
    EXPECT_TRUE(QipOptionValue::ParseWhole("4096", 1, 4096, whole));
    EXPECT_EQ(whole, 4096);
    for (const char* text : {"", "0", "4097", "+5", "-1", " 5", "5 ", "5x", "0x10", "99999999999999999999"}) {
        EXPECT_FALSE(QipOptionValue::ParseWhole(text, 1, 4096, whole)) << text;
    }
    EXPECT_EQ(whole, 4096);
    double decimal = -1;
    EXPECT_TRUE(QipOptionValue::ParseDecimal(".25", 0, 86400, decimal));
    EXPECT_EQ(decimal, 0.25);
    for (const char* text : {"", ".", "1.2.3", "-1", "1e3", "nan", "inf", "86400.5", "0x1"}) {
        EXPECT_FALSE(QipOptionValue::ParseDecimal(text, 0, 86400, decimal)) << text;
    }
}
