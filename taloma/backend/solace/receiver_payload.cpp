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

namespace {

std::uint64_t big_endian(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

}  // namespace

bool plausible(const char* data, std::size_t len) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::uint64_t pending = 1;  // values still to read
    std::size_t at = 0;
    while (pending) {
        if (at >= len) return false;
        unsigned char b = p[at++];
        --pending;
        std::uint64_t skip = 0, entries = 0;
        int width = 0;
        if (b <= 0x7f || b >= 0xe0 || (b >= 0xc0 && b <= 0xc3)) {
        } else if (b <= 0x8f) {
            entries = 2u * (b & 0x0f);
        } else if (b <= 0x9f) {
            entries = b & 0x0f;
        } else if (b <= 0xbf) {
            skip = b & 0x1f;
        } else if (b >= 0xc4 && b <= 0xc6) {  // bin 8/16/32
            width = 1 << (b - 0xc4);
        } else if (b >= 0xc7 && b <= 0xc9) {  // ext 8/16/32: length, type, data
            width = 1 << (b - 0xc7);
            skip = 1;
        } else if (b == 0xca || b == 0xcb) {
            skip = b == 0xca ? 4 : 8;
        } else if (b >= 0xcc && b <= 0xd3) {  // uint and int 8 to 64
            skip = 1u << ((b - 0xcc) & 3);
        } else if (b >= 0xd4 && b <= 0xd8) {  // fixext 1 to 16
            skip = 1 + (1u << (b - 0xd4));
        } else if (b >= 0xd9 && b <= 0xdb) {  // str 8/16/32
            width = 1 << (b - 0xd9);
        } else {  // 0xdc to 0xdf: array and map 16/32
            int w = b & 1 ? 4 : 2;
            if (len - at < static_cast<std::size_t>(w)) return false;
            entries = big_endian(p + at, w) * (b >= 0xde ? 2 : 1);
            at += w;
        }
        if (width) {
            if (len - at < static_cast<std::size_t>(width)) return false;
            skip += big_endian(p + at, width);
            at += width;
        }
        if (skip > len - at || entries > len - at) return false;
        at += skip;
        pending += entries;
        if (pending > len - at) return false;
    }
    return true;
}

bool unpack(const char* data, std::size_t len, msgpack_zone* zone, msgpack_object* out) {
    if (!plausible(data, len)) return false;
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
