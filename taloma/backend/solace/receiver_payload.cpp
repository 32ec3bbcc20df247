#include "receiver_payload.hpp"

#include <cstring>

namespace taloma::feed {

std::ptrdiff_t Layout::find(std::string_view key, std::size_t k) const {
    if (k < last.size()) {
        std::ptrdiff_t at = last[k];
        if (at >= 0 && names[static_cast<std::size_t>(at)] == key) return at;
    }
    std::ptrdiff_t found = -1;
    if (k < names.size() && names[k] == key) {
        found = static_cast<std::ptrdiff_t>(k);
    } else {
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == key) {
                found = static_cast<std::ptrdiff_t>(i);
                break;
            }
    }
    if (k < names.size()) {
        if (last.size() < names.size()) last.assign(names.size(), -1);
        last[k] = found;
    }
    return found;
}

bool unpack(const char* data, std::size_t len, msgpack_zone* zone, msgpack_object* out) {
    std::size_t off = 0;
    return msgpack_unpack(data, len, &off, zone, out) == MSGPACK_UNPACK_SUCCESS && off == len;
}

namespace {

bool integers(const msgpack_object& o) {
    if (o.type != MSGPACK_OBJECT_ARRAY) return false;
    for (std::uint32_t i = 0; i < o.via.array.size; ++i)
        if (!is_integer(o.via.array.ptr[i])) return false;
    return true;
}

}  // namespace

Bound bind(const msgpack_object& root, const Layout& layout, const msgpack_object** out) {
    if (root.type != MSGPACK_OBJECT_MAP) return {Fault::NotMap};
    const std::size_t n = layout.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    const msgpack_object_kv* kv = root.via.map.ptr;
    for (std::uint32_t k = 0; k < root.via.map.size; ++k) {
        const msgpack_object& key = kv[k].key;
        if (key.type != MSGPACK_OBJECT_STR) return {Fault::BadKey};
        std::ptrdiff_t at = layout.find(text_of(key), k);
        if (at < 0) return {Fault::Unexpected, 0, text_of(key)};
        auto i = static_cast<std::size_t>(at);
        if (out[i]) return {Fault::Duplicate, i};
        const msgpack_object& v = kv[k].val;
        Kind kind = layout.kinds[i];
        if ((kind == Kind::Int && !is_integer(v)) || (kind == Kind::Ints && !integers(v))) return {Fault::NotInteger, i};
        out[i] = &v;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!out[i]) return {Fault::Missing, i};
    return {};
}

std::string describe(const Bound& b, const Layout& layout) {
    auto field = [&] { return "'" + (b.field < layout.size() ? layout.names[b.field] : std::string("?")) + "'"; };
    switch (b.fault) {
        case Fault::None: return "no fault";
        case Fault::Malformed: return "the payload is not one whole MessagePack value";
        case Fault::NotMap: return "the payload is not a map of fields";
        case Fault::BadKey: return "a field name is not text";
        case Fault::Unexpected: return "unexpected field '" + std::string(b.key) + "'";
        case Fault::Duplicate: return "field " + field() + " given twice";
        case Fault::Missing: return "missing field " + field();
        case Fault::NotInteger:
            return "field " + field() +
                   (layout.kinds[b.field] == Kind::Ints ? " must be a list of integers" : " must be an integer");
    }
    return "unknown fault";
}

}  // namespace taloma::feed
