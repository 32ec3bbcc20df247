#include "VornVerify.h"

#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "cCertChainList.h"
#include "cErr.h"
#include "cFile.h"
#include "cLog.h"
#include "cUpdateCrlThread.h"
#include "cX509.h"

VornVerify& globalVerify = *new VornVerify();

namespace {

// ---------------------------------------------------------------------------
// Certificates of in-process signers, for signatures that carry none.

std::mutex& localSignerMutex() {
    static std::mutex& m = *new std::mutex();
    return m;
}
std::vector<vorn::X509Ptr>& localSigners() {
    static std::vector<vorn::X509Ptr>& v = *new std::vector<vorn::X509Ptr>();
    return v;
}
constexpr std::size_t kMaxLocalSigners = 16;

// ---------------------------------------------------------------------------
// Strict DER walker. OpenSSL 3.0 decodes the public key of every embedded
// certificate through its provider decoders, which costs several RSA
// verifications; reading the signedData here lets certificates seen before be
// reused. Anything unusual (BER, other algorithms, no content) is left to the
// OpenSSL path, which also decides every failure.

struct Tlv {
    std::uint8_t tag = 0;
    const std::uint8_t* start = nullptr;
    const std::uint8_t* val = nullptr;
    std::size_t len = 0;
    std::size_t size() const { return static_cast<std::size_t>(val + len - start); }
    std::string_view whole() const { return {reinterpret_cast<const char*>(start), size()}; }
    std::string_view value() const { return {reinterpret_cast<const char*>(val), len}; }
};

class DerReader {
public:
    DerReader(const std::uint8_t* p, std::size_t n) : m_p(p), m_end(p + n) {}
    explicit DerReader(const Tlv& t) : m_p(t.val), m_end(t.val + t.len) {}
    bool done() const { return m_p == m_end; }
    bool peek(std::uint8_t tag) const { return m_p < m_end && *m_p == tag; }
    bool next(Tlv& t) {
        const std::uint8_t* p = m_p;
        if (p >= m_end) return false;
        t.start = p;
        t.tag = *p++;
        if ((t.tag & 0x1F) == 0x1F || p >= m_end) return false;
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
    bool expect(std::uint8_t tag, Tlv& t) { return peek(tag) && next(t); }

private:
    const std::uint8_t* m_p;
    const std::uint8_t* m_end;
};

bool oidIs(const Tlv& t, std::string_view der) { return t.tag == 0x06 && t.value() == der; }

// What OpenSSL's decoder would refuse must not pass here either.
bool validOid(const Tlv& t) {
    if (t.tag != 0x06 || t.len == 0 || (t.val[t.len - 1] & 0x80)) return false;
    for (std::size_t i = 0; i < t.len; ++i)
        if (t.val[i] == 0x80 && (i == 0 || !(t.val[i - 1] & 0x80))) return false;  // padded sub-identifier
    return true;
}

bool validInteger(const Tlv& t) {
    if (t.tag != 0x02 || t.len == 0) return false;
    if (t.len > 1 && ((t.val[0] == 0x00 && !(t.val[1] & 0x80)) || (t.val[0] == 0xFF && (t.val[1] & 0x80)))) return false;
    return true;
}

// An attribute value: the types signers put there, checked as OpenSSL checks them.
bool validAttributeValue(const Tlv& t) {
    switch (t.tag) {
    case 0x06: return validOid(t);
    case 0x02: return validInteger(t);
    case 0x01: return t.len == 1;
    case 0x05: return t.len == 0;
    case 0x04: case 0x0C: case 0x13: case 0x16: case 0x17: case 0x18: case 0x30: case 0x31: return true;
    default: return false;
    }
}

const std::string_view kOidSignedData("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
const std::string_view kOidData("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 9);
const std::string_view kOidMessageDigest("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04", 9);
const std::string_view kOidPkcs1Prefix("\x2A\x86\x48\x86\xF7\x0D\x01\x01", 8);

// AlgorithmIdentifier with absent or NULL parameters; gives the OID bytes.
bool readAlgorithm(DerReader& r, std::string_view& oid) {
    Tlv seq, o, params;
    if (!r.expect(0x30, seq)) return false;
    DerReader a(seq);
    if (!a.expect(0x06, o) || !validOid(o)) return false;
    if (!a.done() && (!a.expect(0x05, params) || params.len != 0)) return false;
    oid = o.value();
    return a.done();
}

const EVP_MD* digestFor(std::string_view oid) {
    struct Known {
        std::string_view oid;
        const EVP_MD* md;
    };
    // Fetched once: implicit fetches on every digest are measurable.
    static const Known known[] = {
        {std::string_view("\x2B\x0E\x03\x02\x1A", 5), EVP_MD_fetch(nullptr, "SHA1", nullptr)},
        {std::string_view("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9), EVP_MD_fetch(nullptr, "SHA256", nullptr)},
        {std::string_view("\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9), EVP_MD_fetch(nullptr, "SHA384", nullptr)},
        {std::string_view("\x60\x86\x48\x01\x65\x03\x04\x02\x03", 9), EVP_MD_fetch(nullptr, "SHA512", nullptr)},
        {std::string_view("\x60\x86\x48\x01\x65\x03\x04\x02\x04", 9), EVP_MD_fetch(nullptr, "SHA224", nullptr)},
    };
    for (const Known& k : known)
        if (k.oid == oid) return k.md;
    return nullptr;
}

// rsaEncryption and the PKCS#1 v1.5 signature OIDs (verification with the
// signer's digest is the same for all of them).
bool isRsaPkcs1(std::string_view oid) {
    if (oid.size() != 9 || oid.substr(0, 8) != kOidPkcs1Prefix) return false;
    const auto last = static_cast<unsigned char>(oid[8]);
    return last == 0x01 || last == 0x05 || last == 0x0B || last == 0x0C || last == 0x0D || last == 0x0E;
}

struct SignerView {
    std::string_view issuer;  // DER of the issuer name
    std::string_view serial;  // content octets of the INTEGER
    std::string_view digestOid;
    Tlv attrs;  // tag 0 when absent
    std::string_view signature;
};

struct SignedView {
    std::string_view content;
    std::vector<std::string_view> certs;
    std::vector<std::string_view> digestOids;
    std::vector<SignerView> signers;
};

bool parseSignerInfo(const Tlv& seq, SignerView& s) {
    DerReader r(seq);
    Tlv version, ias, name, serial, sig;
    if (!r.expect(0x02, version) || !validInteger(version) || !r.expect(0x30, ias)) return false;
    DerReader ir(ias);
    if (!ir.expect(0x30, name) || !ir.expect(0x02, serial) || !ir.done() || serial.len == 0) return false;
    s.issuer = name.whole();
    s.serial = serial.value();
    if (!readAlgorithm(r, s.digestOid)) return false;
    s.attrs = Tlv{};
    if (r.peek(0xA0) && (!r.next(s.attrs) || s.attrs.len == 0)) return false;
    std::string_view encOid;
    if (!readAlgorithm(r, encOid) || !isRsaPkcs1(encOid)) return false;
    if (!r.expect(0x04, sig)) return false;
    s.signature = sig.value();
    return r.done();  // unsigned attributes go the general way
}

bool parseSignedData(const std::uint8_t* data, std::size_t n, SignedView& v) {
    DerReader top(data, n);
    Tlv ci, oid, explicit0, sd;
    if (!top.expect(0x30, ci) || !top.done()) return false;
    DerReader r(ci);
    if (!r.expect(0x06, oid) || !oidIs(oid, kOidSignedData) || !r.expect(0xA0, explicit0) || !r.done()) return false;
    DerReader r0(explicit0);
    if (!r0.expect(0x30, sd) || !r0.done()) return false;
    DerReader s(sd);
    Tlv version, algs, cinfo;
    if (!s.expect(0x02, version) || !validInteger(version) || !s.expect(0x31, algs)) return false;
    DerReader ar(algs);
    while (!ar.done()) {
        std::string_view o;
        if (!readAlgorithm(ar, o)) return false;
        v.digestOids.push_back(o);
    }
    if (!s.expect(0x30, cinfo)) return false;
    DerReader cr(cinfo);
    Tlv ctype, wrap, octets;
    if (!cr.expect(0x06, ctype) || !oidIs(ctype, kOidData)) return false;
    if (!cr.expect(0xA0, wrap) || !cr.done()) return false;  // detached: the OpenSSL path reports it
    DerReader wr(wrap);
    if (!wr.expect(0x04, octets) || !wr.done()) return false;
    v.content = octets.value();
    if (s.peek(0xA0)) {
        Tlv certs, cert;
        if (!s.next(certs)) return false;
        DerReader xr(certs);
        while (!xr.done()) {
            if (!xr.expect(0x30, cert)) return false;
            v.certs.push_back(cert.whole());
        }
    }
    Tlv infos, info;  // a CRL set [1] goes the general way
    if (!s.expect(0x31, infos) || !s.done()) return false;
    DerReader ir(infos);
    while (!ir.done()) {
        SignerView sv;
        if (!ir.expect(0x30, info) || !parseSignerInfo(info, sv)) return false;
        v.signers.push_back(sv);
    }
    return !v.signers.empty();
}

// messageDigest value of a [0] attribute set, or false.
bool findMessageDigest(const Tlv& attrs, std::string_view& digest) {
    DerReader r(attrs);
    bool found = false;
    while (!r.done()) {
        Tlv attr, type, values;
        if (!r.expect(0x30, attr)) return false;
        DerReader a(attr);
        if (!a.expect(0x06, type) || !validOid(type) || !a.expect(0x31, values) || !a.done()) return false;
        // As OpenSSL: the first value of the first messageDigest attribute.
        const bool wanted = !found && oidIs(type, kOidMessageDigest);
        DerReader vr(values);
        bool firstValue = true;
        while (!vr.done()) {
            Tlv value;
            if (!vr.next(value) || !validAttributeValue(value)) return false;
            if (wanted && firstValue) {
                if (value.tag != 0x04) return false;
                digest = value.value();
            }
            firstValue = false;
        }
        if (wanted && firstValue) return false;  // no value at all
        found = found || wanted;
    }
    return found;
}

std::string serialOctets(X509* x) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(serial), &der);
    std::string out;
    if (n > 0) {
        Tlv t;
        DerReader r(der, static_cast<std::size_t>(n));
        if (r.expect(0x02, t)) out.assign(t.value());
    }
    OPENSSL_free(der);
    return out;
}

std::string nameDer(const X509_NAME* name) {
    const unsigned char* der = nullptr;
    std::size_t len = 0;
    if (!X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len)) return {};
    return std::string(reinterpret_cast<const char*>(der), len);
}

// One-line Base64 as the signer writes it, decoded into a reused buffer;
// false for anything else (line breaks, stray characters), which the general
// decoder then judges.
struct B64 {
    signed char v[256];
    constexpr B64() : v() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(a[i])] = static_cast<signed char>(i);
    }
};
constexpr B64 kB64;

bool decodeOneLine(const char* text, std::size_t len, std::string& out) {
    if (len == 0 || len % 4 != 0) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    std::size_t pad = in[len - 1] == '=' ? (in[len - 2] == '=' ? 2 : 1) : 0;
    out.resize(len / 4 * 3);
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    const std::size_t full = pad ? len - 4 : len;
    for (std::size_t i = 0; i < full; i += 4) {
        const int a = kB64.v[in[i]], b = kB64.v[in[i + 1]], c = kB64.v[in[i + 2]], d = kB64.v[in[i + 3]];
        if ((a | b | c | d) < 0) return false;
        const unsigned int w = static_cast<unsigned int>(a << 18 | b << 12 | c << 6 | d);
        *o++ = static_cast<unsigned char>(w >> 16);
        *o++ = static_cast<unsigned char>(w >> 8);
        *o++ = static_cast<unsigned char>(w);
    }
    if (pad) {
        const unsigned char* q = in + len - 4;
        const int a = kB64.v[q[0]], b = kB64.v[q[1]];
        const int c = pad == 2 ? 0 : kB64.v[q[2]];
        if ((a | b | c) < 0) return false;
        const unsigned int w = static_cast<unsigned int>(a << 18 | b << 12 | c << 6);
        *o++ = static_cast<unsigned char>(w >> 16);
        if (pad == 1) *o++ = static_cast<unsigned char>(w >> 8);
    }
    out.resize(static_cast<std::size_t>(o - reinterpret_cast<unsigned char*>(out.data())));
    return !out.empty();
}

// ---------------------------------------------------------------------------

int convertToUtf8(const unsigned char* data, std::size_t len, const char* fromCode, std::string& out) {
    out.clear();
    iconv_t cd = iconv_open("UTF-8", fromCode);
    if (cd == reinterpret_cast<iconv_t>(-1)) return ERR_UNICODE;
    out.resize(len * 2 + 16);
    char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
    std::size_t inLeft = len;
    char* dst = out.data();
    std::size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1) &&
                    iconv(cd, nullptr, nullptr, &dst, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) {
        out.clear();
        return ERR_UNICODE;
    }
    out.resize(out.size() - outLeft);
    return 0;
}

cUpdateCrlThread* crlThread() {
    static cUpdateCrlThread* thread = new cUpdateCrlThread(20);
    return thread;
}

// ---------------------------------------------------------------------------

struct CertEntry {
    std::string der;
    vorn::X509Ptr cert;
    std::string issuer;
    std::string serial;
    EVP_PKEY_CTX* ctx = nullptr;
    const EVP_MD* ctxMd = nullptr;
    bool rsa = false;
    ~CertEntry() { EVP_PKEY_CTX_free(ctx); }

