// MessagePack payload to a decoder's content fields, without Python: the
// part of the receiver that reads outside input, kept apart so that it can be
// tested and fuzzed on its own.
#pragma once

#include <msgpack.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace taloma::feed {

// What a content field must hold on the wire. The text kinds are checked by
// the record's decoder; integers are checked here, since the decoders pass
// them through.
enum class Kind : std::uint8_t { Text, MaybeText, Int, Texts, Ints };

// A decoder's content fields, in its order.
struct Layout {
    std::vector<std::string> names;
    std::vector<Kind> kinds;
    // The field found at each key position of the last map: a sender keeps
    // its order, so the next map's keys are found at the first comparison.
    mutable std::vector<std::ptrdiff_t> last;

    std::size_t size() const { return names.size(); }
    // The field of the key at position k of a map, -1 when it is not a field.
    std::ptrdiff_t find(std::string_view key, std::size_t k) const;
};

enum class Fault : std::uint8_t {
    None,
    Malformed,   // not one whole MessagePack value
    NotMap,      // the value is not a map
    BadKey,      // a key that is not text
    Unexpected,  // a key that is not a content field
    Duplicate,   // a field given twice
    Missing,     // a field not given
    NotInteger,  // an integer field (or an entry of an integer list) that is not an integer
};

struct Bound {
    Fault fault = Fault::None;
    std::size_t field = 0;  // the field concerned (Duplicate, Missing, NotInteger)
    std::string_view key;   // the key concerned (Unexpected), into the payload
    Bound() = default;
    Bound(Fault f, std::size_t at = 0, std::string_view k = {}) : fault(f), field(at), key(k) {}
    explicit operator bool() const { return fault == Fault::None; }
};

// Whether every array and map of one value declares no more entries than
// bytes remain to hold them. msgpack-c sizes a container's storage from its
// header before reading the entries, so a five-byte payload claiming four
// billion entries would have it reserve tens of gigabytes. Only the headers
// are read; the value itself is left to msgpack-c.
bool plausible(const char* data, std::size_t len);

// One whole value of data, unpacked into zone (which owns what it points to,
// data aside). False for a truncated, malformed or trailing-garbage payload.
bool unpack(const char* data, std::size_t len, msgpack_zone* zone, msgpack_object* out);

// The content fields of a map, by layout position, into out[0..layout.size()).
Bound bind(const msgpack_object& root, const Layout& layout, const msgpack_object** out);

// A short English account of a fault, naming the field or key.
std::string describe(const Bound& b, const Layout& layout);

inline bool is_integer(const msgpack_object& o) {
    return o.type == MSGPACK_OBJECT_POSITIVE_INTEGER || o.type == MSGPACK_OBJECT_NEGATIVE_INTEGER;
}

inline std::string_view text_of(const msgpack_object& o) { return {o.via.str.ptr, o.via.str.size}; }

}  // namespace taloma::feed
