// cProperty::parse on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cLog.h"
#include "cProperty.h"

namespace {
bool trimmedChar(unsigned char c) { return c <= 0x20 || c == 0x7F; }
void check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    _logger.setLogLevel(cLog::OFF);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cProperty p;
    bool ok = p.parse(reinterpret_cast<const char*>(data), size);
    check(ok == (size > 0));
    for (const auto& [key, value] : p.entries()) {
        check(!key.empty() && key.size() < 512 && value.size() < 512);
        check(!trimmedChar(static_cast<unsigned char>(key.front())));
        check(!trimmedChar(static_cast<unsigned char>(key.back())));
        check(value.empty() || !trimmedChar(static_cast<unsigned char>(value.back())));
        check(key.find('=') == std::string::npos && key.find('\n') == std::string::npos);
        check(p.getProperty(key.c_str()) == value);
        int n = p.getPropertyInt(key.c_str());
        check(n >= -1 || value.front() == '-');
        (void)p.getPropertyBool(key.c_str());
    }
    return 0;
}
