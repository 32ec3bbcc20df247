#pragma once
// Owning handles for OpenSSL objects, shared by the whole library.
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "vornExport.h"

namespace vorn {

template <auto Fn>
struct OsslDeleter {
    template <typename T>
    void operator()(T* p) const noexcept {
        Fn(p);
    }
};

using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, OsslDeleter<X509_CRL_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslDeleter<EVP_CIPHER_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslDeleter<PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OsslDeleter<PKCS12_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_free>>;

inline void freeX509Stack(STACK_OF(X509) * s) noexcept { sk_X509_pop_free(s, X509_free); }
// Owns the stack and every certificate in it.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<freeX509Stack>>;
inline void freeX509StackShallow(STACK_OF(X509) * s) noexcept { sk_X509_free(s); }
// Owns the stack only; the certificates belong to someone else.
using X509StackViewPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<freeX509StackShallow>>;

// Loads the "default" and "legacy" providers once per process, so that PKCS#12
// files made with RC2/3DES (older tools, `openssl pkcs12 -legacy`) still open.
// Returns false when the legacy provider could not be loaded (default still works).
VORN_API bool initOpenSSL();

// Held by every signer operation. At exit the library waits (bounded) for the
// holders to leave before OpenSSL's own cleanup frees what they use, and a
// thread that comes in after that parks: the process is ending under it.
class VORN_API ExitGuard {
public:
    ExitGuard() noexcept;
    ~ExitGuard();
    ExitGuard(const ExitGuard&) = delete;
    ExitGuard& operator=(const ExitGuard&) = delete;
};

}  // namespace vorn
