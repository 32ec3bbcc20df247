// Small text primitives shared by the parsers of service and bus texts.
#pragma once

#include <Python.h>

#include <cstring>

namespace taloma::text {

// Equal str objects, compared by content without a rich comparison
// (both must be str; interned names usually hit the identity test).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * PyUnicode_KIND(a)) == 0;
}

// n ASCII digits at p read into out; false (out untouched) if any is not a digit.
template <class Char>
inline bool digits(const Char* p, int n, int& out) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    out = v;
    return true;
}

inline int days_in_month(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return 29;
    return days[m - 1];
}

// A calendar date and time of day within their ranges (seconds up to 59).
inline bool valid_datetime(int y, int mo, int d, int h, int mi, int s) {
    return y >= 1 && mo >= 1 && mo <= 12 && d >= 1 && d <= days_in_month(y, mo) && h >= 0 && h <= 23 && mi >= 0 &&
           mi <= 59 && s >= 0 && s <= 59;
}

}  // namespace taloma::text