    // PKCS#1 v1.5 check of digest; the context is kept, as the fetches
    // behind a fresh one cost about as much as the RSA operation.
    bool verify(const EVP_MD* md, const unsigned char* digest, std::size_t digestLen, std::string_view sig) {
        if (!ctx) {
            ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(cert.get()), nullptr);
            if (!ctx || EVP_PKEY_verify_init(ctx) != 1) {
                EVP_PKEY_CTX_free(ctx);
                ctx = nullptr;
                return false;
            }
        }
        if (ctxMd != md) {
            if (EVP_PKEY_CTX_set_signature_md(ctx, md) != 1) return false;
            ctxMd = md;
        }
        return EVP_PKEY_verify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(), digest,
                               digestLen) == 1;
    }
};

}  // namespace

struct VornVerify::Cache {
    static constexpr std::size_t kMaxEntries = 256;
    std::unordered_map<std::string_view, std::unique_ptr<CertEntry>> certs;
    vorn::EvpMdCtxPtr md{EVP_MD_CTX_new()};

    CertEntry* get(std::string_view der) {
        auto it = certs.find(der);
        if (it != certs.end()) return it->second.get();
        auto e = std::make_unique<CertEntry>();
        e->der.assign(der);
        const auto* p = reinterpret_cast<const unsigned char*>(e->der.data());
        e->cert.reset(d2i_X509(nullptr, &p, static_cast<long>(e->der.size())));
        if (!e->cert || p != reinterpret_cast<const unsigned char*>(e->der.data() + e->der.size())) return nullptr;
        EVP_PKEY* key = X509_get0_pubkey(e->cert.get());
        e->rsa = key && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
        e->issuer = nameDer(X509_get_issuer_name(e->cert.get()));
        e->serial = serialOctets(e->cert.get());
        CertEntry* raw = e.get();
        certs.emplace(std::string_view(raw->der), std::move(e));
        return raw;
    }
    CertEntry* get(X509* x) {
        unsigned char* der = nullptr;
        const int n = i2d_X509(x, &der);
        if (n <= 0) return nullptr;
        CertEntry* e = get(std::string_view(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n)));
        OPENSSL_free(der);
        return e;
    }
    bool digest(const EVP_MD* m, std::uint8_t first, std::string_view rest, unsigned char* out, unsigned int& outLen) {
        if (!md || EVP_DigestInit_ex(md.get(), m, nullptr) != 1) return false;
        if (first && EVP_DigestUpdate(md.get(), &first, 1) != 1) return false;
        return EVP_DigestUpdate(md.get(), rest.data(), rest.size()) == 1 &&
               EVP_DigestFinal_ex(md.get(), out, &outLen) == 1;
    }
};

