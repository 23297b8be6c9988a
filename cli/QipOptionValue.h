#pragma once

#include <string>

// Strict readings of option values: the whole text must be the number, with no sign, space,
// suffix or exponent, and within the given range. Pure.
class QipOptionValue {
public:
    // Decimal digits only, `low` to `high`. False (and `number` untouched) otherwise.
    static bool ParseWhole(const std::string& text, long long low, long long high, long long& number);
    // Digits with at most one decimal point ("0.5", "3", ".25"), `low` to `high`.
    static bool ParseDecimal(const std::string& text, double low, double high, double& number);
};
