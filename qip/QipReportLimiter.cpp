#include "qip/QipReportLimiter.h"

#include <stdio.h>

const long long QipReportLimiter::cDefaultPeriodMs;
const size_t QipReportLimiter::cMaxTexts;

bool QipReportLimiter::HasEnded(const Text& text, long long nowMs) const {
    return nowMs < text.mStartMs || nowMs - text.mStartMs >= mPeriodMs;
}

std::string QipReportLimiter::Summary(const std::string& text, uint64_t repeats) const {
    return text + " (repeated " + std::to_string(repeats) + " times in " +
           std::to_string(mPeriodMs / 1000) + " s)";
}

std::vector<std::string> QipReportLimiter::OnLine(const std::string& line, long long nowMs) {
    std::vector<std::string> out = Flush(nowMs);
    auto found = mTexts.find(line);
    if (found != mTexts.end()) {
        ++found->second.mRepeats;
    } else if (mTexts.size() < cMaxTexts) {
        mTexts[line] = Text{nowMs, 0};
        out.push_back(line);
    } else {
        if (mOthers.mRepeats == 0) mOthers.mStartMs = nowMs;
        ++mOthers.mRepeats;
    }
    return out;
}

std::vector<std::string> QipReportLimiter::Flush(long long nowMs) {
    std::vector<std::string> out;
    for (auto it = mTexts.begin(); it != mTexts.end();) {
        if (!HasEnded(it->second, nowMs)) {
            ++it;
        } else if (it->second.mRepeats == 0) {
            it = mTexts.erase(it);
        } else {
            // Still repeating: told now, and followed for another period, so that a steady
            // flood is told once a period rather than let through again.
            out.push_back(Summary(it->first, it->second.mRepeats));
            it->second = Text{nowMs, 0};
            ++it;
        }
    }
    if (mOthers.mRepeats > 0 && HasEnded(mOthers, nowMs)) {
        out.push_back(Summary("other messages", mOthers.mRepeats));
        mOthers = Text{0, 0};
    }
    return out;
}

std::vector<std::string> QipReportLimiter::FlushAll() {
    std::vector<std::string> out;
    for (const auto& text : mTexts) {
        if (text.second.mRepeats > 0) out.push_back(Summary(text.first, text.second.mRepeats));
    }
    if (mOthers.mRepeats > 0) out.push_back(Summary("other messages", mOthers.mRepeats));
    mTexts.clear();
    mOthers = Text{0, 0};
    return out;
}

long long QipReportLimiter::NextFlushMs() const {
    long long next = -1;
    for (const auto& text : mTexts) {
        const long long end = text.second.mStartMs + mPeriodMs;
        if (next < 0 || end < next) next = end;
    }
    if (mOthers.mRepeats > 0 && (next < 0 || mOthers.mStartMs + mPeriodMs < next)) {
        next = mOthers.mStartMs + mPeriodMs;
    }
    return next;
}

void QipReportLimiter::Write(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        const std::string text = line + "\n";
        fputs(text.c_str(), stderr);
    }
}