VornVerify::VornVerify() = default;
VornVerify::~VornVerify() = default;

void VornVerify::registerLocalSigner(X509* cert) {
    if (!cert) return;
    std::lock_guard guard(localSignerMutex());
    auto& list = localSigners();
    for (const auto& x : list)
        if (X509_cmp(x.get(), cert) == 0) return;
    if (list.size() >= kMaxLocalSigners) list.erase(list.begin());
    X509_up_ref(cert);
    list.emplace_back(cert);
}

int VornVerify::LoadProperty(const char* propertyFile) {
    VORN_LOG(cLog::INFO, "begin VornVerify::VornVerify()");
    setError(0);
    vorn::initOpenSSL();
    cUpdateCrlThread* thread = crlThread();
    if (!propertyFile || !*propertyFile) {
        VORN_LOG(cLog::ERROR, "參數 propertyFile 錯誤");
        return setError(ERR_PARAMETER);
    }
    if (!m_propertyRead) {
        if (!m_property.loadFromFile(propertyFile)) {
            VORN_LOG(cLog::ERROR, "property 檔讀取失敗", propertyFile);
            return setError(ERR_PROPERTY_READ);
        }
        m_propertyRead = true;
    }
    if (m_property.hasProperty("LOG.level")) _logger.setLogLevel(m_property.getProperty("LOG.level").c_str());
    m_property.initLogger("LOG.path", "LOG.file");
    m_verifyChain = m_property.getPropertyBool("VerifyCertChain");
    m_verifyCrl = m_property.getPropertyBool("VerifyCRL");
    thread->waitForUnlock();
    globalCertChain.resetCrlTimer(m_property.getProperty("CRL.updateTimer").c_str());
    if (!globalCertChain.isLoaded()) globalCertChain.loadCertChainFiles(&m_property);
    else globalCertChain.attachCrlFiles(m_property);
    m_loaded = true;
    VORN_LOG(cLog::INFO, "end VornVerify::VornVerify()");
    return setError(0);
}

