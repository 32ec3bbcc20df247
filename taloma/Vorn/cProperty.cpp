#include "cProperty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cChars.h"
#include "cFile.h"
#include "cLog.h"

namespace {

constexpr const char* kMasked = "********";

// Spaces, control characters and DEL; bytes of UTF-8 sequences are kept.
bool isTrimmed(unsigned char c) noexcept { return c <= 0x20 || c == 0x7F; }

std::string_view trim(std::string_view s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e && isTrimmed(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isTrimmed(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// A value in double quotes is taken as written between them, so that a path
// with spaces or control characters at either end survives the trimming.
std::string_view unquote(std::string_view v) noexcept {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

const std::string kEmpty;

}  // namespace

cProperty::~cProperty() = default;

bool cProperty::isSecretKey(const std::string& key) noexcept {
    std::string lower(key);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return lower.find("pswd") != std::string::npos || lower.find("passw") != std::string::npos ||
           lower.find("pwd") != std::string::npos;
}

bool cProperty::loadFromFile(const char* path) {
    cFile file;
    if (!file.loadFromFile(path)) {
        m_map.clear();
        return false;
    }
    return parse(reinterpret_cast<const char*>(file.data()), static_cast<std::size_t>(file.length()));
}

bool cProperty::parse(const char* text) { return parse(text, text ? std::strlen(text) : 0); }

bool cProperty::parse(const char* text, std::size_t len) {
    m_map.clear();
    if (text == nullptr || len == 0) return false;
    std::string_view all(text, len);
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t nl = all.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? all.size() : nl;
        std::string_view line = all.substr(pos, end - pos);
        pos = nl == std::string_view::npos ? all.size() : nl + 1;
        if (std::size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key(trim(line.substr(0, eq)));
        std::string value(unquote(trim(line.substr(eq + 1))));
        if (key.empty()) continue;
        bool secret = isSecretKey(key);
        if (m_map.erase(key) > 0) VORN_LOG(cLog::WARN, "Erase duplicate MAP Name", key);
        VORN_LOG(cLog::DEBUG, "Insert MAP Name", key);
        VORN_LOG(cLog::DEBUG, "Insert MAP Value", secret ? kMasked : value.c_str());
        m_map.emplace(std::move(key), std::move(value));
    }
    return true;
}

bool cProperty::hasProperty(const char* key) const { return key != nullptr && m_map.find(key) != m_map.end(); }

const std::string& cProperty::getProperty(const char* key) const {
    if (key == nullptr || *key == '\0') return kEmpty;
    auto it = m_map.find(key);
    const std::string& value = it == m_map.end() ? kEmpty : it->second;
    VORN_LOGF(cLog::DEBUG, "cProperty::getProperty() : %s = %s", key,
              isSecretKey(key) && !value.empty() ? kMasked : value.c_str());
    return value;
}

int cProperty::getPropertyInt(const char* key) const {
    if (key == nullptr || *key == '\0') return -1;
    auto it = m_map.find(key);
    if (it == m_map.end()) return -1;
    const char* s = it->second.c_str();
    const char* p = s;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') {
        VORN_LOGF(cLog::ERROR, "cProperty::getPropertyInt() : %s = %s 不是整數", key, s);
        return -1;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        VORN_LOGF(cLog::ERROR, "cProperty::getPropertyInt() : %s = %s 超出範圍", key, s);
        return -1;
    }
    return static_cast<int>(v);
}

bool cProperty::getPropertyBool(const char* key) const {
    if (key == nullptr || *key == '\0') return false;
    auto it = m_map.find(key);
    return it != m_map.end() && cChars::insensitiveStringCompare(it->second.c_str(), "TRUE");
}

bool cProperty::initLogger(const char* pathKey, const char* fileKey) const {
    if (!hasProperty(pathKey) || !hasProperty(fileKey)) return false;
    return _logger.setLogFile(m_map.at(pathKey).c_str(), m_map.at(fileKey).c_str());
}
