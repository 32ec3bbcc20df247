// Decoders from named message fields to the fields of a record class, laid
// out at compile time.
#pragma once

#include <Python.h>

#include <array>
#include <iterator>
#include <string_view>
#include <utility>

#include "taloma/fastargs.hpp"
#include "taloma/record/env.hpp"
#include "taloma/record/fields.hpp"
#include "taloma/record/protocol.hpp"

namespace taloma::record {

// Where one record field comes from in a message.
enum class Src : unsigned char {
    Pass,        // the content value unchanged
    Stamp,       // datetime_parser(from, from2)
    Dec,         // Decimal of the text
    Fresh,       // Decimal of the text, never cached: values that rarely repeat (running totals)
    DecOrZero,   // Decimal of the text, Decimal("0.0") when empty or None
    Hundredths,  // Decimal of the integer times Decimal("0.01")
    DecList,     // a new list of the Decimal of each entry
    Zero,        // integer 0
    One,         // integer 1
};

struct FieldSpec {
    Src src;
    const char* from = nullptr;
    const char* from2 = nullptr;
};

// The field table `table` with its last field replaced by `last`.
template <size_t N>
constexpr std::array<FieldSpec, N> with_last(const FieldSpec (&table)[N], FieldSpec last) {
    std::array<FieldSpec, N> out{};
    for (size_t i = 0; i + 1 < N; ++i) out[i] = table[i];
    out[N - 1] = last;
    return out;
}

namespace detail {

// Position of a content field by name, found while compiling.
template <class Content>
constexpr short position(const Content& content, const char* name) {
    if (!name) return 0;
    for (size_t c = 0; c < std::size(content); ++c)
        if (std::string_view(content[c].name) == name) return static_cast<short>(c);
    throw "a field is taken from a content field that does not exist";
}

constexpr bool is_text(In type) { return type == In::Text || type == In::MaybeText; }

}  // namespace detail

// A decoder from the named content fields to the fields of a record class,
// laid out while compiling: every field's source and content position is a
// constant, so a message is decoded by straight-line code. Text fields are
// checked first, in content order, then the fields are evaluated in record
// field order. D supplies: name, summary, content[] (Param), fields[]
// (FieldSpec, in record field order).
template <class D>
class Decoder {
    static constexpr const auto& Content = D::content;
    static constexpr const auto& Fields = D::fields;
    static constexpr size_t NC = std::size(Content);
    static constexpr size_t NF = std::size(Fields);
    static constexpr size_t NT = [] {
        size_t n = 0;
        for (const Param& p : Content) n += detail::is_text(p.type);
        return n;
    }();

    static constexpr auto text_at = [] {
        std::array<short, NT> at{};
        size_t t = 0;
        for (size_t c = 0; c < NC; ++c)
            if (detail::is_text(Content[c].type)) at[t++] = static_cast<short>(c);
        return at;
    }();
    static constexpr auto from = [] {
        std::array<short, NF> at{};
        for (size_t i = 0; i < NF; ++i) at[i] = detail::position(Content, Fields[i].from);
        return at;
    }();
    static constexpr auto from2 = [] {
        std::array<short, NF> at{};
        for (size_t i = 0; i < NF; ++i) at[i] = detail::position(Content, Fields[i].from2);
        return at;
    }();

    template <size_t I>
    static constexpr bool cached = Fields[I].src == Src::Dec || Fields[I].src == Src::DecOrZero;

public:
    constexpr Decoder() : sig_{D::name, 1, NC, NC, names_of<D::content>.data()} {}

    // Its argument list is the process's, like the interned names in it.
    bool init_once() { return sig_.init_once(); }

    // A record of cls from one message; st is the module state (a Records).
    template <class Record, class State>
    PyObject* operator()(State& st, PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        Env& env = st.env;
        static_assert(Record::N == NF);
        PyObject* in[NC];
        if (!sig_.parse(args, static_cast<size_t>(nargs), kwnames, in)) return nullptr;
        if (!checked(in, std::make_index_sequence<NT>{})) return nullptr;
        Keys keys;
        start(env, in, keys, std::make_index_sequence<NF>{});
        Values<NF> out;
        if (!fill(env, in, keys, out, std::make_index_sequence<NF>{})) return nullptr;
        return Record::build(st, cls, out);
    }

private:
    struct Keys {
        decimal::Cache::Key key[NF];
        bool ok[NF] = {};
    };

    template <size_t... T>
    static bool checked(PyObject* const* in, std::index_sequence<T...>) {
        return (check_text(in[text_at[T]], Content[text_at[T]].name) && ...);
    }

    // Every price lookup of the message is started before the first is made:
    // the cache's sets are rarely in the CPU cache when a message arrives.
    template <size_t... I>
    static void start(Env& env, PyObject* const* in, Keys& keys, std::index_sequence<I...>) {
        ((cached<I>
              ? (void)(keys.ok[I] = PyUnicode_CheckExact(in[from[I]]) && env.cache.key_of(in[from[I]], keys.key[I]))
              : (void)0),
         ...);
    }

    template <size_t... I>
    static bool fill(Env& env, PyObject* const* in, const Keys& keys, Values<NF>& out, std::index_sequence<I...>) {
        return (out.push_ok(field<I>(env, in, keys)) && ...);
    }

    template <size_t I>
    static PyObject* field(Env& env, PyObject* const* in, const Keys& keys) {
        constexpr Src src = Fields[I].src;
        PyObject* x = in[from[I]];
        if constexpr (src == Src::Pass) {
            return Py_NewRef(x);
        } else if constexpr (src == Src::Stamp) {
            return env.stamp(x, in[from2[I]]);
        } else if constexpr (src == Src::Dec) {
            return keys.ok[I] ? env.cache.get(x, keys.key[I]) : env.decimal(x);
        } else if constexpr (src == Src::DecOrZero) {
            return keys.ok[I] ? env.cache.get(x, keys.key[I]) : env.decimal_or_zero(x);
        } else if constexpr (src == Src::Fresh) {
            return env.cache.fresh(x);
        } else if constexpr (src == Src::Hundredths) {
            return env.hundredths(x);
        } else if constexpr (src == Src::DecList) {
            return env.decimal_list(x);
        } else if constexpr (src == Src::Zero) {
            return PyLong_FromLong(0);
        } else {
            static_assert(src == Src::One);
            return PyLong_FromLong(1);
        }
    }

    args::Signature sig_;
};

}  // namespace taloma::record