int VornVerify::VerifyPkcs7(const char* pkcs7B64) {
    setError(0);
    if (!pkcs7B64) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7B64 內容為 NULL");
        return setError(ERR_PARAMETER);
    }
    if (!*pkcs7B64) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7B64 長度為 0");
        return setError(ERR_PARAMETER);
    }
    std::string& der = m_der;
    if (!decodeOneLine(pkcs7B64, std::strlen(pkcs7B64), der)) {
        cBytes general;
        if (!general.base64Decode(pkcs7B64)) {
            VORN_LOG(cLog::ERROR, "參數 pkcs7B64 格式錯誤(驗證 Base64 有問題)");
            return setError(ERR_BASE64);
        }
        der.assign(reinterpret_cast<const char*>(general.data()), static_cast<std::size_t>(general.length()));
    }
    return VerifyPkcs7Bin(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
}

int VornVerify::VerifyPkcs7File(const char* pkcs7Filename) {
    setError(0);
    if (!pkcs7Filename || !*pkcs7Filename) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7Filename 錯誤");
        return setError(ERR_PARAMETER);
    }
    cFile file;
    if (!file.loadFromFile(pkcs7Filename) || file.empty()) {
        VORN_LOG(cLog::ERROR, "讀取檔案失敗", pkcs7Filename);
        return setError(ERR_FILE_READ);
    }
    const char first = static_cast<char>(file.data()[0]);
    if (first != '-' && first != 'M') return VerifyPkcs7Bin(file.data(), file.length());
    // Base64, bare or between PEM armour lines.
    std::string text(reinterpret_cast<const char*>(file.data()), file.length());
    if (first == '-') {
        std::string body;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t eol = text.find('\n', pos);
            if (eol == std::string::npos) eol = text.size();
            if (text.compare(pos, 5, "-----") != 0) body.append(text, pos, eol - pos).push_back('\n');
            pos = eol + 1;
        }
        text.swap(body);
    }
    cBytes der;
    if (!der.base64Decode(text.c_str(), text.size())) {
        VORN_LOG(cLog::ERROR, "參數 pkcs7 檔案格式錯誤(驗證 Base64 有問題)");
        return setError(ERR_BASE64);
    }
    return VerifyPkcs7Bin(der.data(), der.length());
}

