#pragma once

// What the whole-process figures share: their options and the formatting of their tables.

#include <set>
#include <string>
#include <vector>

struct FigureOptions {
    std::set<std::string> mOnly;  // empty: every figure
    int mRuns = 5;
    double mFloodSeconds = 60;

    bool Wants(const std::string& figure) const { return mOnly.empty() || mOnly.count(figure) != 0; }
};

std::string ReadFile(const std::string& path);
std::string Trimmed(const std::string& text);
double Median(std::vector<double> values);
// "1234" at 100 ms and more, else one decimal.
std::string Ms(double ms);
std::string Joined(const std::vector<std::string>& words, const char* separator = " ");
// "1,234,567" for counts in tables.
std::string Grouped(unsigned long long value);
int CountLinesWith(const std::string& text, const std::string& word);
// The machine's load when a figure was taken: the figures are only as good as it was quiet.
std::string Load();
