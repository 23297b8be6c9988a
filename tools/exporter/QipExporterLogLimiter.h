#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// Keeps a line that repeats from filling the log: the first of each text is written, its
// repeats within cWindowMs are only counted and told as one line when the window ends
// ("<text> (repeated N times in 60 s)"). A malformed datagram or a failed page read is told
// once a minute, however many come. At most cMaxTexts texts are followed at once; lines
// beyond them are counted together. Pure: `nowMs` is any monotonic time. One thread.
class QipExporterLogLimiter {
public:
    static const long long cWindowMs = 60000;
    static const size_t cMaxTexts = 64;

    // The lines to write now for `line` (without its line end): any summaries due, then the
    // line itself unless it repeats.
    std::vector<std::string> OnLine(const std::string& line, long long nowMs);
    // The summaries of the windows that ended by `nowMs`.
    std::vector<std::string> Flush(long long nowMs);
    // Every summary still pending, as at the end of the program.
    std::vector<std::string> FlushAll();
    // When the next window ends (-1 for none).
    long long NextFlushMs() const;

private:
    struct Text {
        long long mWindowStartMs;
        uint64_t mRepeats;
    };
    static std::string Summary(const std::string& text, uint64_t repeats);

    std::map<std::string, Text> mTexts;
    Text mOthers = {0, 0};  // lines past cMaxTexts
};