int VornVerify::VerifyPkcs7Bin(const unsigned char* data, int length) {
    VORN_LOG(cLog::INFO, "begin VornVerify::VerifyPkcs7Bin()");
    setError(0);
    m_contentText.charsFree();
    m_signerCert.reset();
    m_content.clear();
    int rc;
    if (!data) {
        VORN_LOG(cLog::ERROR, "參數 data 內容為 NULL");
        rc = ERR_PARAMETER;
    } else if (length <= 0) {
        VORN_LOG(cLog::ERROR, "參數 datalen 內容為 0");
        rc = ERR_PARAMETER;
    } else {
        bool decided = false;
        rc = verifyFast(data, length, decided);
        if (!decided) {
            m_signerCert.reset();
            m_content.clear();
            rc = verifySlow(data, length);
        }
    }
    VORN_LOG(cLog::INFO, "end VornVerify::VerifyPkcs7Bin()", rc);
    return setError(rc);
}

int VornVerify::verifyFast(const unsigned char* data, int length, bool& decided) {
    decided = false;
    SignedView v;
    if (!parseSignedData(data, static_cast<std::size_t>(length), v)) return 0;
    if (!m_cache) m_cache = std::make_unique<Cache>();
    Cache& cache = *m_cache;
    // Evicted only here, so that entries stay put during one verification.
    if (cache.certs.size() >= Cache::kMaxEntries) cache.certs.clear();

    std::vector<X509*> carried;
    X509* firstSigner = nullptr;
    unsigned char contentDigest[EVP_MAX_MD_SIZE];
    unsigned int contentDigestLen = 0;
    const EVP_MD* contentMd = nullptr;
    for (const SignerView& s : v.signers) {
        const EVP_MD* md = digestFor(s.digestOid);
        if (!md) return 0;
        bool listed = false;
        for (std::string_view o : v.digestOids) listed = listed || o == s.digestOid;
        if (!listed) return 0;

        CertEntry* signer = nullptr;
        for (std::string_view der : v.certs) {
            CertEntry* e = cache.get(der);
            if (!e) return 0;
            if (e->issuer == s.issuer && e->serial == s.serial) {
                signer = e;
                break;
            }
        }
        if (signer) {
            carried.push_back(signer->cert.get());
        } else {
            std::lock_guard guard(localSignerMutex());
            for (const auto& x : localSigners()) {
                CertEntry* e = cache.get(x.get());
                if (e && e->issuer == s.issuer && e->serial == s.serial) {
                    signer = e;
                    break;
                }
            }
        }
        if (!signer || !signer->rsa) return 0;

        if (contentMd != md) {
            if (!cache.digest(md, 0, v.content, contentDigest, contentDigestLen)) return 0;
            contentMd = md;
        }
        unsigned char signedDigest[EVP_MAX_MD_SIZE];
        unsigned int signedDigestLen = 0;
        const unsigned char* toCheck = contentDigest;
        unsigned int toCheckLen = contentDigestLen;
        if (s.attrs.tag) {
            std::string_view messageDigest;
            if (!findMessageDigest(s.attrs, messageDigest) ||
                messageDigest != std::string_view(reinterpret_cast<const char*>(contentDigest), contentDigestLen))
                return 0;
            // The signature covers the attributes encoded as a SET.
            const std::string_view whole = s.attrs.whole();
            if (!cache.digest(md, 0x31, whole.substr(1), signedDigest, signedDigestLen)) return 0;
            toCheck = signedDigest;
            toCheckLen = signedDigestLen;
        }
        if (!signer->verify(md, toCheck, toCheckLen, s.signature)) return 0;
        if (!firstSigner) firstSigner = signer->cert.get();
    }
    decided = true;
    VORN_LOG(cLog::INFO, "PKCS7驗簽章 : 成功");
    if (!v.content.empty())
        m_content.assign(v.content);
    X509* report = carried.empty() ? firstSigner : carried.front();
    X509_up_ref(report);
    m_signerCert.reset(report);
    return checkSigners(carried);
}

