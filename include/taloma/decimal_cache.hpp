// Text -> decimal.Decimal for market-data prices: a bounded cache and a
// cheaper exact constructor.
//
// Prices repeat all day and Decimal values are immutable, so one Decimal per
// distinct text can be shared by every record. Only texts of the plain form
// [+-]digits[.digits] up to kMaxText characters are ever stored: for those
// the conversion is exact and context-free, so a cached value is exactly
// what Decimal(text) would give. Every other text (exponents, NaN,
// whitespace, underscores, non-ASCII digits, malformed input) goes to
// Decimal itself and gets its own result or its own error.
//
// A lookup compares the text's bytes and length against stored keys before
// looking at its characters; the syntax is checked only on a miss, since only
// checked texts are ever stored.
//
// The table is fixed-size and two-way set associative (most recently used
// first), so it holds at most kCapacity values whatever the stream brings.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace taloma::decimal {

// Keys are built from little-endian word loads.
static_assert(std::endian::native == std::endian::little);

// [+-]digits[.digits], at least one digit: Decimal() reads these exactly.
inline bool plain(const char* s, size_t n) {
    if (n == 0) return false;
    size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    int digits = 0, dots = 0;
    for (; i < n; ++i) {
        char c = s[i];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c != '.' || ++dots > 1) {
            return false;
        }
    }
    return digits > 0;
}

// A new context of the module's own that cannot round (maximum precision and
// exponent range, no clamping) and traps what the default context traps out of
// the box. Arithmetic through it is exact and leaves decimal.DefaultContext and
// every thread's current context as they were. Null with an error on failure.
inline PyObject* exact_context() {
    PyObject* mod = PyImport_ImportModule("decimal");
    if (!mod) return nullptr;
    PyObject* kwargs = PyDict_New();
    bool ok = kwargs != nullptr;
    for (auto [key, constant] :
         {std::pair{"prec", "MAX_PREC"}, {"Emax", "MAX_EMAX"}, {"Emin", "MIN_EMIN"}, {"rounding", "ROUND_HALF_EVEN"}}) {
        PyObject* v = ok ? PyObject_GetAttrString(mod, constant) : nullptr;
        ok = v && PyDict_SetItemString(kwargs, key, v) == 0;
        Py_XDECREF(v);
    }
    PyObject* traps = ok ? PyList_New(0) : nullptr;
    for (const char* signal : {"InvalidOperation", "DivisionByZero", "Overflow"}) {
        PyObject* v = traps ? PyObject_GetAttrString(mod, signal) : nullptr;
        if (!v || PyList_Append(traps, v) < 0) Py_CLEAR(traps);
        Py_XDECREF(v);
    }
    PyObject* flags = traps ? PyList_New(0) : nullptr;
    ok = flags && PyDict_SetItemString(kwargs, "traps", traps) == 0 &&
         PyDict_SetItemString(kwargs, "flags", flags) == 0 && PyDict_SetItemString(kwargs, "clamp", Py_False) == 0;
    Py_XDECREF(traps);
    Py_XDECREF(flags);
    PyObject* ctx = nullptr;
    if (ok) {
        PyObject* type = PyObject_GetAttrString(mod, "Context");
        PyObject* no_args = type ? PyTuple_New(0) : nullptr;
        ctx = no_args ? PyObject_Call(type, no_args, kwargs) : nullptr;
        Py_XDECREF(no_args);
        Py_XDECREF(type);
    }
    Py_XDECREF(kwargs);
    Py_DECREF(mod);
    return ctx;
}

// Decimal(text) for plain texts through the methods of a context that cannot
// round (maximum precision and exponent range, no clamping), so the value,
// digits and exponent are those of the constructor: create_decimal for texts,
// called with a reused argument tuple, and copy_decimal for whole numbers.
// Their C functions are called directly, which skips the class call and the
// keyword parsing of Decimal() that cost more than the conversion itself.
class Maker {
public:
    bool init(PyObject* decimal_type) {
        type_ = Py_NewRef(decimal_type);
        PyObject* ctx = exact_context();
        bool ok = ctx != nullptr;
        if (ok) create_ = PyObject_GetAttrString(ctx, "create_decimal");
        if (ok && create_) copy_ = PyObject_GetAttrString(ctx, "copy_decimal");
        Py_XDECREF(ctx);
        if (!ok || !create_ || !copy_) return false;
        // The direct call is taken only when create_decimal is the C method it
        // is in CPython; otherwise Decimal() is called as usual.
        constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
        if (PyCFunction_Check(create_) && (PyCFunction_GET_FLAGS(create_) & kCallFlags) == METH_VARARGS) {
            fn_ = PyCFunction_GET_FUNCTION(create_);
            self_ = PyCFunction_GET_SELF(create_);
            args_ = PyTuple_Pack(1, Py_None);
            if (!args_) return false;
        }
        // copy_decimal converts an integer exactly and takes it without an argument tuple.
        if (PyCFunction_Check(copy_) && (PyCFunction_GET_FLAGS(copy_) & kCallFlags) == METH_O) {
            from_int_ = PyCFunction_GET_FUNCTION(copy_);
            int_self_ = PyCFunction_GET_SELF(copy_);
        }
        return true;
    }

