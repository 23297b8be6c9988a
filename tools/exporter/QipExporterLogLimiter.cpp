#include "tools/exporter/QipExporterLogLimiter.h"

const long long QipExporterLogLimiter::cWindowMs;
const size_t QipExporterLogLimiter::cMaxTexts;

std::string QipExporterLogLimiter::Summary(const std::string& text, uint64_t repeats) {
    return text + " (repeated " + std::to_string(repeats) + " times in " +
           std::to_string(cWindowMs / 1000) + " s)";
}

std::vector<std::string> QipExporterLogLimiter::OnLine(const std::string& line, long long nowMs) {
    std::vector<std::string> out = Flush(nowMs);
    auto found = mTexts.find(line);
    if (found != mTexts.end()) {
        ++found->second.mRepeats;
    } else if (mTexts.size() < cMaxTexts) {
        mTexts[line] = Text{nowMs, 0};
        out.push_back(line);
    } else {
        if (mOthers.mRepeats == 0) mOthers.mWindowStartMs = nowMs;
        ++mOthers.mRepeats;
    }
    return out;
}

std::vector<std::string> QipExporterLogLimiter::Flush(long long nowMs) {
    std::vector<std::string> out;
    for (auto it = mTexts.begin(); it != mTexts.end();) {
        if (nowMs - it->second.mWindowStartMs < cWindowMs) {
            ++it;
        } else if (it->second.mRepeats == 0) {
            it = mTexts.erase(it);
        } else {
            // Still repeating: told now, and followed for another window.
            out.push_back(Summary(it->first, it->second.mRepeats));
            it->second = Text{nowMs, 0};
            ++it;
        }
    }
    if (mOthers.mRepeats > 0 && nowMs - mOthers.mWindowStartMs >= cWindowMs) {
        out.push_back(Summary("other messages", mOthers.mRepeats));
        mOthers = Text{0, 0};
    }
    return out;
}

std::vector<std::string> QipExporterLogLimiter::FlushAll() {
    std::vector<std::string> out;
    for (const auto& text : mTexts) {
        if (text.second.mRepeats > 0) out.push_back(Summary(text.first, text.second.mRepeats));
    }
    if (mOthers.mRepeats > 0) out.push_back(Summary("other messages", mOthers.mRepeats));
    mTexts.clear();
    mOthers = Text{0, 0};
    return out;
}

long long QipExporterLogLimiter::NextFlushMs() const {
    long long next = -1;
    for (const auto& text : mTexts) {
        const long long end = text.second.mWindowStartMs + cWindowMs;
        if (next < 0 || end < next) next = end;
    }
    if (mOthers.mRepeats > 0 && (next < 0 || mOthers.mWindowStartMs + cWindowMs < next)) {
        next = mOthers.mWindowStartMs + cWindowMs;
    }
    return next;
}