int VornVerify::verifySlow(const unsigned char* data, int length) {
    const unsigned char* p = data;
    vorn::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, length));
    if (!p7) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式");
        return ERR_PKCS7_FORMAT;
    }
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式, 不支援 PKCS7 Signed 以外的格式!");
        return ERR_PKCS7_FORMAT;
    }
    if (!p7->d.sign->contents || PKCS7_get_detached(p7.get())) {
        VORN_LOG(cLog::ERROR, "錯誤的PKCS7格式, 不包含本文");
        return ERR_PKCS7_NO_CONTENT;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    STACK_OF(X509)* certs = p7->d.sign->cert;
    // Carried signer certificates, and whether every signer has one.
    std::vector<X509*> carried;
    bool allCarried = sk_PKCS7_SIGNER_INFO_num(infos) > 0;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
        PKCS7_ISSUER_AND_SERIAL* ias = sk_PKCS7_SIGNER_INFO_value(infos, i)->issuer_and_serial;
        X509* x = certs && ias ? X509_find_by_issuer_and_serial(certs, ias->issuer, ias->serial) : nullptr;
        if (x) carried.push_back(x);
        else allCarried = false;
    }
    vorn::X509StackViewPtr extra;
    if (!allCarried) {
        extra.reset(sk_X509_new_null());
        std::lock_guard guard(localSignerMutex());
        for (const auto& x : localSigners())
            if (extra) sk_X509_push(extra.get(), x.get());
        // Keep them alive past the lock for the verification below.
        for (int i = 0; i < sk_X509_num(extra.get()); ++i) X509_up_ref(sk_X509_value(extra.get(), i));
    }
    vorn::BioPtr out(BIO_new(BIO_s_mem()));
    if (!out) return ERR_MEMORY_ALLOC;
    const int ok = PKCS7_verify(p7.get(), extra.get(), nullptr, nullptr, out.get(), PKCS7_NOVERIFY | PKCS7_BINARY);
    X509* first = nullptr;
    if (ok == 1) {
        vorn::X509StackViewPtr signers(PKCS7_get0_signers(p7.get(), extra.get(), 0));
        if (sk_X509_num(signers.get()) > 0) first = sk_X509_value(signers.get(), 0);
        if (first) X509_up_ref(first);
    }
    for (int i = 0; i < sk_X509_num(extra.get()); ++i) X509_free(sk_X509_value(extra.get(), i));
    if (ok != 1) {
        VORN_LOG(cLog::ERROR, "PKCS7驗章失敗!");
        return ERR_VERIFY;
    }
    VORN_LOG(cLog::INFO, "PKCS7驗簽章 : 成功");
    char* content = nullptr;
    const long contentLen = BIO_get_mem_data(out.get(), &content);
    if (contentLen > 0) m_content.assign(content, static_cast<std::size_t>(contentLen));
    if (!carried.empty()) {
        X509_free(first);
        X509_up_ref(carried.front());
        m_signerCert.reset(carried.front());
    } else {
        m_signerCert.reset(first);
    }
    return checkSigners(carried);
}

