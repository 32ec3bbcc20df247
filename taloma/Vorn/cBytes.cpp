#include "cBytes.h"

#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include <openssl/crypto.h>

namespace {

constexpr signed char kHex[256] = {
#define X -1
#define R16 X, X, X, X, X, X, X, X, X, X, X, X, X, X, X, X
    R16, R16, R16, 0,  1,  2, 3, 4, 5, 6, 7,   8,   9,   X,   X,   X,   X,   X,   X,   X,  10,
    11,  12,  13,  14, 15, X, X, X, X, X, X,   X,   X,   X,   R16, X,   10,  11,  12,  13, 14,
    15,  X,   X,   X,  X,  X, X, X, X, X, R16, R16, R16, R16, R16, R16, R16, R16, R16,
#undef R16
#undef X
};

// -1 outside the alphabet, -2 for "=", -3 for skippable whitespace.
struct B64Table {
    signed char v[256];
    constexpr B64Table() : v() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(a[i])] = static_cast<signed char>(i);
        v[static_cast<unsigned char>('=')] = -2;
        v[static_cast<unsigned char>('\r')] = -3;
        v[static_cast<unsigned char>('\n')] = -3;
        v[static_cast<unsigned char>(' ')] = -3;
        v[static_cast<unsigned char>('\t')] = -3;
    }
};
constexpr B64Table kB64;

// Per-thread iconv descriptors, by target and source: opening one costs far
// more than a conversion.
class IconvCache {
public:
    IconvCache() = default;
    IconvCache(const IconvCache&) = delete;
    IconvCache& operator=(const IconvCache&) = delete;
    ~IconvCache() {
        for (auto& entry : m_open) iconv_close(entry.second);
    }
    // A descriptor in its initial state, or (iconv_t)-1.
    iconv_t get(const char* toCode, const char* fromCode) {
        std::string key(toCode);
        key.push_back('\0');
        key += fromCode;
        auto it = m_open.find(key);
        if (it != m_open.end()) {
            iconv(it->second, nullptr, nullptr, nullptr, nullptr);
            return it->second;
        }
        iconv_t cd = iconv_open(toCode, fromCode);
        if (cd != kNone) m_open.emplace(std::move(key), cd);
        return cd;
    }
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

private:
    std::map<std::string, iconv_t> m_open;
};

}  // namespace

cBytes::cBytes(const unsigned char* bytes, int n) { bytesSet(bytes, n); }

cBytes::cBytes(const cBytes& other) { bytesSet(other.data(), other.length()); }

cBytes::cBytes(cBytes&& other) noexcept
    : m_data(std::move(other.m_data)), m_length(other.m_length), m_capacity(other.m_capacity) {
    other.m_length = 0;
    other.m_capacity = 0;
}

cBytes& cBytes::operator=(const cBytes& other) {
    if (this != &other) bytesSet(other.data(), other.length());
    return *this;
}

cBytes& cBytes::operator=(cBytes&& other) noexcept {
    if (this != &other) {
        bytesFree();
        m_data = std::move(other.m_data);
        m_length = other.m_length;
        m_capacity = other.m_capacity;
        other.m_length = 0;
        other.m_capacity = 0;
    }
    return *this;
}

cBytes::~cBytes() { bytesFree(); }

void cBytes::bytesFree() noexcept {
    if (m_data) OPENSSL_cleanse(m_data.get(), static_cast<size_t>(m_capacity));
    m_data.reset();
    m_length = 0;
    m_capacity = 0;
}

void cBytes::bytesZero() noexcept {
    if (m_data) std::memset(m_data.get(), 0, static_cast<size_t>(m_capacity));
}

