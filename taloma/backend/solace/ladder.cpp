// taloma.backend.solace.ladder: order-book (best bid/ask levels) records of
// stocks and of futures and options, and their decoders.
#include "taloma/record.hpp"
#include "taloma/record/module.hpp"

namespace {

using namespace taloma;
using record::Field;
using record::FieldSpec;
using record::In;
using record::Param;
using record::Ref;
using record::Src;
using record::Type;

struct State;

struct Mod {
    using State = ::State;
    static PyModuleDef def;
    static constexpr const char* prefix = "Ladder";
    static constexpr bool keyed = true;
    static constexpr const char* base_name = "taloma.backend.solace.ladder.LadderBase";
    static constexpr const char* base_doc = "Base of the order-book records: field list, item access, to_dict, repr.";
};

struct LadderSTK {
    static constexpr const char* name = "taloma.backend.solace.ladder.LadderSTKv1";
    static constexpr const char* summary = "Order book of a stock, regular or odd lot.";
    static constexpr Field fields[] = {
        {"code", Type::Text},       {"datetime", Type::DateTime}, {"bid_price", Type::Decimals},
        {"bid_volume", Type::Ints}, {"diff_bid_vol", Type::Ints}, {"ask_price", Type::Decimals},
        {"ask_volume", Type::Ints}, {"diff_ask_vol", Type::Ints}, {"suspend", Type::Flag},
        {"simtrade", Type::Flag},   {"intraday_odd", Type::Flag},
    };
};

struct LadderFOP {
    static constexpr const char* name = "taloma.backend.solace.ladder.LadderFOPv1";
    static constexpr const char* summary = "Order book of a future or an option.";
    static constexpr Field fields[] = {
        {"code", Type::Text},
        {"datetime", Type::DateTime},
        {"bid_total_vol", Type::Int},
        {"ask_total_vol", Type::Int},
        {"bid_price", Type::Decimals},
        {"bid_volume", Type::Ints},
        {"diff_bid_vol", Type::Ints},
        {"ask_price", Type::Decimals},
        {"ask_volume", Type::Ints},
        {"diff_ask_vol", Type::Ints},
        {"first_derived_bid_price", Type::Decimal},
        {"first_derived_ask_price", Type::Decimal},
        {"first_derived_bid_vol", Type::Int},
        {"first_derived_ask_vol", Type::Int},
        {"underlying_price", Type::Decimal},
        {"simtrade", Type::Flag},
    };
};

// The volume lists are handed on as the caller's own objects; price lists are new.
struct StkMessage {
    static constexpr const char* name = "from_content";
    static constexpr const char* summary =
        "A record of this class from the fields of one regular-lot stock order-book message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},    {"date", In::MaybeText},    {"time", In::MaybeText},  {"bid_price", In::Texts},
        {"bid_volume", In::Ints},   {"diff_bid_vol", In::Ints}, {"ask_price", In::Texts}, {"ask_volume", In::Ints},
        {"diff_ask_vol", In::Ints}, {"suspend", In::Int},       {"simtrade", In::Int},
    };
    static constexpr FieldSpec fields[] = {
        {Src::Pass, "code"},
        {Src::Stamp, "date", "time"},
        {Src::DecList, "bid_price"},
        {Src::Pass, "bid_volume"},
        {Src::Pass, "diff_bid_vol"},
        {Src::DecList, "ask_price"},
        {Src::Pass, "ask_volume"},
        {Src::Pass, "diff_ask_vol"},
        {Src::Pass, "suspend"},
        {Src::Pass, "simtrade"},
        {Src::Zero},
    };
};

// The odd-lot message lists both price lists before the volume lists.
struct OddMessage {
    static constexpr const char* name = "from_content_odd";
    static constexpr const char* summary =
        "A record of this class from the fields of one odd-lot stock order-book message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},    {"date", In::MaybeText},  {"time", In::MaybeText},  {"bid_price", In::Texts},
        {"ask_price", In::Texts},   {"bid_volume", In::Ints}, {"ask_volume", In::Ints}, {"diff_bid_vol", In::Ints},
        {"diff_ask_vol", In::Ints}, {"suspend", In::Int},     {"simtrade", In::Int},
    };
    // The regular-lot fields, the record marked odd lot.
    static constexpr auto fields = record::with_last(StkMessage::fields, {Src::One});
};

struct FopMessage {
    static constexpr const char* name = "from_content";
    static constexpr const char* summary =
        "A record of this class from the fields of one futures or options order-book message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},
        {"date", In::MaybeText},
        {"time", In::MaybeText},
        {"bid_vol_sum", In::Int},
        {"ask_vol_sum", In::Int},
        {"bid_price", In::Texts},
        {"bid_volume", In::Ints},
        {"diff_bid_vol", In::Ints},
        {"ask_price", In::Texts},
        {"ask_volume", In::Ints},
        {"diff_ask_vol", In::Ints},
        {"first_derived_bid_price", In::Text},
        {"first_derived_ask_price", In::Text},
        {"first_derived_bid_volume", In::Int},
        {"first_derived_ask_volume", In::Int},
        {"target_kind_price", In::Text},
        {"simtrade", In::Int},
    };
    static constexpr FieldSpec fields[] = {
        {Src::Pass, "code"},
        {Src::Stamp, "date", "time"},
        {Src::Pass, "bid_vol_sum"},
        {Src::Pass, "ask_vol_sum"},
        {Src::DecList, "bid_price"},
        {Src::Pass, "bid_volume"},
        {Src::Pass, "diff_bid_vol"},
        {Src::DecList, "ask_price"},
        {Src::Pass, "ask_volume"},
        {Src::Pass, "diff_ask_vol"},
        {Src::Dec, "first_derived_bid_price"},
        {Src::Dec, "first_derived_ask_price"},
        {Src::Pass, "first_derived_bid_volume"},
        {Src::Pass, "first_derived_ask_volume"},
        {Src::Dec, "target_kind_price"},
        {Src::Pass, "simtrade"},
    };
};

using Stk = record::Class<Mod, LadderSTK, StkMessage, OddMessage>;
using Fop = record::Class<Mod, LadderFOP, FopMessage>;

PyMethodDef g_methods[] = {{"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
                            "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
                           {nullptr, nullptr, 0, nullptr}};

struct State : record::Records<2> {
    bool init(PyObject* m) {
        if (!env.init(m)) return false;
        for (const char* name : {"Dict", "List", "Any"}) {
            Ref v = py::import_attr("typing", name);
            if (!v || PyModule_AddObjectRef(m, name, v.get()) < 0) return false;
        }
        return record::Base<Mod>::create(m, *this) && Stk::create(m, *this) && Fop::create(m, *this);
    }
};

PyModuleDef Mod::def = py::module_def<State>("taloma.backend.solace.ladder",
                                             "Order-book records of stocks, futures and options, and their decoders.",
                                             g_methods, record::module_slots<State>);

}  // namespace

PyMODINIT_FUNC PyInit_ladder(void) { return PyModuleDef_Init(&Mod::def); }
