#include "receiver_payload.hpp"

#include <array>
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

// What a value's first byte says of the bytes and values after it.
struct Head {
    std::uint8_t skip = 0;     // bytes of the value after its header
    std::uint8_t entries = 0;  // values it holds (a fixarray's, twice a fixmap's)
    std::uint8_t width = 0;    // bytes of a length or count after the first byte
    std::uint8_t counted = 0;  // 0: the width holds a byte length; 1: an entry count; 2: a pair count
};

constexpr std::array<Head, 256> kHeads = [] {
    std::array<Head, 256> t{};
    for (int b = 0x80; b <= 0x8f; ++b) t[b].entries = static_cast<std::uint8_t>(2 * (b & 0x0f));
    for (int b = 0x90; b <= 0x9f; ++b) t[b].entries = static_cast<std::uint8_t>(b & 0x0f);
    for (int b = 0xa0; b <= 0xbf; ++b) t[b].skip = static_cast<std::uint8_t>(b & 0x1f);
    for (int b = 0xc4; b <= 0xc6; ++b) t[b].width = static_cast<std::uint8_t>(1 << (b - 0xc4));  // bin
    for (int b = 0xc7; b <= 0xc9; ++b) {  // ext: length, type, data
        t[b].width = static_cast<std::uint8_t>(1 << (b - 0xc7));
        t[b].skip = 1;
    }
    t[0xca].skip = 4;
    t[0xcb].skip = 8;
    for (int b = 0xcc; b <= 0xd3; ++b) t[b].skip = static_cast<std::uint8_t>(1 << ((b - 0xcc) & 3));
    for (int b = 0xd4; b <= 0xd8; ++b) t[b].skip = static_cast<std::uint8_t>(1 + (1 << (b - 0xd4)));  // fixext
    for (int b = 0xd9; b <= 0xdb; ++b) t[b].width = static_cast<std::uint8_t>(1 << (b - 0xd9));       // str
    t[0xdc] = {0, 0, 2, 1};
    t[0xdd] = {0, 0, 4, 1};
    t[0xde] = {0, 0, 2, 2};
    t[0xdf] = {0, 0, 4, 2};
    return t;
}();

}  // namespace

bool plausible(const char* data, std::size_t len) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::uint64_t pending = 1;  // values still to read, each at least one byte
    std::size_t at = 0;
    while (pending) {
        if (at >= len) return false;
        const Head& h = kHeads[p[at++]];
        --pending;
        std::uint64_t skip = h.skip, entries = h.entries;
        if (h.width) {
            if (len - at < h.width) return false;
            std::uint64_t n = big_endian(p + at, h.width);
            at += h.width;
            if (h.counted) entries = n * h.counted;
            else skip += n;
        }
        if (skip > len - at) return false;
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
        if ((kind == Kind::Int && !is_integer(v)) || (kind == Kind::Ints && !integers(v)))
            return {Fault::NotInteger, i};
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
