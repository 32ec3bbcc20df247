// Hexadecimal and Base64 decoding of arbitrary text, encode/decode round trips,
// and the character-set conversions of the signer and the verifier.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cBytes.h"
#include "cChars.h"
#include "cLog.h"

namespace {
void check(bool ok) {
    if (!ok) std::abort();
}
bool same(const cBytes& b, const uint8_t* data, size_t size) {
    return static_cast<size_t>(b.length()) == size && (size == 0 || std::memcmp(b.data(), data, size) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    _logger.setLogLevel(cLog::OFF);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    cBytes b;
    if (b.hexDecode(text, size)) {
        check(static_cast<size_t>(b.length()) * 2 == size);
        cChars again;
        check(again.hexEncode(b.data(), b.length()));
        check(cChars::insensitiveStringCompare(again.c_str(), std::string(text, size).c_str()) ||
              std::memchr(text, 0, size) != nullptr);
    }
    if (b.base64Decode(text, size)) {
        check(b.length() > 0);
        cChars again;
        check(again.base64Encode(b.data(), b.length()));
        cBytes twice;
        check(twice.base64Decode(again.c_str()) && twice == b);
    }
    cBytes line;
    if (line.base64DecodeLine(text, size)) {
        // The signer's one-line form is a case of the general one.
        cBytes general;
        check(general.base64Decode(text, size) && general == line);
    }
    cBytes wide;
    if (wide.convert(data, size, "UTF-16LE", "UTF-8")) {
        // Valid UTF-8 comes back unchanged, as signer and verifier rely on.
        cChars back;
        check(back.fromEncoding(wide.data(), static_cast<size_t>(wide.length()), "UTF-16LE"));
        check(static_cast<size_t>(back.length()) == size && (size == 0 || std::memcmp(back.c_str(), data, size) == 0));
    }
    for (const char* code : {"BIG5", "UTF-16LE"}) {
        cChars text8;
        if (text8.fromEncoding(data, size, code)) {
            cBytes again;
            check(again.convert(text8.c_str(), static_cast<size_t>(text8.length()), "UTF-16LE", "UTF-8"));
        }
    }
    if (size > 0) {
        cChars h, s;
        check(h.hexEncode(data, static_cast<int>(size)) && h.length() == static_cast<int>(size * 2));
        check(s.base64Encode(data, static_cast<int>(size)) && s.length() % 4 == 0);
        cBytes hb, sb;
        check(hb.hexDecode(h.c_str()) && same(hb, data, size));
        check(sb.base64Decode(s.c_str()) && same(sb, data, size));
    }
    return 0;
}
