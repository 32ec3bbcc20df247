#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "vornExport.h"

// Owned NUL-terminated text buffer. c_str() is null while nothing is held,
// which is how the library's getters say "no value".
class VORN_API cChars {
public:
    cChars() noexcept = default;
    explicit cChars(const char* text);
    cChars(const char* text, std::size_t n);
    explicit cChars(std::string_view text) : cChars(text.data(), text.size()) {}
    cChars(const cChars& other);
    cChars(cChars&& other) noexcept;
    cChars& operator=(const cChars& other);
    cChars& operator=(cChars&& other) noexcept;
    virtual ~cChars();

    // n NUL characters plus the terminator.
    bool charsInit(int n);
    void charsFree() noexcept;
    // Replaces the content; a null text frees the buffer.
    bool charsSet(const char* text);
    bool charsSet(const char* text, std::size_t n);
    bool charsAppend(const char* text);
    bool charsAppend(const char* text, std::size_t n);

    bool operator==(const cChars& other) const noexcept;
    bool operator!=(const cChars& other) const noexcept { return !(*this == other); }

    // Two upper-case digits per byte; null or n <= 0 fails.
    bool hexEncode(const unsigned char* bytes, int n);
    // Standard Base64 with padding on one line; null or n <= 0 fails.
    bool base64Encode(const unsigned char* bytes, int n);
    // bytes[0..n) in encoding fromCode as UTF-8 (see cBytes::convert).
    bool fromEncoding(const unsigned char* bytes, std::size_t n, const char* fromCode);

    // True when both are non-null, of equal length and equal ignoring ASCII case.
    static bool insensitiveStringCompare(const char* a, const char* b) noexcept;

    const char* c_str() const noexcept { return m_data.get(); }
    char* data() noexcept { return m_data.get(); }
    int length() const noexcept { return m_length; }
    bool empty() const noexcept { return m_length == 0; }
    std::string_view view() const noexcept {
        return m_data ? std::string_view(m_data.get(), static_cast<std::size_t>(m_length)) : std::string_view();
    }
    std::string str() const { return std::string(view()); }

private:
    bool reserve(std::size_t n);

    std::unique_ptr<char[]> m_data;
    int m_length = 0;
    int m_capacity = 0;  // excluding the terminator
};