int VornVerify::checkSigners(const std::vector<X509*>& signers) {
    if (!m_verifyChain && !m_verifyCrl) {
        VORN_LOG(cLog::DEBUG, "PKCS7不驗憑證鏈也不驗CRL");
        return 0;
    }
    if (signers.empty()) {
        VORN_LOG(cLog::ERROR, "PKCS7驗簽章憑證失敗, PKCS7 沒有附加簽章憑證!");
        return ERR_PKCS7_NO_SIGNER_CERT;
    }
    for (X509* cert : signers) {
        if (_logger.isEnabled(cLog::DEBUG)) {
            const cX509 view = cX509::fromRef(cert);
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 issuer", view.getIssuer());
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 serial", view.gerSerial());
            _logger.logLevel(cLog::DEBUG, "附加簽章憑證 AKI", view.getAKI());
        }
        const int rc = globalCertChain.verifyCert(cert, m_verifyCrl);
        if (rc != 0) {
            VORN_LOG(cLog::ERROR, "憑證鏈驗證失敗", cErr::getMessage(rc));
            return rc;
        }
    }
    return 0;
}

int VornVerify::GetVerifyContentData(unsigned char* buffer, int* length) {
    setError(0);
    if (m_content.empty()) return setError(ERR_PKCS7_NO_CONTENT);
    if (!length) return setError(ERR_PARAMETER);
    const int size = static_cast<int>(m_content.size());
    const int capacity = buffer ? *length : 0;
    *length = size;
    if (capacity < size) return setError(ERR_MEMORY_NOT_ENOUGH);
    std::memcpy(buffer, m_content.data(), m_content.size());
    VORN_LOG(cLog::DEBUG, "PKCS7本文", reinterpret_cast<const unsigned char*>(m_content.data()), size);
    return setError(0);
}

