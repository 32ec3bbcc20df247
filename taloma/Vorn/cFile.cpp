#include "cFile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "cChars.h"
#include "cLog.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string digestHex(const EVP_MD* md, const unsigned char* data, int len) {
    if (data == nullptr || len <= 0) return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    if (EVP_Digest(data, static_cast<size_t>(len), out, &outLen, md, nullptr) != 1) {
        VORN_LOG(cLog::ERROR, "EVP_Digest() failed");
        return {};
    }
    cChars hex;
    hex.hexEncode(out, static_cast<int>(outLen));
    return hex.str();
}

}  // namespace

bool cFile::checkFileExist(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool cFile::loadFromFile(const char* path) {
    bytesFree();
    bool ok = false;
    if (path == nullptr || *path == '\0') {
        VORN_LOG(cLog::ERROR, "Open file", "(null)");
    } else if (FilePtr f{std::fopen(path, "rb")}; !f) {
        VORN_LOG(cLog::ERROR, "Open file", path);
    } else {
        long size = -1;
        if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
        if (size < 0 || size > INT_MAX || std::fseek(f.get(), 0, SEEK_SET) != 0) {
            VORN_LOG(cLog::ERROR, "Read file size", static_cast<int>(size < 0 || size > INT_MAX ? -1 : size));
        } else if (!bytesInit(static_cast<int>(size))) {
            VORN_LOG(cLog::ERROR, "Read file size", static_cast<int>(size));
        } else {
            size_t got = size > 0 ? std::fread(data(), 1, static_cast<size_t>(size), f.get()) : 0;
            if (got != static_cast<size_t>(size)) {
                VORN_LOG(cLog::ERROR, "Read file size", static_cast<int>(got));
                bytesFree();
            } else {
                ok = true;
            }
        }
    }
    VORN_LOG(cLog::DEBUG, "end cFile::loadFromFile() return", ok);
    return ok;
}

bool cFile::saveToFile(const char* path) const {
    if (path == nullptr || *path == '\0' || empty()) return false;
    FilePtr f{std::fopen(path, "w+b")};
    if (!f) {
        VORN_LOG(cLog::ERROR, "Create file", path);
        return false;
    }
    size_t put = std::fwrite(data(), 1, static_cast<size_t>(length()), f.get());
    int closed = std::fclose(f.release());
    if (put != static_cast<size_t>(length()) || closed != 0) {
        VORN_LOG(cLog::ERROR, "Write file size", static_cast<int>(put));
        return false;
    }
    return true;
}

bool cFile::deleteFile(const char* path) { return path != nullptr && *path != '\0' && ::unlink(path) == 0; }

bool cFile::createFolder(const char* path, mode_t mode) {
    if (path == nullptr || *path == '\0') return false;
    std::string p(path);
    for (size_t pos = 1; pos <= p.size(); ++pos) {
        if (pos != p.size() && p[pos] != '/') continue;
        if (p[pos - 1] == '/') continue;  // "a//b" or trailing "/"
        std::string prefix = p.substr(0, pos);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            VORN_LOG(cLog::ERROR, "Create folder", prefix);
            return false;
        }
    }
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string cFile::getSHA1() const { return digestHex(EVP_sha1(), data(), length()); }

std::string cFile::getSHA256() const { return digestHex(EVP_sha256(), data(), length()); }
