#include "cli/QipOptionValue.h"

#include <stdlib.h>

bool QipOptionValue::ParseWhole(const std::string& text, long long low, long long high,
                                long long& number) {
    // 18 digits cannot overflow a long long; longer texts are out of any range used here.
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (value < low || value > high) return false;
    number = value;
    return true;
}

bool QipOptionValue::ParseDecimal(const std::string& text, double low, double high,
                                  double& number) {
    const std::string::size_type point = text.find('.');
    const bool digitsOnly = text.find_first_not_of("0123456789.") == std::string::npos;
    if (text.empty() || text == "." || !digitsOnly || text.size() > 32 ||
        (point != std::string::npos && text.find('.', point + 1) != std::string::npos)) {
        return false;
    }
    const double value = strtod(text.c_str(), nullptr);
    if (!(value >= low && value <= high)) return false;
    number = value;
    return true;
}
