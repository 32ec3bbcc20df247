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
        check(!key.empty() && key.size() < size && value.size() < size);
        check(!trimmedChar(static_cast<unsigned char>(key.front())));
        check(!trimmedChar(static_cast<unsigned char>(key.back())));
        check(key.find('=') == std::string::npos && key.find('\n') == std::string::npos);
        check(value.find('\n') == std::string::npos && value.find('\0') == std::string::npos);
        // Whatever a value holds, written in quotes it reads back unchanged (paths with edge spaces).
        cProperty quoted;
        std::string line = "k=\"" + value + "\"\n";
        check(quoted.parse(line.data(), line.size()) && quoted.getProperty("k") == value);
        check(p.getProperty(key.c_str()) == value);
        int n = p.getPropertyInt(key.c_str());
        check(n >= -1 || value.front() == '-');
        (void)p.getPropertyBool(key.c_str());
    }
    return 0;
}
