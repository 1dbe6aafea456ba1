// Reading a decimal number the way scanf's %d does -- white space skipped, an optional sign, at
// least one digit -- but with a defined result for every input: a number beyond an int is held
// at the int's limits (the unit's replies and the technician's typing may hold any digits, and
// 4294967296 must not become port 0).
#ifndef DECIMAL_NUMBER_H
#define DECIMAL_NUMBER_H

#include <cctype>
#include <climits>

// Reads from a character source: next() gives the next character as an unsigned char value, or
// a negative value at the end; unread(c) gives c back to the source.
// Returns 1 with *value set; 0 when no number starts here (the character that is not a digit
// stays unread); -1 when the input ends before a number.
template <typename Next, typename Unread> int readDecimalNumber(Next next, Unread unread, int* value) {
    int c = next();
    while (c >= 0 && std::isspace(c)) {
        c = next();
    }
    if (c < 0) {
        return -1;
    }
    const bool negative = c == '-';
    if (c == '+' || c == '-') {
        c = next();
    }
    if (c < 0) {
        return -1;
    }
    if (!std::isdigit(c)) {
        unread(c);
        return 0;
    }
    constexpr long long kBeyond = static_cast<long long>(INT_MAX) + 2; // more than either limit needs
    long long magnitude = 0;
    for (; c >= 0 && std::isdigit(c); c = next()) {
        if (magnitude < kBeyond) {
            magnitude = magnitude * 10 + (c - '0');
        }
    }
    if (c >= 0) {
        unread(c);
    }
    const long long signedValue = negative ? -magnitude : magnitude;
    *value = signedValue > INT_MAX   ? INT_MAX
             : signedValue < INT_MIN ? INT_MIN
                                     : static_cast<int>(signedValue);
    return 1;
}

#endif
