#pragma once
// Shared by the C++ tests: the generated test PKI (tests/support/pki/make_certs.sh,
// run by the CTest fixture before any test) and small file helpers.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace vorntest {

// "name=value" lines of OUTDIR/manifest: file names to paths, plus password,
// root.ski, inter.ski, ca.root, ca.inter.
inline const std::map<std::string, std::string>& pki() {
    static const std::map<std::string, std::string> manifest = [] {
        std::map<std::string, std::string> m;
        std::ifstream in(std::string(VORN_TEST_PKI_DIR) + "/manifest");
        if (!in) throw std::runtime_error("test PKI missing: run tests/support/pki/make_certs.sh " VORN_TEST_PKI_DIR);
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return m;
    }();
    return manifest;
}

inline std::string pkiPath(const std::string& name) { return pki().at(name); }
inline std::string pkiDir() { return pki().at("dir"); }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// Output of a shell command (for cross-checks against the openssl tool).
inline std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// A fresh folder under the build tree's temporary area, removed at scope end.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vorntest.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        if (std::system(("rm -rf '" + path_ + "'").c_str()) != 0) std::fputs("cannot remove temp dir\n", stderr);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace vorntest
