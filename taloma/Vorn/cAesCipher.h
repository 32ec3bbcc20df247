#pragma once
#include "cBytes.h"

// AES through EVP with PKCS#7 padding. Keys are wiped on destruction.
class VORN_API cAesCipher {
public:
    enum Mode : int { ECB = 0, CBC = 1, CFB = 2 };  // CFB is CFB-128

    cAesCipher() = default;
    cAesCipher(const cAesCipher&) = delete;
    cAesCipher& operator=(const cAesCipher&) = delete;
    virtual ~cAesCipher();

    // mode 0..2, bits 128/192/256; copies bits/8 bytes of key and one AES
    // block (16 bytes) of iv, which may be null for ECB. False keeps the
    // previous key.
    bool setKey(const unsigned char* key, const unsigned char* iv, int mode, int bits);
    bool isKeySet() const noexcept { return m_bits > 0 && m_mode >= 0; }

    // *outLen is the capacity of out on entry (at least inLen + bits bytes
    // is always enough) and the produced length on return. Returns 0, or
    // 9001 (no key), 5005 (bad arguments), 5003 (out too small),
    // 5063 / 5064 (OpenSSL refused to encrypt / decrypt, e.g. bad padding).
    int encrypt(const unsigned char* in, int inLen, unsigned char* out, int* outLen) const;
    int decrypt(const unsigned char* in, int inLen, unsigned char* out, int* outLen) const;
    int encrypt(const cBytes& in, cBytes& out) const;
    int decrypt(const cBytes& in, cBytes& out) const;

    int bits() const noexcept { return m_bits; }
    int mode() const noexcept { return m_mode; }

private:
    int run(bool enc, const unsigned char* in, int inLen, unsigned char* out, int* outLen) const;

    int m_bits = -1;
    int m_mode = -1;
    unsigned char m_key[32] = {};
    unsigned char m_iv[16] = {};
};
