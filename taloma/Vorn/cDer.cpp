#include "cDer.h"

#include <openssl/crypto.h>

using Tlv = cDer::Tlv;

// 1.2.840.113549.1.7.1
const std::string_view cDer::OID_PKCS7_DATA("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 9);
// 1.2.840.113549.1.7.2
const std::string_view cDer::OID_PKCS7_SIGNED_DATA("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
// 1.2.840.113549.1.9.4
const std::string_view cDer::OID_PKCS9_MESSAGE_DIGEST("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04", 9);
// 1.2.840.113549.1.1
const std::string_view cDer::OID_PKCS1("\x2A\x86\x48\x86\xF7\x0D\x01\x01", 8);
// 1.3.14.3.2.26
const std::string_view cDer::OID_SHA1("\x2B\x0E\x03\x02\x1A", 5);
// 2.16.840.1.101.3.4.2.1
const std::string_view cDer::OID_SHA256("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
// 2.16.840.1.101.3.4.2.2
const std::string_view cDer::OID_SHA384("\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9);
// 2.16.840.1.101.3.4.2.3
const std::string_view cDer::OID_SHA512("\x60\x86\x48\x01\x65\x03\x04\x02\x03", 9);
// 2.16.840.1.101.3.4.2.4
const std::string_view cDer::OID_SHA224("\x60\x86\x48\x01\x65\x03\x04\x02\x04", 9);

namespace {

// Last arcs under OID_PKCS1 that verify alike with the signer's digest:
// rsaEncryption and the PKCS#1 v1.5 signature algorithms.
constexpr unsigned char kRsaPkcs1Arcs[] = {
    0x01,  // rsaEncryption
    0x05,  // sha1WithRSAEncryption
    0x0B,  // sha256WithRSAEncryption
    0x0C,  // sha384WithRSAEncryption
    0x0D,  // sha512WithRSAEncryption
    0x0E,  // sha224WithRSAEncryption
};

bool isRsaPkcs1(std::string_view oid) {
    const std::size_t arc = cDer::OID_PKCS1.size();
    if (oid.size() != arc + 1 || oid.substr(0, arc) != cDer::OID_PKCS1) return false;
    for (unsigned char last : kRsaPkcs1Arcs)
        if (static_cast<unsigned char>(oid[arc]) == last) return true;
    return false;
}

// An attribute value: the types signers put there, checked as OpenSSL checks them.
bool validAttributeValue(const Tlv& t) {
    switch (t.tag) {
        case cDer::OBJECT_ID: return cDer::validOid(t);
        case cDer::INTEGER: return cDer::validInteger(t);
        case cDer::BOOLEAN: return t.len == 1;
        case cDer::NULL_TAG: return t.len == 0;
        case cDer::OCTET_STRING:
        case cDer::UTF8_STRING:
        case cDer::PRINTABLE_STRING:
        case cDer::IA5_STRING:
        case cDer::UTC_TIME:
        case cDer::GENERALIZED_TIME:
        case cDer::SEQUENCE:
        case cDer::SET: return true;
        default: return false;
    }
}

// AlgorithmIdentifier with absent or NULL parameters; gives the OID octets.
bool readAlgorithm(cDer& r, std::string_view& oid) {
    Tlv seq, o, params;
    if (!r.expect(cDer::SEQUENCE, seq)) return false;
    cDer a(seq);
    if (!a.expect(cDer::OBJECT_ID, o) || !cDer::validOid(o)) return false;
    if (!a.done() && (!a.expect(cDer::NULL_TAG, params) || params.len != 0)) return false;
    oid = o.value();
    return a.done();
}

bool parseSignerInfo(const Tlv& seq, cDer::SignerView& s) {
    cDer r(seq);
    Tlv version, ias, name, serial, sig;
    if (!r.expect(cDer::INTEGER, version) || !cDer::validInteger(version) || !r.expect(cDer::SEQUENCE, ias))
        return false;
    cDer ir(ias);
    if (!ir.expect(cDer::SEQUENCE, name) || !ir.expect(cDer::INTEGER, serial) || !ir.done() || serial.len == 0)
        return false;
    s.issuer = name.whole();
    s.serial = serial.value();
    if (!readAlgorithm(r, s.digestOid)) return false;
    s.attrs = Tlv{};
    if (r.peek(cDer::CONTEXT_0) && (!r.next(s.attrs) || s.attrs.len == 0)) return false;
    std::string_view encOid;
    if (!readAlgorithm(r, encOid) || !isRsaPkcs1(encOid)) return false;
    if (!r.expect(cDer::OCTET_STRING, sig)) return false;
    s.signature = sig.value();
    return r.done();  // unsigned attributes go the general way
}

}  // namespace

bool cDer::next(Tlv& t) {
    const std::uint8_t* p = m_p;
    if (p >= m_end) return false;
    t.start = p;
    t.tag = *p++;
    if ((t.tag & 0x1F) == 0x1F || p >= m_end) return false;  // high tag number form
    std::size_t len = *p++;
    if (len & 0x80) {
        const int n = static_cast<int>(len & 0x7F);
        if (n == 0 || n > 4 || m_end - p < n || *p == 0) return false;
        len = 0;
        for (int i = 0; i < n; ++i) len = len << 8 | *p++;
        if (len < 0x80) return false;
    }
    if (static_cast<std::size_t>(m_end - p) < len) return false;
    t.val = p;
    t.len = len;
    m_p = p + len;
    return true;
}

bool cDer::validOid(const Tlv& t) {
    if (t.tag != OBJECT_ID || t.len == 0 || (t.val[t.len - 1] & 0x80)) return false;
    for (std::size_t i = 0; i < t.len; ++i)
        if (t.val[i] == 0x80 && (i == 0 || !(t.val[i - 1] & 0x80))) return false;  // padded sub-identifier
    return true;
}

bool cDer::validInteger(const Tlv& t) {
    if (t.tag != INTEGER || t.len == 0) return false;
    if (t.len > 1 && ((t.val[0] == 0x00 && !(t.val[1] & 0x80)) || (t.val[0] == 0xFF && (t.val[1] & 0x80))))
        return false;
    return true;
}

bool cDer::parseSignedData(const std::uint8_t* data, std::size_t n, SignedView& v) {
    cDer top(data, n);
    Tlv ci, oid, explicit0, sd;
    if (!top.expect(SEQUENCE, ci) || !top.done()) return false;
    cDer r(ci);
    if (!r.expect(OBJECT_ID, oid) || !oidIs(oid, OID_PKCS7_SIGNED_DATA) || !r.expect(CONTEXT_0, explicit0) || !r.done())
        return false;
    cDer r0(explicit0);
    if (!r0.expect(SEQUENCE, sd) || !r0.done()) return false;
    cDer s(sd);
    Tlv version, algs, cinfo;
    if (!s.expect(INTEGER, version) || !validInteger(version) || !s.expect(SET, algs)) return false;
    cDer ar(algs);
    while (!ar.done()) {
        std::string_view o;
        if (!readAlgorithm(ar, o)) return false;
        v.digestOids.push_back(o);
    }
    if (!s.expect(SEQUENCE, cinfo)) return false;
    cDer cr(cinfo);
    Tlv ctype, wrap, octets;
    if (!cr.expect(OBJECT_ID, ctype) || !oidIs(ctype, OID_PKCS7_DATA)) return false;
    if (!cr.expect(CONTEXT_0, wrap) || !cr.done()) return false;  // detached: the OpenSSL path reports it
    cDer wr(wrap);
    if (!wr.expect(OCTET_STRING, octets) || !wr.done()) return false;
    v.content = octets.value();
    if (s.peek(CONTEXT_0)) {
        Tlv certs, cert;
        if (!s.next(certs)) return false;
        cDer xr(certs);
        while (!xr.done()) {
            if (!xr.expect(SEQUENCE, cert)) return false;
            v.certs.push_back(cert.whole());
        }
    }
    Tlv infos, info;  // a CRL set [1] goes the general way
    if (!s.expect(SET, infos) || !s.done()) return false;
    cDer ir(infos);
    while (!ir.done()) {
        SignerView sv;
        if (!ir.expect(SEQUENCE, info) || !parseSignerInfo(info, sv)) return false;
        v.signers.push_back(sv);
    }
    return !v.signers.empty();
}

bool cDer::findMessageDigest(const Tlv& attrs, std::string_view& digest) {
    cDer r(attrs);
    bool found = false;
    while (!r.done()) {
        Tlv attr, type, values;
        if (!r.expect(SEQUENCE, attr)) return false;
        cDer a(attr);
        if (!a.expect(OBJECT_ID, type) || !validOid(type) || !a.expect(SET, values) || !a.done()) return false;
        // As OpenSSL: the first value of the first messageDigest attribute.
        const bool wanted = !found && oidIs(type, OID_PKCS9_MESSAGE_DIGEST);
        cDer vr(values);
        bool firstValue = true;
        while (!vr.done()) {
            Tlv value;
            if (!vr.next(value) || !validAttributeValue(value)) return false;
            if (wanted && firstValue) {
                if (value.tag != OCTET_STRING) return false;
                digest = value.value();
            }
            firstValue = false;
        }
        if (wanted && firstValue) return false;  // no value at all
        found = found || wanted;
    }
    return found;
}

std::string cDer::serialOctets(X509* x) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(serial), &der);
    std::string out;
    if (n > 0) {
        Tlv t;
        cDer r(der, static_cast<std::size_t>(n));
        if (r.expect(INTEGER, t)) out.assign(t.value());
    }
    OPENSSL_free(der);
    return out;
}

std::string cDer::nameDer(const X509_NAME* name) {
    const unsigned char* der = nullptr;
    std::size_t len = 0;
    if (!X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len)) return {};
    return std::string(reinterpret_cast<const char*>(der), len);
}
