#pragma once
#include <cstddef>
#include <map>
#include <string>

#include "vornExport.h"

// "key = value" configuration file. Values of keys that name a password
// (e.g. "PFX.pswd", "PFX.pswdB64") are masked in every log line.
class VORN_API cProperty {
public:
    cProperty() = default;
    virtual ~cProperty();

    bool loadFromFile(const char* path);
    // Clears the map first; null or empty text returns false. The length form
    // takes text that is not NUL-terminated (embedded NULs end a line's use).
    bool parse(const char* text);
    bool parse(const char* text, std::size_t len);
    bool parse(const std::string& text) { return parse(text.data(), text.size()); }

    bool hasProperty(const char* key) const;
    // The stored value, or an empty text for a null, empty or absent key.
    const std::string& getProperty(const char* key) const;
    // -1 for a null, empty or absent key and for a value that is not a
    // decimal integer in the 32-bit range (the latter is logged at ERROR).
    int getPropertyInt(const char* key) const;
    // True only for "TRUE" in any case.
    bool getPropertyBool(const char* key) const;
    // Sets _logger's file from the values of the two keys when both exist.
    bool initLogger(const char* pathKey, const char* fileKey) const;

    void setProperty(const std::string& key, const std::string& value) { m_map[key] = value; }
    const std::map<std::string, std::string>& entries() const noexcept { return m_map; }
    std::size_t size() const noexcept { return m_map.size(); }

    // True for a key whose value must not reach the log in clear.
    static bool isSecretKey(const std::string& key) noexcept;

private:
    std::map<std::string, std::string> m_map;
};
