#include "UPDSilient/numbers.h"

#include <cctype>
#include <climits>

bool ReadSaturatedInt(const char*& p, int& out) {
    const char* s = p;
    while (std::isspace(static_cast<unsigned char>(*s))) {
        ++s;
    }
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = (*s == '-');
        ++s;
    }
    if (!std::isdigit(static_cast<unsigned char>(*s))) {
        return false;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        if (value < limit) {
            value = value * 10 + (*s - '0');
            if (value > limit) {
                value = limit;
            }
        }
    }
    out = static_cast<int>(negative ? -value : value);
    p = s;
    return true;
}

int SaturatedAtoi(const char* text) {
    int value = 0;
    return (text != nullptr && ReadSaturatedInt(text, value)) ? value : 0;
}
