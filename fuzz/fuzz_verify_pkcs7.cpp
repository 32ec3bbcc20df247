// VornVerify::VerifyPkcs7Bin on arbitrary bytes and on mutated valid signatures.
// The verifier reads common signedData itself before falling back to OpenSSL;
// every signature it accepts must also be accepted by PKCS7_verify.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "VornVerify.h"
#include "cLog.h"
#include "vornOpenSSL.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::vector<std::string>& bases() {
    static std::vector<std::string> b;
    return b;
}

// A throwaway key and self-signed certificate; two signatures over them, with
// and without signed attributes, are the starting points of the mutations.
void makeBases() {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    for (int flags : {PKCS7_BINARY, PKCS7_BINARY | PKCS7_NOATTR}) {
        vorn::BioPtr in(BIO_new_mem_buf("order 2330 B 1", -1));
        vorn::Pkcs7Ptr p7(PKCS7_sign(cert, key, nullptr, in.get(), flags));
        unsigned char* der = nullptr;
        const int n = i2d_PKCS7(p7.get(), &der);
        bases().emplace_back(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
        OPENSSL_free(der);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
}

bool opensslAccepts(const std::string& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    vorn::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || PKCS7_get_detached(p7.get())) return false;
    return PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    _logger.setLogLevel(cLog::OFF);
    vorn::initOpenSSL();
    makeBases();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static VornVerify verify;  // keeps its certificate cache across inputs, as in use
    std::string input;
    const unsigned mode = data[0] % 3;
    if (mode == 0) {
        input.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        // Pairs of (position, byte) overwrite a valid signature.
        input = bases()[mode - 1];
        for (size_t i = 1; i + 2 < size; i += 3) {
            const size_t pos = (static_cast<size_t>(data[i]) << 8 | data[i + 1]) % input.size();
            input[pos] = static_cast<char>(data[i + 2]);
        }
        if (size % 7 == 0) input.resize(input.size() - data[size - 1] % 16);
    }
    const int rc = verify.VerifyPkcs7Bin(reinterpret_cast<const unsigned char*>(input.data()),
                                         static_cast<int>(input.size()));
    check(rc == 0 || rc == 5005 || rc == 5042 || rc == 5051 || rc == 5062);
    if (rc == 0) {
        check(opensslAccepts(input));
        check(verify.getSignerCert() != nullptr);
    } else {
        check(verify.getSignerCert() == nullptr);
        check(verify.GetVerifyContent() == nullptr);
    }
    return 0;
}
