// Signer-filter matching: input is "filter\0subject\0issuer" (missing parts are empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cErr.h"
#include "cLog.h"
#include "cPkcs12.h"

namespace {
void check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    _logger.setLogLevel(cLog::OFF);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string all(reinterpret_cast<const char*>(data), size);
    std::string part[3];
    for (size_t i = 0, pos = 0; i < 3 && pos <= all.size(); ++i) {
        size_t end = all.find('\0', pos);
        part[i] = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    auto alternatives = cPkcs12::splitFilter(part[0]);
    size_t markers = 0;
    for (size_t p = part[0].find("//"); p != std::string::npos; p = part[0].find("//", p + 2)) ++markers;
    check(alternatives.size() == (markers > 0 ? markers - 1 : 0));
    int rc = cPkcs12::matchSignerFilter(part[0].c_str(), part[1], part[2]);
    check(rc == 0 || rc == ERR_CERT_NOT_FOUND);
    if (part[0].empty()) check(rc == 0);
    // An alternative that passes on its own makes the whole filter pass.
    for (const auto& alt : alternatives)
        if (cPkcs12::checkFilterByCertSubject(alt, part[1]) && cPkcs12::checkFilterByCertIssuer(alt, part[2]))
            check(rc == 0);
    return 0;
}
