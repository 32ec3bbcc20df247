// Per-call cost of the PKI foundation pieces that sit on the signing path:
// log lines (the signer logs several per signature at DEBUG, including a dump
// of the DER), Base64 of a signature-sized buffer, the validity check.
// Build: cmake ... -DTALOMA_BUILD_TESTS=ON, target vorn_bench_foundation;
// run after ctest has generated the test PKI.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <string>

#include "cBytes.h"
#include "cChars.h"
#include "cLog.h"
#include "cPkcs12.h"

namespace {

template <typename F>
double perCallMicros(int n, F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string pki = argc > 1 ? argv[1] : VORN_TEST_PKI_DIR;
    char tmpl[] = "/tmp/vornbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    cLog log;
    log.setLogLevel(cLog::DEBUG);
    log.setLogFile(tmpl, "bench.log");
    const std::string der(1500, '\x30');
    const auto* d = reinterpret_cast<const unsigned char*>(der.data());

    double line = perCallMicros(20000, [&] { log.logLevel(cLog::DEBUG, "begin VornSign::SignPkcs7Bin()"); });
    double dump = perCallMicros(2000, [&] { log.logLevel(cLog::DEBUG, "簽章值", d, 1500); });
    cChars b64;
    cBytes back;
    double enc = perCallMicros(20000, [&] { b64.base64Encode(d, 1500); });
    double dec = perCallMicros(20000, [&] { back.base64Decode(b64.c_str()); });
    cPkcs12 p12;
    _logger.setLogLevel(cLog::OFF);
    if (p12.loadPfxFile(pki.c_str(), "sign.p12", "1234") != 0) {
        std::fprintf(stderr, "cannot open %s/sign.p12\n", pki.c_str());
        return 1;
    }
    double valid = perCallMicros(20000, [&] { p12.checkCertValid(); });
    double usage = perCallMicros(20000, [&] { p12.checkKeyUsageForSign(); });
    std::printf("log line to file          %8.2f us\n", line);
    std::printf("log 1500-byte hex dump    %8.2f us\n", dump);
    std::printf("base64 encode 1500 bytes  %8.2f us\n", enc);
    std::printf("base64 decode 1500 bytes  %8.2f us\n", dec);
    std::printf("checkCertValid            %8.2f us\n", valid);
    std::printf("checkKeyUsageForSign      %8.2f us\n", usage);
    if (std::system((std::string("rm -rf ") + tmpl).c_str()) != 0) std::fputs("cannot remove log folder\n", stderr);
    return 0;
}
