// A record's field list and a decoder's parameter list, each declared once as
// a table. The class and method docs (their text signatures included) are
// made from the tables while compiling, and tools/gen_stubs.py writes the
// records' stubs from the same tables.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace taloma::record {

// What a record field holds, as its stub shows it.
enum class Type : unsigned char {
    Text,      // str; the constructor also takes None
    Int,       // int
    Flag,      // int; the constructor also takes a bool
    Decimal,   // Decimal
    DateTime,  // datetime
    Decimals,  // list of Decimal
    Ints,      // list of int
};

struct Field {
    const char* name;
    Type type;
};

// What a decoder takes for one message field. Text and MaybeText fields are
// checked to be str or None before anything is decoded.
enum class In : unsigned char {
    Text,       // str
    MaybeText,  // str or None
    Int,        // int
    Texts,      // list of str
    Ints,       // list of int
};

struct Param {
    const char* name;
    In type;
};

// The names of a table, in order.
template <const auto& Table>
inline constexpr auto names_of = [] {
    std::array<const char*, std::size(Table)> names{};
    for (size_t i = 0; i < names.size(); ++i) names[i] = Table[i].name;
    return names;
}();

namespace detail {

// head + open + the names joined by ", " + ")\n--\n\n" + summary, written to
// out when it is given; the length either way.
template <class Table>
constexpr size_t signature_doc(char* out, std::string_view head, std::string_view open, const Table& table,
                               std::string_view summary) {
    size_t n = 0;
    auto put = [&](std::string_view s) {
        for (char c : s) {
            if (out) out[n] = c;
            ++n;
        }
    };
    put(head);
    put(open);
    for (size_t i = 0; i < std::size(table); ++i) {
        if (i) put(", ");
        put(table[i].name);
    }
    put(")\n--\n\n");
    put(summary);
    return n;
}

constexpr std::string_view unqualified(std::string_view dotted) { return dotted.substr(dotted.rfind('.') + 1); }

}  // namespace detail

// A docstring with a text signature, as a NUL-terminated array made while compiling.
template <class Doc>
inline constexpr auto doc_text = [] {
    constexpr size_t n = detail::signature_doc(nullptr, Doc::head, Doc::open, Doc::table, Doc::summary);
    std::array<char, n + 1> text{};
    detail::signature_doc(text.data(), Doc::head, Doc::open, Doc::table, Doc::summary);
    return text;
}();

// "QuoteSTKv1(code, datetime, ...)\n--\n\nQuote of a stock." for a record
// class T (name dotted, summary, fields).
template <class T>
struct ClassDoc {
    static constexpr std::string_view head = detail::unqualified(T::name);
    static constexpr std::string_view open = "(";
    static constexpr const auto& table = T::fields;
    static constexpr std::string_view summary = T::summary;
};

// "from_content($cls, /, code, date, ...)\n--\n\n..." for a decoder D
// (name, summary, content).
template <class D>
struct DecoderDoc {
    static constexpr std::string_view head = D::name;
    static constexpr std::string_view open = "($cls, /, ";
    static constexpr const auto& table = D::content;
    static constexpr std::string_view summary = D::summary;
};

}  // namespace taloma::record
