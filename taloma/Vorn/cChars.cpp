#include "cChars.h"

#include <climits>
#include <cstring>
#include <new>

#include <openssl/evp.h>

#include "cBytes.h"

cChars::cChars(const char* text) { charsSet(text); }

cChars::cChars(const char* text, std::size_t n) { charsSet(text, n); }

cChars::cChars(const cChars& other) {
    if (other.m_data) charsSet(other.m_data.get(), static_cast<std::size_t>(other.m_length));
}

cChars::cChars(cChars&& other) noexcept
    : m_data(std::move(other.m_data)), m_length(other.m_length), m_capacity(other.m_capacity) {
    other.m_length = 0;
    other.m_capacity = 0;
}

cChars& cChars::operator=(const cChars& other) {
    if (this == &other) return *this;
    if (other.m_data) charsSet(other.m_data.get(), static_cast<std::size_t>(other.m_length));
    else charsFree();
    return *this;
}

cChars& cChars::operator=(cChars&& other) noexcept {
    if (this != &other) {
        m_data = std::move(other.m_data);
        m_length = other.m_length;
        m_capacity = other.m_capacity;
        other.m_length = 0;
        other.m_capacity = 0;
    }
    return *this;
}

cChars::~cChars() = default;

void cChars::charsFree() noexcept {
    m_data.reset();
    m_length = 0;
    m_capacity = 0;
}

bool cChars::reserve(std::size_t n) {
    if (n > static_cast<std::size_t>(INT_MAX) - 1) return false;
    if (m_data && n <= static_cast<std::size_t>(m_capacity)) return true;
    std::size_t cap = m_capacity > 0 ? static_cast<std::size_t>(m_capacity) : 15;
    while (cap < n) cap = cap > static_cast<std::size_t>(INT_MAX) / 2 ? static_cast<std::size_t>(INT_MAX) - 1 : cap * 2;
    std::unique_ptr<char[]> fresh(new (std::nothrow) char[cap + 1]);
    if (!fresh) return false;
    if (m_length > 0) std::memcpy(fresh.get(), m_data.get(), static_cast<std::size_t>(m_length));
    fresh[m_length] = '\0';
    m_data = std::move(fresh);
    m_capacity = static_cast<int>(cap);
    return true;
}

bool cChars::charsInit(int n) {
    if (n < 0) return false;
    charsFree();
    if (!reserve(static_cast<std::size_t>(n))) return false;
    std::memset(m_data.get(), 0, static_cast<std::size_t>(n) + 1);
    m_length = n;
    return true;
}

bool cChars::charsSet(const char* text) {
    if (text == nullptr) {
        charsFree();
        return true;
    }
    return charsSet(text, std::strlen(text));
}

bool cChars::charsSet(const char* text, std::size_t n) {
    if (text == nullptr) {
        charsFree();
        return n == 0;
    }
    if (m_data && text >= m_data.get() && text <= m_data.get() + m_capacity) {
        cChars copy(text, n);  // source lives inside this buffer
        *this = std::move(copy);
        return m_data != nullptr;
    }
    m_length = 0;
    if (!reserve(n)) {
        charsFree();
        return false;
    }
    if (n > 0) std::memcpy(m_data.get(), text, n);
    m_length = static_cast<int>(n);
    m_data[m_length] = '\0';
    return true;
}

bool cChars::charsAppend(const char* text) { return text != nullptr && charsAppend(text, std::strlen(text)); }

bool cChars::charsAppend(const char* text, std::size_t n) {
    if (text == nullptr) return n == 0;
    if (m_data && text >= m_data.get() && text <= m_data.get() + m_capacity) {
        cChars copy(text, n);
        return charsAppend(copy.c_str(), static_cast<std::size_t>(copy.length()));
    }
    if (n > static_cast<std::size_t>(INT_MAX) - 1 - static_cast<std::size_t>(m_length)) return false;
    if (!reserve(static_cast<std::size_t>(m_length) + n)) return false;
    if (n > 0) std::memcpy(m_data.get() + m_length, text, n);
    m_length += static_cast<int>(n);
    m_data[m_length] = '\0';
    return true;
}

bool cChars::operator==(const cChars& other) const noexcept {
    if ((m_data == nullptr) != (other.m_data == nullptr)) return false;
    return view() == other.view();
}

bool cChars::hexEncode(const unsigned char* bytes, int n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    charsFree();
    if (bytes == nullptr || n <= 0 || n > (INT_MAX - 1) / 2) return false;
    if (!reserve(static_cast<std::size_t>(n) * 2)) return false;
    char* out = m_data.get();
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    m_length = n * 2;
    out[m_length] = '\0';
    return true;
}

bool cChars::base64Encode(const unsigned char* bytes, int n) {
    charsFree();
    if (bytes == nullptr || n <= 0 || n / 3 > (INT_MAX - 16) / 4) return false;
    std::size_t size = static_cast<std::size_t>(n) / 3 * 4 + 10;
    if (!reserve(size)) return false;
    // EVP_EncodeBlock writes one line with "=" padding and a terminator.
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(m_data.get()), bytes, n);
    if (len < 0) {
        charsFree();
        return false;
    }
    m_length = len;
    m_data[m_length] = '\0';
    return true;
}

bool cChars::fromEncoding(const unsigned char* bytes, std::size_t n, const char* fromCode) {
    cBytes utf8;
    if (!utf8.convert(bytes, n, "UTF-8", fromCode)) {
        charsFree();
        return false;
    }
    return charsSet(reinterpret_cast<const char*>(utf8.data()), static_cast<std::size_t>(utf8.length()));
}

bool cChars::insensitiveStringCompare(const char* a, const char* b) noexcept {
    if (a == nullptr || b == nullptr) return false;
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 32);
        if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 32);
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
}