bool cBytes::reserve(int n) {
    if (n <= m_capacity) return true;
    int cap = m_capacity > 0 ? m_capacity : 16;
    while (cap < n) cap = cap > INT_MAX / 2 ? INT_MAX : cap * 2;
    std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[static_cast<size_t>(cap)]);
    if (!fresh) return false;
    std::memset(fresh.get(), 0, static_cast<size_t>(cap));
    if (m_length > 0) std::memcpy(fresh.get(), m_data.get(), static_cast<size_t>(m_length));
    int keep = m_length;
    bytesFree();
    m_data = std::move(fresh);
    m_length = keep;
    m_capacity = cap;
    return true;
}

bool cBytes::bytesInit(int n) {
    if (n < 0) return false;
    bytesFree();
    if (n == 0) return true;
    if (!reserve(n)) return false;
    m_length = n;
    return true;
}

bool cBytes::bytesSet(const unsigned char* bytes, int n) {
    if (n < 0 || (n > 0 && bytes == nullptr)) return false;
    if (n > 0 && bytes >= m_data.get() && bytes < m_data.get() + m_capacity) {
        cBytes copy(bytes, n);  // source lives inside this buffer
        *this = std::move(copy);
        return true;
    }
    bytesFree();
    if (n == 0) return true;
    if (!reserve(n)) return false;
    std::memcpy(m_data.get(), bytes, static_cast<size_t>(n));
    m_length = n;
    return true;
}

bool cBytes::bytesAppend(const unsigned char* bytes, int n) {
    if (n < 0 || (n > 0 && bytes == nullptr)) return false;
    if (n == 0) return true;
    if (n > INT_MAX - m_length) return false;
    if (bytes >= m_data.get() && bytes < m_data.get() + m_capacity) {
        cBytes copy(bytes, n);
        return bytesAppend(copy.data(), copy.length());
    }
    if (!reserve(m_length + n)) return false;
    std::memcpy(m_data.get() + m_length, bytes, static_cast<size_t>(n));
    m_length += n;
    return true;
}

bool cBytes::reverseBytes(const unsigned char* bytes, int n) {
    if (!bytesSet(bytes, n)) return false;
    for (int i = 0, j = m_length - 1; i < j; ++i, --j) std::swap(m_data[i], m_data[j]);
    return true;
}

bool cBytes::operator==(const cBytes& other) const noexcept {
    if (m_length != other.m_length) return false;
    return m_length == 0 || std::memcmp(m_data.get(), other.m_data.get(), static_cast<size_t>(m_length)) == 0;
}

bool cBytes::hexDecode(const char* text) { return text != nullptr && hexDecode(text, std::strlen(text)); }