    PyObject* type() const { return type_; }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(type_);
        Py_VISIT(create_);
        Py_VISIT(copy_);
        return 0;
    }

    void clear() {
        fn_ = nullptr;
        from_int_ = nullptr;
        self_ = int_self_ = nullptr;  // borrowed from create_ and copy_
        Py_CLEAR(args_);
        Py_CLEAR(create_);
        Py_CLEAR(copy_);
        Py_CLEAR(type_);
    }

    // Decimal(text) for a text object known to be plain. Whole numbers (the
    // running totals) go as integers: no text to scan and copy on the way.
    PyObject* exact(PyObject* text) {
        long long whole;
        if (integer(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text)),
                    whole)) {
            PyObject* number = PyLong_FromLongLong(whole);
            if (!number) return nullptr;
            PyObject* made = from_int_ ? from_int_(int_self_, number) : convert(number);
            Py_DECREF(number);
            return made;
        }
        return convert(text);
    }

    // Decimal(text) for any object.
    PyObject* any(PyObject* text) {
        if (PyUnicode_Check(text) && PyUnicode_IS_READY(text) && PyUnicode_IS_ASCII(text) &&
            plain(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))))
            return exact(text);
        return PyObject_CallOneArg(type_, text);
    }

private:
    // [+-]digits, at most 18 of them; not "-0", whose sign an integer loses.
    static bool integer(const char* s, size_t n, long long& out) {
        size_t i = (n && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
        if (n == i || n - i > 18) return false;
        long long v = 0;
        for (size_t k = i; k < n; ++k) {
            if (s[k] < '0' || s[k] > '9') return false;
            v = v * 10 + (s[k] - '0');
        }
        if (s[0] == '-') {
            if (v == 0) return false;
            v = -v;
        }
        out = v;
        return true;
    }

    PyObject* convert(PyObject* arg) {
        if (!fn_ || busy_ || Py_REFCNT(args_) != 1) return PyObject_CallOneArg(type_, arg);
        busy_ = true;
        PyTuple_SET_ITEM(args_, 0, Py_NewRef(arg));
        PyObject* made = fn_(self_, args_);
        busy_ = false;
        if (Py_REFCNT(args_) == 1) {
            PyTuple_SET_ITEM(args_, 0, Py_None);  // the tuple's reference to None was never dropped
            Py_DECREF(arg);
        } else {
            // Someone kept the tuple; it is theirs now, as it stands.
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            Py_SETREF(args_, PyTuple_Pack(1, Py_None));
            if (!args_) {
                fn_ = nullptr;
                PyErr_Clear();
            }
            PyErr_Restore(type, value, trace);
        }
        return made;
    }

    PyObject* type_ = nullptr;
    PyObject* create_ = nullptr;
    PyObject* copy_ = nullptr;
    PyCFunction from_int_ = nullptr;
    PyObject* int_self_ = nullptr;
    PyCFunction fn_ = nullptr;
    PyObject* self_ = nullptr;
    PyObject* args_ = nullptr;
    bool busy_ = false;
};

class Cache {
public:
    static constexpr size_t kMaxText = 23;  // the key's last byte holds the length
    static constexpr size_t kSetBits = 13;
    static constexpr size_t kSets = size_t{1} << kSetBits;
    static constexpr size_t kWays = 2;
    static constexpr size_t kCapacity = kSets * kWays;

    struct Key {
        uint64_t w[3];
        size_t set;
    };

