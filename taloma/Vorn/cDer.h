#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509.h>

// A strict DER reader, and the PKCS#7 signedData view the verifier's fast
// path reads with it. Strict means: definite lengths in their shortest form,
// low tag numbers only; whatever it refuses is left to OpenSSL's decoders.
class cDer {
public:
    // Identifier octets of the universal and context types met here.
    enum Tag : std::uint8_t {
        BOOLEAN = 0x01,
        INTEGER = 0x02,
        OCTET_STRING = 0x04,
        NULL_TAG = 0x05,
        OBJECT_ID = 0x06,
        UTF8_STRING = 0x0C,
        PRINTABLE_STRING = 0x13,
        IA5_STRING = 0x16,
        UTC_TIME = 0x17,
        GENERALIZED_TIME = 0x18,
        SEQUENCE = 0x30,
        SET = 0x31,
        CONTEXT_0 = 0xA0,  // [0], constructed
    };

    // One element: its first octet, and its value octets.
    struct Tlv {
        std::uint8_t tag = 0;
        const std::uint8_t* start = nullptr;
        const std::uint8_t* val = nullptr;
        std::size_t len = 0;
        std::size_t size() const { return static_cast<std::size_t>(val + len - start); }
        std::string_view whole() const { return {reinterpret_cast<const char*>(start), size()}; }
        std::string_view value() const { return {reinterpret_cast<const char*>(val), len}; }
    };

    cDer(const std::uint8_t* p, std::size_t n) : m_p(p), m_end(p + n) {}
    // The elements inside a constructed one.
    explicit cDer(const Tlv& t) : m_p(t.val), m_end(t.val + t.len) {}

    bool done() const { return m_p == m_end; }
    bool peek(std::uint8_t tag) const { return m_p < m_end && *m_p == tag; }
    bool next(Tlv& t);
    bool expect(std::uint8_t tag, Tlv& t) { return peek(tag) && next(t); }

    // Content octets of the object identifiers the verifier names.
    static const std::string_view OID_PKCS7_DATA;
    static const std::string_view OID_PKCS7_SIGNED_DATA;
    static const std::string_view OID_PKCS9_MESSAGE_DIGEST;
    static const std::string_view OID_PKCS1;  // arc of rsaEncryption and its signature algorithms
    static const std::string_view OID_SHA1;
    static const std::string_view OID_SHA224;
    static const std::string_view OID_SHA256;
    static const std::string_view OID_SHA384;
    static const std::string_view OID_SHA512;

    // What OpenSSL's decoder would refuse must not pass here either.
    static bool validOid(const Tlv& t);
    static bool validInteger(const Tlv& t);
    static bool oidIs(const Tlv& t, std::string_view oid) { return t.tag == OBJECT_ID && t.value() == oid; }

    // One signerInfo (version 1: issuer and serial) without unsigned attributes.
    struct SignerView {
        std::string_view issuer;  // DER of the issuer name
        std::string_view serial;  // content octets of the INTEGER
        std::string_view digestOid;
        Tlv attrs;  // tag 0 when absent
        std::string_view signature;
    };
    // An attached-content signedData without CRLs, signed with PKCS#1 v1.5.
    struct SignedView {
        std::string_view content;
        std::vector<std::string_view> certs;
        std::vector<std::string_view> digestOids;
        std::vector<SignerView> signers;
    };
    // False for anything outside that shape.
    static bool parseSignedData(const std::uint8_t* data, std::size_t n, SignedView& v);
    // The messageDigest value of a [0] attribute set, chosen as OpenSSL
    // chooses it; false when absent or when any attribute is malformed.
    static bool findMessageDigest(const Tlv& attrs, std::string_view& digest);

    // Content octets of a certificate's serial number; DER of a name.
    static std::string serialOctets(X509* x);
    static std::string nameDer(const X509_NAME* name);

private:
    const std::uint8_t* m_p;
    const std::uint8_t* m_end;
};
