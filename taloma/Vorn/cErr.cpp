#include "cErr.h"

#include <algorithm>
#include <iterator>

namespace {

struct Entry {
    int code;
    const char* name;
    const char* text;
};

constexpr Entry kTable[] = {
#include "cErrTable.inc"
};

constexpr bool sortedUnique() {
    for (std::size_t i = 1; i < std::size(kTable); ++i)
        if (kTable[i - 1].code >= kTable[i].code) return false;
    return true;
}
static_assert(sortedUnique(), "cError.h must list each code once, in ascending order");

const Entry* find(int code) noexcept {
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), code,
                               [](const Entry& e, int c) { return e.code < c; });
    return it != std::end(kTable) && it->code == code ? it : nullptr;
}

}  // namespace

std::string cErr::getMessage(int code) {
    const Entry* e = find(code);
    std::string msg = e ? e->text : "錯誤碼未定義";
    msg += '(';
    msg += std::to_string(code);
    msg += ')';
    return msg;
}

const char* cErr::getText(int code) noexcept {
    const Entry* e = find(code);
    return e ? e->text : nullptr;
}

const char* cErr::getName(int code) noexcept {
    const Entry* e = find(code);
    return e ? e->name : nullptr;
}

int cErr::count() noexcept { return static_cast<int>(std::size(kTable)); }