bool cBytes::hexDecode(const char* text, std::size_t len) {
    bytesFree();
    if (text == nullptr || len == 0 || len % 2 != 0 || len / 2 > static_cast<std::size_t>(INT_MAX)) return false;
    int n = static_cast<int>(len / 2);
    if (!reserve(n)) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    for (int i = 0; i < n; ++i) {
        int hi = kHex[in[2 * i]], lo = kHex[in[2 * i + 1]];
        if (hi < 0 || lo < 0) {
            bytesFree();
            return false;
        }
        m_data[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    m_length = n;
    return true;
}

bool cBytes::base64Decode(const char* text) { return text != nullptr && base64Decode(text, std::strlen(text)); }

bool cBytes::base64Decode(const char* text, std::size_t len) {
    bytesFree();
    if (text == nullptr || len == 0 || len / 4 * 3 > static_cast<std::size_t>(INT_MAX - 3)) return false;
    if (!reserve(static_cast<int>(len / 4 * 3 + 3))) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    unsigned int acc = 0;
    int quad = 0, pad = 0, out = 0;
    for (std::size_t i = 0; i < len; ++i) {
        int v = kB64.v[in[i]];
        if (v == -3) continue;
        if (v == -1 || (v >= 0 && pad > 0)) {
            bytesFree();
            return false;
        }
        if (v == -2) {
            // "=" only in the last two places of a group, and only to finish it.
            if (quad < 2) {
                bytesFree();
                return false;
            }
            ++pad;
            v = 0;
        }
        acc = acc << 6 | static_cast<unsigned int>(v);
        if (++quad == 4) {
            unsigned char b[3] = {static_cast<unsigned char>(acc >> 16), static_cast<unsigned char>(acc >> 8),
                                  static_cast<unsigned char>(acc)};
            for (int k = 0; k < 3 - pad; ++k) m_data[out++] = b[k];
            quad = 0;
            acc = 0;
            if (pad > 0) pad = 3;  // nothing but whitespace may follow
        }
    }
    if (quad != 0 || out == 0) {
        bytesFree();
        return false;
    }
    m_length = out;
    return true;
}

bool cBytes::base64DecodeLine(const char* text, std::size_t len) {
    if (text == nullptr || len == 0 || len % 4 != 0 || len / 4 * 3 > static_cast<std::size_t>(INT_MAX)) {
        bytesFree();
        return false;
    }
    // The storage is kept from call to call; what it held beyond the new
    // content is wiped below.
    const int before = m_length;
    m_length = 0;
    if (!reserve(static_cast<int>(len / 4 * 3))) {
        bytesFree();
        return false;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const std::size_t pad = in[len - 1] == '=' ? (in[len - 2] == '=' ? 2 : 1) : 0;
    unsigned char* o = m_data.get();
    const std::size_t full = pad ? len - 4 : len;
    for (std::size_t i = 0; i < full; i += 4) {
        const int a = kB64.v[in[i]], b = kB64.v[in[i + 1]], c = kB64.v[in[i + 2]], d = kB64.v[in[i + 3]];
        if ((a | b | c | d) < 0) {
            bytesFree();
            return false;
        }
        const unsigned int w = static_cast<unsigned int>(a << 18 | b << 12 | c << 6 | d);
        *o++ = static_cast<unsigned char>(w >> 16);
        *o++ = static_cast<unsigned char>(w >> 8);
        *o++ = static_cast<unsigned char>(w);
    }
    if (pad) {
        const unsigned char* q = in + len - 4;
        const int a = kB64.v[q[0]], b = kB64.v[q[1]];
        const int c = pad == 2 ? 0 : kB64.v[q[2]];
        if ((a | b | c) < 0) {
            bytesFree();
            return false;
        }
        const unsigned int w = static_cast<unsigned int>(a << 18 | b << 12 | c << 6);
        *o++ = static_cast<unsigned char>(w >> 16);
        if (pad == 1) *o++ = static_cast<unsigned char>(w >> 8);
    }
    m_length = static_cast<int>(o - m_data.get());
    if (before > m_length) OPENSSL_cleanse(o, static_cast<std::size_t>(before - m_length));
    return true;
}

bool cBytes::convert(const void* text, std::size_t len, const char* toCode, const char* fromCode) {
    bytesFree();
    if ((text == nullptr && len > 0) || toCode == nullptr || fromCode == nullptr) return false;
    thread_local IconvCache cache;
    iconv_t cd = cache.get(toCode, fromCode);
    if (cd == IconvCache::kNone) return false;
    // Room for BIG5 or UTF-16LE from UTF-8 and back; other pairs may grow it.
    std::size_t room = len * 2 + 100;
    for (;;) {
        if (room > static_cast<std::size_t>(INT_MAX) || !reserve(static_cast<int>(room))) {
            bytesFree();
            return false;
        }
        char* in = static_cast<char*>(const_cast<void*>(text));
        std::size_t inLeft = len;
        char* out = reinterpret_cast<char*>(m_data.get());
        std::size_t outLeft = static_cast<std::size_t>(m_capacity);
        if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1)) {
            m_length = m_capacity - static_cast<int>(outLeft);
            return true;
        }
        if (errno != E2BIG) break;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        room = static_cast<std::size_t>(m_capacity) * 2;
    }
    bytesFree();
    return false;
}
