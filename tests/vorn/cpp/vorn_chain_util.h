#pragma once
// Helpers of the chain, CRL, signer and verifier tests: the extra test PKI of
// tests/support/pki/make_crls.sh, property files and certificate loading.
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "vornOpenSSL.h"
#include "vorn_test_util.h"

namespace vorntest {

// Generated on first use (the script is a no-op when up to date).
inline const std::map<std::string, std::string>& crlPki() {
    static const std::map<std::string, std::string> manifest = [] {
        pki();
        const std::string cmd = std::string("bash '") + VORN_SOURCE_DIR + "/../../tests/support/pki/make_crls.sh' '" +
                                VORN_TEST_PKI_DIR + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make_crls.sh failed");
        std::map<std::string, std::string> m;
        std::ifstream in(std::string(VORN_TEST_PKI_DIR) + "/crl/manifest");
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return m;
    }();
    return manifest;
}

inline std::string crlPath(const std::string& name) { return crlPki().at(name); }
inline std::string crlDir() { return crlPki().at("dir"); }

inline vorn::X509Ptr loadPem(const std::string& path) {
    vorn::BioPtr bio(BIO_new_file(path.c_str(), "r"));
    return vorn::X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

inline void writeProperties(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    writeFile(path, text);
}

inline bool copyFile(const std::string& from, const std::string& to) {
    const std::string data = readFile(from);
    writeFile(to, data);
    return !data.empty();
}

// Property lines of a verifier/signer set-up over the generated chain with the
// issuing CA's CRL (and the root's) in crlFolder.
inline std::vector<std::string> chainLines(const std::string& p7bFolder, const std::string& crlFolder) {
    return {"P7B.path = " + p7bFolder,   "P7B0.name = chain.p7b",    "P7B0.SKI = " + pki().at("inter.ski"),
            "P7B0.crlFile0 = inter.crl", "P7B0.crlFile1 = root.crl", "CRL.path = " + crlFolder};
}

}  // namespace vorntest
