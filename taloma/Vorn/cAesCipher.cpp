#include "cAesCipher.h"

#include <climits>
#include <cstring>

#include <openssl/crypto.h>

#include "cErr.h"
#include "cLog.h"
#include "vornOpenSSL.h"

namespace {

const EVP_CIPHER* pickCipher(int mode, int bits) {
    switch (mode * 1000 + bits) {
        case 128: return EVP_aes_128_ecb();
        case 192: return EVP_aes_192_ecb();
        case 256: return EVP_aes_256_ecb();
        case 1128: return EVP_aes_128_cbc();
        case 1192: return EVP_aes_192_cbc();
        case 1256: return EVP_aes_256_cbc();
        case 2128: return EVP_aes_128_cfb128();
        case 2192: return EVP_aes_192_cfb128();
        case 2256: return EVP_aes_256_cfb128();
        default: return nullptr;
    }
}

}  // namespace

cAesCipher::~cAesCipher() {
    OPENSSL_cleanse(m_key, sizeof m_key);
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

bool cAesCipher::setKey(const unsigned char* key, const unsigned char* iv, int mode, int bits) {
    if (key == nullptr || pickCipher(mode, bits) == nullptr || (mode != ECB && iv == nullptr)) {
        VORN_LOG(cLog::ERROR, "cAesCipher::setKey() : invalid key, mode or size");
        return false;
    }
    OPENSSL_cleanse(m_key, sizeof m_key);
    OPENSSL_cleanse(m_iv, sizeof m_iv);
    std::memcpy(m_key, key, static_cast<size_t>(bits / 8));
    // The IV is one AES block whatever the key size.
    if (iv != nullptr) std::memcpy(m_iv, iv, sizeof m_iv);
    m_mode = mode;
    m_bits = bits;
    return true;
}

int cAesCipher::run(bool enc, const unsigned char* in, int inLen, unsigned char* out, int* outLen) const {
    const int failCode = enc ? ERR_ENCRYPT : ERR_DECRYPT;
    if (!isKeySet()) return ERR_CIPHER_ALGORITHM;
    if (in == nullptr || inLen <= 0 || out == nullptr || outLen == nullptr) return ERR_PARAMETER;
    if (inLen > INT_MAX - 32) return ERR_PARAMETER;
    if (*outLen < inLen + 16) return ERR_MEMORY_NOT_ENOUGH;  // one block of padding at most
    vorn::EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return ERR_MEMORY_ALLOC;
    int n1 = 0, n2 = 0;
    if (EVP_CipherInit_ex(ctx.get(), pickCipher(m_mode, m_bits), nullptr, m_key, m_mode == ECB ? nullptr : m_iv,
                          enc ? 1 : 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &n1, in, inLen) != 1 || EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) != 1) {
        OPENSSL_cleanse(out, static_cast<size_t>(*outLen));
        *outLen = 0;
        VORN_LOG(cLog::ERROR, enc ? "cAesCipher::encrypt() failed" : "cAesCipher::decrypt() failed");
        return failCode;
    }
    *outLen = n1 + n2;
    return 0;
}

int cAesCipher::encrypt(const unsigned char* in, int inLen, unsigned char* out, int* outLen) const {
    return run(true, in, inLen, out, outLen);
}

int cAesCipher::decrypt(const unsigned char* in, int inLen, unsigned char* out, int* outLen) const {
    return run(false, in, inLen, out, outLen);
}

int cAesCipher::encrypt(const cBytes& in, cBytes& out) const {
    if (in.length() > INT_MAX - 32) return ERR_PARAMETER;
    cBytes buf;
    if (!buf.bytesInit(in.length() + 32)) return ERR_MEMORY_ALLOC;
    int len = buf.length();
    int rc = run(true, in.data(), in.length(), buf.data(), &len);
    if (rc == 0) rc = out.bytesSet(buf.data(), len) ? 0 : ERR_MEMORY_ALLOC;
    return rc;
}

int cAesCipher::decrypt(const cBytes& in, cBytes& out) const {
    if (in.length() > INT_MAX - 32) return ERR_PARAMETER;
    cBytes buf;
    if (!buf.bytesInit(in.length() + 32)) return ERR_MEMORY_ALLOC;
    int len = buf.length();
    int rc = run(false, in.data(), in.length(), buf.data(), &len);
    if (rc == 0) rc = out.bytesSet(buf.data(), len) ? 0 : ERR_MEMORY_ALLOC;
    return rc;
}
