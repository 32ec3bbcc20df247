#pragma once
#include <string>

#include "cError.h"  // the codes with texts; cErr's table is generated from it
#include "vornExport.h"

// Codes the library returns that have no text of their own: getMessage()
// reports them as undefined, and they are kept out of cError.h on purpose.
#define ERR_PKCS7_NO_CONTENT 5051      // signedData without embedded content
#define ERR_PKCS7_NO_SIGNER_CERT 5052  // no carried certificate matches a signer
#define ERR_PFX_NOT_LOADED 5204        // signing before a credential was opened
#define ERR_PFX_PASSWORD 5208          // MAC/decryption with the password failed, or the cipher could not be keyed
#define ERR_STORE_CTX_INIT (-1)        // X509_STORE_CTX_init failed

class VORN_API cErr {
public:
    // The code's text followed by "(code)"; unknown codes read as "錯誤碼未定義(code)".
    static std::string getMessage(int code);
    // The bare text / symbolic name, or null for a code without one.
    static const char* getText(int code) noexcept;
    static const char* getName(int code) noexcept;
    static int count() noexcept;
};
