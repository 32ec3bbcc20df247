#pragma once
#include <cstddef>
#include <memory>

#include "vornExport.h"

// Owned byte buffer. The bytes are wiped when freed or replaced, since these
// buffers carry passwords and key material as well as documents.
class VORN_API cBytes {
public:
    cBytes() noexcept = default;
    cBytes(const unsigned char* bytes, int n);
    cBytes(const cBytes& other);
    cBytes(cBytes&& other) noexcept;
    cBytes& operator=(const cBytes& other);
    cBytes& operator=(cBytes&& other) noexcept;
    virtual ~cBytes();

    // n zeroed bytes; n < 0 fails, n == 0 leaves the buffer empty.
    bool bytesInit(int n);
    void bytesFree() noexcept;
    void bytesZero() noexcept;
    // Replaces the content by a copy of bytes[0..n).
    bool bytesSet(const unsigned char* bytes, int n);
    bool bytesAppend(const unsigned char* bytes, int n);
    // Replaces the content by bytes[0..n) in reverse order.
    bool reverseBytes(const unsigned char* bytes, int n);

    bool operator==(const cBytes& other) const noexcept;
    bool operator!=(const cBytes& other) const noexcept { return !(*this == other); }

    // Pairs of hexadecimal digits (either case); odd length or a non-digit
    // fails and leaves the buffer empty. The length form takes text that is
    // not NUL-terminated.
    bool hexDecode(const char* text);
    bool hexDecode(const char* text, std::size_t len);
    // Standard alphabet with "=" padding; line breaks are tolerated, anything
    // else outside the alphabet fails and leaves the buffer empty.
    bool base64Decode(const char* text);
    bool base64Decode(const char* text, std::size_t len);
    // One line of Base64 as the signer writes it (no whitespace, padded),
    // decoded into the buffer's current storage; false, leaving the buffer
    // empty, for anything else, which base64Decode then judges.
    bool base64DecodeLine(const char* text, std::size_t len);

    // text[0..len) in encoding fromCode converted by iconv to toCode (names
    // as iconv takes them); false, leaving the buffer empty, for an unknown
    // encoding or text that does not convert. Descriptors are kept per thread.
    bool convert(const void* text, std::size_t len, const char* toCode, const char* fromCode);

    unsigned char* data() noexcept { return m_data.get(); }
    const unsigned char* data() const noexcept { return m_data.get(); }
    int length() const noexcept { return m_length; }
    bool empty() const noexcept { return m_length == 0; }

private:
    bool reserve(int n);

    std::unique_ptr<unsigned char[]> m_data;
    int m_length = 0;
    int m_capacity = 0;
};