const char* VornVerify::GetVerifyContent() {
    m_contentText.charsFree();
    if (m_content.empty()) return nullptr;
    // UTF-16LE text of this system's callers nearly always has zero bytes,
    // which BIG5 (and ASCII) text never has: without any, BIG5 goes first, so
    // that even-length BIG5 text does not come back as UTF-16LE noise.
    const auto* d = reinterpret_cast<const unsigned char*>(m_content.data());
    const std::size_t n = m_content.size();
    const bool utf16First = n % 2 == 0 && std::memchr(d, 0, n) != nullptr;
    const char* order[2] = {utf16First ? "UTF-16LE" : "BIG5", utf16First ? "BIG5" : "UTF-16LE"};
    std::string text;
    for (const char* from : order)
        if (convertToUtf8(d, n, from, text) == 0) break;
    if (text.empty()) return nullptr;
    m_contentText.charsSet(text.data(), text.size());
    return m_contentText.c_str();
}

template <typename Fn>
const char* VornVerify::certText(Fn&& fn) {
    m_result.charsFree();
    if (!m_signerCert) return nullptr;
    const cX509 view = cX509::fromRef(m_signerCert.get());
    const std::string text = fn(view);
    m_result.charsSet(text.data(), text.size());
    return m_result.c_str() ? m_result.c_str() : "";
}

const char* VornVerify::GetVerifyCertB64() { return certText([](const cX509& c) { return c.getCertB64(); }); }
const char* VornVerify::GetVerifyCertSubjectCN() { return certText([](const cX509& c) { return c.getSubjectCN(); }); }
const char* VornVerify::GetVerifyCertSubject() { return certText([](const cX509& c) { return c.getSubject(); }); }
const char* VornVerify::GetVerifyCertIssuer() { return certText([](const cX509& c) { return c.getIssuer(); }); }
const char* VornVerify::GetVerifyCertNotBefore() { return certText([](const cX509& c) { return c.getNotbefore(); }); }
const char* VornVerify::GetVerifyCertNotAfter() { return certText([](const cX509& c) { return c.getNotafter(); }); }
const char* VornVerify::GetVerifyCertSerial() { return certText([](const cX509& c) { return c.gerSerial(); }); }
const char* VornVerify::GetVerifyCertFinger() { return certText([](const cX509& c) { return c.getFinger(); }); }

const char* VornVerify::GetErrorMsg() {
    const std::string msg = cErr::getMessage(m_lastError);
    m_result.charsSet(msg.data(), msg.size());
    return m_result.c_str();
}
