// Bounded text -> decimal.Decimal cache for market-data prices.
//
// Prices repeat all day and Decimal values are immutable, so one Decimal per
// distinct text can be shared by every record. Only texts of the plain form
// [+-]digits[.digits] up to kMaxText characters are ever stored: for those the
// constructor is exact and context-free, so a cached value is exactly what
// Decimal(text) would give. Every other text (exponents, NaN, whitespace,
// underscores, non-ASCII digits, malformed input) goes to Decimal itself and
// gets its own result or its own error.
//
// A lookup compares the text's bytes and length against stored keys before
// looking at its characters; the syntax is checked only on a miss, since
// only checked texts are ever stored.
//
// The table is fixed-size and two-way set associative (most recently used
// first), so it holds at most kCapacity values whatever the stream brings.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace taloma::decimal {

// Keys are built from little-endian word loads.
static_assert(std::endian::native == std::endian::little);

class Cache {
public:
    static constexpr size_t kMaxText = 23;  // the key's last byte holds the length
    static constexpr size_t kSetBits = 13;
    static constexpr size_t kSets = size_t{1} << kSetBits;
    static constexpr size_t kWays = 2;
    static constexpr size_t kCapacity = kSets * kWays;

    struct Key {
        uint64_t w[3];
    };

    bool init(PyObject* decimal_type) {
        decimal_ = decimal_type;
        Py_INCREF(decimal_);
        table_ = static_cast<Entry*>(PyMem_Calloc(kCapacity, sizeof(Entry)));
        if (!table_) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    PyObject* type() const { return decimal_; }

    // The key of a text that may be cached, and a prefetch of its set, so
    // that a caller can start every lookup of a message before the first.
    bool key_of(PyObject* text, Key& key) const {
        if (!PyUnicode_Check(text) || !PyUnicode_IS_READY(text) || !PyUnicode_IS_ASCII(text)) return false;
        if (!pack(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text), key)) return false;
        __builtin_prefetch(table_ + set_of(key) * kWays);
        return true;
    }

    // New reference to the Decimal of `text`, whose key is `key`.
    PyObject* get(PyObject* text, const Key& key) {
        return lookup(key, text, static_cast<const char*>(PyUnicode_DATA(text)),
                      static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    }

    // New reference to the Decimal of `text` (any object Decimal accepts).
    PyObject* get(PyObject* text) {
        Key key;
        if (key_of(text, key)) return get(text, key);
        return PyObject_CallOneArg(decimal_, text);
    }

    // The same for text in a C buffer; the text object is made only on a miss.
    PyObject* get(const char* s, size_t n) {
        Key key;
        if (pack(s, static_cast<Py_ssize_t>(n), key)) return lookup(key, nullptr, s, n);
        PyObject* text = PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n));
        if (!text) return nullptr;
        PyObject* value = PyObject_CallOneArg(decimal_, text);
        Py_DECREF(text);
        return value;
    }

    PyObject* info() const {
        return Py_BuildValue("{snsnsnsn}", "size", size_, "capacity", static_cast<Py_ssize_t>(kCapacity), "hits",
                             hits_, "misses", misses_);
    }

private:
    struct Entry {
        Key key;
        PyObject* value;
    };

    // The text's bytes zero-padded to three words, its length in the top
    // byte: read with overlapping loads that stay inside the text.
    static bool pack(const char* s, Py_ssize_t len, Key& key) {
        if (len < 1 || len > static_cast<Py_ssize_t>(kMaxText)) return false;
        size_t n = static_cast<size_t>(len);
        uint64_t a = 0, b = 0, c = 0;
        if (n >= 8) {
            a = load64(s);
            if (n > 16) {
                b = load64(s + 8);
                c = load64(s + n - 8) >> (8 * (24 - n));
            } else if (n > 8) {
                b = load64(s + n - 8) >> (8 * (16 - n));
            }
        } else if (n >= 4) {
            uint32_t lo, hi;
            std::memcpy(&lo, s, 4);
            std::memcpy(&hi, s + n - 4, 4);
            a = lo | (uint64_t{hi} >> (8 * (4 - (n - 4))) << 32);
        } else {
            for (size_t i = 0; i < n; ++i) a |= uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
        }
        key.w[0] = a;
        key.w[1] = b;
        key.w[2] = c | (uint64_t{n} << 56);
        return true;
    }

    static uint64_t load64(const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }

    static bool plain(const char* s, size_t n) {
        size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
        int digits = 0, dots = 0;
        for (; i < n; ++i) {
            char c = s[i];
            if (c >= '0' && c <= '9') {
                ++digits;
            } else if (c == '.' && ++dots == 1) {
            } else {
                return false;
            }
        }
        return digits > 0;
    }

    static bool equal(const Key& a, const Key& b) {
        return a.w[0] == b.w[0] && a.w[1] == b.w[1] && a.w[2] == b.w[2];
    }

    static size_t set_of(const Key& k) {
        uint64_t h = k.w[0] ^ (k.w[1] * 0xC2B2AE3D27D4EB4Full) ^ (k.w[2] * 0x165667B19E3779F9ull);
        return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits));
    }

    PyObject* lookup(const Key& key, PyObject* text, const char* s, size_t n) {
        Entry* set = table_ + set_of(key) * kWays;
        if (set[0].value && equal(set[0].key, key)) {
            ++hits_;
            return Py_NewRef(set[0].value);
        }
        if (set[1].value && equal(set[1].key, key)) {
            ++hits_;
            Entry e = set[1];
            set[1] = set[0];
            set[0] = e;
            return Py_NewRef(e.value);
        }
        ++misses_;
        PyObject* made = text ? PyObject_CallOneArg(decimal_, text) : make(s, n);
        if (!made || !plain(s, n)) return made;
        // Decimal() may have run Python code (the pure-Python decimal module);
        // the set is re-read here and the evicted value released last.
        PyObject* evicted = set[1].value;
        if (!evicted) ++size_;
        set[1] = set[0];
        set[0].key = key;
        set[0].value = Py_NewRef(made);
        Py_XDECREF(evicted);
        return made;
    }

    PyObject* make(const char* s, size_t n) {
        PyObject* text = PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n));
        if (!text) return nullptr;
        PyObject* value = PyObject_CallOneArg(decimal_, text);
        Py_DECREF(text);
        return value;
    }

    PyObject* decimal_ = nullptr;
    Entry* table_ = nullptr;
    Py_ssize_t size_ = 0, hits_ = 0, misses_ = 0;
};

}  // namespace taloma::decimal
