// The receiver's payload reader on any bytes: a MessagePack value bound to a
// futures tick's content fields. Whatever the input, a bound map has every
// field, and integer fields hold integers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "receiver_payload.hpp"

using taloma::feed::Kind;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const taloma::feed::Layout layout{
        {"code", "date", "time", "open", "volume", "vol_sum", "bid_price", "bid_volume", "simtrade"},
        {Kind::MaybeText, Kind::MaybeText, Kind::MaybeText, Kind::Text, Kind::Int, Kind::Int, Kind::Texts, Kind::Ints,
         Kind::Int},
        {}};
    msgpack_zone zone;
    msgpack_zone_init(&zone, 1024);
    msgpack_object root;
    if (taloma::feed::unpack(reinterpret_cast<const char*>(data), size, &zone, &root)) {
        const msgpack_object* out[16];
        taloma::feed::Bound b = taloma::feed::bind(root, layout, out);
        if (b) {
            for (std::size_t i = 0; i < layout.size(); ++i) {
                if (!out[i]) std::abort();
                if (layout.kinds[i] == Kind::Int && !taloma::feed::is_integer(*out[i])) std::abort();
                if (layout.kinds[i] == Kind::Ints) {
                    if (out[i]->type != MSGPACK_OBJECT_ARRAY) std::abort();
                    for (std::uint32_t j = 0; j < out[i]->via.array.size; ++j)
                        if (!taloma::feed::is_integer(out[i]->via.array.ptr[j])) std::abort();
                }
            }
        } else if (taloma::feed::describe(b, layout).empty()) {
            std::abort();
        }
    }
    msgpack_zone_destroy(&zone);
    return 0;
}