    bool init(PyObject* decimal_type) {
        if (!maker_.init(decimal_type)) return false;
        table_ = static_cast<Entry*>(PyMem_Calloc(kCapacity, sizeof(Entry)));
        if (!table_) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    PyObject* type() const { return maker_.type(); }

    int traverse(visitproc visit, void* arg) { return maker_.traverse(visit, arg); }

    // Releases every value and the table; init() may be called again.
    void clear() {
        if (table_) {
            Entry* table = std::exchange(table_, nullptr);
            for (size_t i = 0; i < kCapacity; ++i) Py_XDECREF(table[i].value);
            PyMem_Free(table);
        }
        size_ = hits_ = misses_ = 0;
        maker_.clear();
    }

    // Decimal(text), uncached: for values that rarely repeat.
    PyObject* fresh(PyObject* text) { return maker_.any(text); }

    // The key of a text that may be cached, and a prefetch of its set, so
    // that a caller can start every lookup of a message before the first.
    bool key_of(PyObject* text, Key& key) const {
        if (!PyUnicode_Check(text) || !PyUnicode_IS_READY(text) || !PyUnicode_IS_ASCII(text)) return false;
        if (!pack(static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text), key)) return false;
        __builtin_prefetch(table_ + key.set * kWays);
        return true;
    }

    // New reference to the cached Decimal of `key`, or null (no error) when
    // it is not cached. Runs no Python code.
    PyObject* take(const Key& key) {
        Entry* set = table_ + key.set * kWays;
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
        return nullptr;
    }

    // New reference to the Decimal of `text`, whose key is `key`.
    PyObject* get(PyObject* text, const Key& key) {
        if (PyObject* hit = take(key)) return hit;
        ++misses_;
        if (!plain(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))))
            return PyObject_CallOneArg(maker_.type(), text);
        PyObject* made = maker_.exact(text);
        if (made) store(key, made);
        return made;
    }

    // New reference to the Decimal of `text` (any object Decimal accepts).
    PyObject* get(PyObject* text) {
        Key key;
        if (key_of(text, key)) return get(text, key);
        return PyObject_CallOneArg(maker_.type(), text);
    }

    // The same for text in a C buffer; the text object is made only on a miss.
    PyObject* get(const char* s, size_t n) {
        Key key;
        if (pack(s, static_cast<Py_ssize_t>(n), key))
            if (PyObject* hit = take(key)) return hit;
        ++misses_;
        PyObject* text = PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n));
        if (!text) return nullptr;
        bool cacheable = n <= kMaxText && plain(s, n);
        PyObject* made = cacheable ? maker_.exact(text) : PyObject_CallOneArg(maker_.type(), text);
        Py_DECREF(text);
        if (made && cacheable) store(key, made);
        return made;
    }

    PyObject* info() const {
        return Py_BuildValue("{snsnsnsn}", "size", size_, "capacity", static_cast<Py_ssize_t>(kCapacity), "hits", hits_,
                             "misses", misses_);
    }

private:
    struct Entry {
        uint64_t key[3];
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
            a = lo | (uint64_t{hi} >> (8 * (8 - n)) << 32);
        } else {
            for (size_t i = 0; i < n; ++i) a |= uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
        }
        key.w[0] = a;
        key.w[1] = b;
        key.w[2] = c | (uint64_t{n} << 56);
        key.set = set_of(key);
        return true;
    }

    static uint64_t load64(const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }

    static bool equal(const uint64_t (&a)[3], const Key& b) {
        return a[0] == b.w[0] && a[1] == b.w[1] && a[2] == b.w[2];
    }

    static size_t set_of(const Key& k) {
        uint64_t h = k.w[0] ^ (k.w[1] * 0xC2B2AE3D27D4EB4Full) ^ (k.w[2] * 0x165667B19E3779F9ull);
        return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - kSetBits));
    }

    // Decimal() may have run Python code (the pure-Python decimal module), so
    // the set is read afresh here, and the evicted value released last.
    void store(const Key& key, PyObject* value) {
        Entry* set = table_ + key.set * kWays;
        PyObject* evicted = set[1].value;
        if (!evicted) ++size_;
        set[1] = set[0];
        std::memcpy(set[0].key, key.w, sizeof key.w);
        set[0].value = Py_NewRef(value);
        Py_XDECREF(evicted);
    }

    Maker maker_;
    Entry* table_ = nullptr;
    Py_ssize_t size_ = 0, hits_ = 0, misses_ = 0;
};

}  // namespace taloma::decimal
