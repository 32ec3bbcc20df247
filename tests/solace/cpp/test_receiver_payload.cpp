// The receiver's payload reader: MessagePack maps bound to a decoder's content
// fields, with every fault a sender can make.
#include <gtest/gtest.h>
#include <msgpack.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "receiver_payload.hpp"

namespace {

using taloma::feed::Bound;
using taloma::feed::Fault;
using taloma::feed::Kind;
using taloma::feed::Layout;

Layout tick_layout() {
    return {{"code", "close", "volume", "bid_volume"}, {Kind::MaybeText, Kind::Text, Kind::Int, Kind::Ints}, {}};
}

// A payload written with msgpack-c's own packer.
struct Payload {
    msgpack_sbuffer buf;
    msgpack_packer pk;
    Payload() {
        msgpack_sbuffer_init(&buf);
        msgpack_packer_init(&pk, &buf, msgpack_sbuffer_write);
    }
    ~Payload() { msgpack_sbuffer_destroy(&buf); }
    Payload& text(const std::string& s) {
        msgpack_pack_str(&pk, s.size());
        msgpack_pack_str_body(&pk, s.data(), s.size());
        return *this;
    }
    std::string bytes() const { return {buf.data, buf.size}; }
};

// The good tick's fields in order; each may be skipped, replaced or followed by an extra.
using Field = std::function<void(Payload&)>;

std::vector<std::pair<std::string, Field>> good_fields() {
    return {
        {"code", [](Payload& p) { p.text("TXFL6"); }},
        {"close", [](Payload& p) { p.text("23152"); }},
        {"volume", [](Payload& p) { msgpack_pack_int(&p.pk, 7); }},
        {"bid_volume",
         [](Payload& p) {
             msgpack_pack_array(&p.pk, 2);
             msgpack_pack_int(&p.pk, 1);
             msgpack_pack_int(&p.pk, -2);
         }},
    };
}

std::string map_of(const std::vector<std::pair<std::string, Field>>& fields) {
    Payload p;
    msgpack_pack_map(&p.pk, fields.size());
    for (const auto& [key, value] : fields) {
        p.text(key);
        value(p);
    }
    return p.bytes();
}

struct Bind {
    msgpack_zone zone;
    msgpack_object root{};
    const msgpack_object* out[8] = {};
    Bind() { msgpack_zone_init(&zone, 1024); }
    ~Bind() { msgpack_zone_destroy(&zone); }
    Bound operator()(const std::string& payload, const Layout& layout) {
        if (!taloma::feed::unpack(payload.data(), payload.size(), &zone, &root)) return {Fault::Malformed};
        return taloma::feed::bind(root, layout, out);
    }
};

TEST(ReceiverPayload, GoodMapsBindEveryFieldInAnyOrder) {
    Layout layout = tick_layout();
    auto fields = good_fields();
    for (int round = 0; round < 3; ++round) {  // the second and third rounds use the remembered order
        Bind bind;
        std::string payload = map_of(fields);  // strings point into it
        ASSERT_TRUE(bind(payload, layout)) << round;
        EXPECT_EQ(taloma::feed::text_of(*bind.out[0]), "TXFL6");
        EXPECT_EQ(bind.out[2]->via.i64, 7);
        EXPECT_EQ(bind.out[3]->via.array.size, 2u);
        std::rotate(fields.begin(), fields.begin() + 1, fields.end());
    }
}

struct Case {
    const char* name;
    std::function<std::string()> payload;
    Fault fault;
    const char* message;
};

std::string with(const char* key, Field value) {
    auto fields = good_fields();
    for (auto& f : fields)
        if (f.first == key) f.second = std::move(value);
    return map_of(fields);
}

const Case kCases[] = {
    {"integer_as_text", [] { return with("volume", [](Payload& p) { p.text("7"); }); }, Fault::NotInteger,
     "field 'volume' must be an integer"},
    {"integer_as_float", [] { return with("volume", [](Payload& p) { msgpack_pack_double(&p.pk, 7.0); }); },
     Fault::NotInteger, "field 'volume' must be an integer"},
    {"integer_as_bool", [] { return with("volume", [](Payload& p) { msgpack_pack_true(&p.pk); }); }, Fault::NotInteger,
     "field 'volume' must be an integer"},
    {"integer_list_entry_as_text",
     [] {
         return with("bid_volume", [](Payload& p) {
             msgpack_pack_array(&p.pk, 2);
             msgpack_pack_int(&p.pk, 1);
             p.text("2");
         });
     },
     Fault::NotInteger, "field 'bid_volume' must be a list of integers"},
    {"integer_list_as_map", [] { return with("bid_volume", [](Payload& p) { msgpack_pack_map(&p.pk, 0); }); },
     Fault::NotInteger, "field 'bid_volume' must be a list of integers"},
    {"missing",
     [] {
         auto fields = good_fields();
         fields.erase(fields.begin() + 2);
         return map_of(fields);
     },
     Fault::Missing, "missing field 'volume'"},
    {"unexpected",
     [] {
         auto fields = good_fields();
         fields.emplace_back("spare", [](Payload& p) { msgpack_pack_nil(&p.pk); });
         return map_of(fields);
     },
     Fault::Unexpected, "unexpected field 'spare'"},
    {"duplicate",
     [] {
         auto fields = good_fields();
         fields.push_back(fields[1]);
         return map_of(fields);
     },
     Fault::Duplicate, "field 'close' given twice"},
    {"key_not_text",
     [] {
         Payload p;
         msgpack_pack_map(&p.pk, 1);
         msgpack_pack_int(&p.pk, 1);
         msgpack_pack_nil(&p.pk);
         return p.bytes();
     },
     Fault::BadKey, "a field name is not text"},
    {"not_a_map",
     [] {
         Payload p;
         msgpack_pack_array(&p.pk, 0);
         return p.bytes();
     },
     Fault::NotMap, "the payload is not a map of fields"},
    {"truncated", [] { return map_of(good_fields()).substr(0, 9); }, Fault::Malformed,
     "the payload is not one whole MessagePack value"},
    {"trailing_bytes", [] { return map_of(good_fields()) + '\x00'; }, Fault::Malformed,
     "the payload is not one whole MessagePack value"},
    {"empty", [] { return std::string(); }, Fault::Malformed, "the payload is not one whole MessagePack value"},
};

class Refused : public testing::TestWithParam<Case> {};

TEST_P(Refused, WithItsFaultAndMessage) {
    const Case& c = GetParam();
    Layout layout = tick_layout();
    Bind bind;
    std::string payload = c.payload();
    Bound b = bind(payload, layout);
    EXPECT_EQ(b.fault, c.fault);
    EXPECT_EQ(taloma::feed::describe(b, layout), c.message);
}

INSTANTIATE_TEST_SUITE_P(Faults, Refused, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

struct Sized {
    const char* name;
    std::string payload;
    bool plausible;
};

class Headers : public testing::TestWithParam<Sized> {};

// msgpack-c would reserve storage for what a header promises before finding the payload short.
TEST_P(Headers, PromisingMoreEntriesThanBytesRemainAreImplausible) {
    const Sized& c = GetParam();
    EXPECT_EQ(taloma::feed::plausible(c.payload.data(), c.payload.size()), c.plausible);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, Headers,
    testing::Values(Sized{"good_map", map_of(good_fields()), true},
                    Sized{"array32_of_four_billion", std::string("\xdd\xff\xff\xff\xff", 5), false},
                    Sized{"map32_inside_a_map",
                          std::string("\x81\xa4"
                                      "code"
                                      "\xdf\x7f\xff\xff\xff",
                                      11),
                          false},
                    Sized{"array16_one_short", std::string("\xdc\x00\x03\x01\x02", 5), false},
                    Sized{"array16_exact", std::string("\xdc\x00\x03\x01\x02\x03", 6), true},
                    // Header bytes inside a text are text.
                    Sized{"text_holding_header_bytes", std::string("\xa5\xdd\xff\xff\xff\xff", 6), true},
                    Sized{"bin8_longer_than_payload", std::string("\xc4\x10\x00", 3), false},
                    Sized{"fixext4", std::string("\x92\xd6\x01\x00\x00\x00\x00\xc0", 8), true}),
    [](const testing::TestParamInfo<Sized>& info) { return std::string(info.param.name); });

}  // namespace
