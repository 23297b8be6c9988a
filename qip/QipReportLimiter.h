#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// Keeps a diagnostic line that repeats from filling a log: the first of each text is let
// through; its repeats within one period are only counted and told, when the period has
// ended, as one line that names its own text ("<text> (repeated N times in 60 s)"), so a
// steady flood costs one line a period and no count is ever read as another line's. At most
// cMaxTexts texts are followed at once; lines beyond them are counted together as "other
// messages".
//
// Pure: the caller passes the time, in milliseconds on a clock that does not jump (a clock
// that went back ends the period at once). A plain value without a lock, guarded by
// whoever holds it. Lines go in and come out without their line end.
class QipReportLimiter {
public:
    static const long long cDefaultPeriodMs = 60000;
    static const size_t cMaxTexts = 64;

    explicit QipReportLimiter(long long periodMs = cDefaultPeriodMs) : mPeriodMs(periodMs) {}

    // The lines to write now for `line` at `nowMs`: the summaries of periods that have
    // ended, then the line itself unless it repeats within its period.
    std::vector<std::string> OnLine(const std::string& line, long long nowMs);
    // The summaries of the periods that ended by `nowMs`.
    std::vector<std::string> Flush(long long nowMs);
    // Every summary still pending, as at the end of the program.
    std::vector<std::string> FlushAll();
    // When the next period followed ends, or -1 when none is.
    long long NextFlushMs() const;

    // Writes each line with its line end to standard error, one call each, so that lines
    // from several threads never interleave.
    static void Write(const std::vector<std::string>& lines);

private:
    struct Text {
        long long mStartMs;
        uint64_t mRepeats;
    };
    bool HasEnded(const Text& text, long long nowMs) const;
    std::string Summary(const std::string& text, uint64_t repeats) const;

    long long mPeriodMs;
    std::map<std::string, Text> mTexts;
    Text mOthers = {0, 0};  // lines past cMaxTexts
};
