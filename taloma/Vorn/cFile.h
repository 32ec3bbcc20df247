#pragma once
#include <string>
#include <sys/types.h>

#include "cBytes.h"

// A byte buffer that comes from or goes to a file.
class VORN_API cFile : public cBytes {
public:
    using cBytes::cBytes;

    static bool checkFileExist(const char* path);
    // Replaces the content by the whole file; files over 2 GiB fail.
    bool loadFromFile(const char* path);
    // Needs a non-empty path and content; truncates an existing file.
    bool saveToFile(const char* path) const;
    static bool deleteFile(const char* path);
    // Creates every "/"-separated prefix of path; existing folders are fine.
    static bool createFolder(const char* path, mode_t mode);

    // Digest of the content as upper-case hex; empty when there is none.
    std::string getSHA1() const;
    std::string getSHA256() const;
};
