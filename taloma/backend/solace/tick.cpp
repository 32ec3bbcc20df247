// taloma.backend.solace.tick: tick (trade) records of stocks and of futures
// and options, and their decoders.
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
    static constexpr const char* prefix = "Tick";
    static constexpr bool keyed = false;
    static constexpr const char* base_name = "taloma.backend.solace.tick.TickBase";
    static constexpr const char* base_doc = "Base of the tick records: field list, item access, to_dict, repr.";
};

struct TickSTK {
    static constexpr const char* name = "taloma.backend.solace.tick.TickSTKv1";
    static constexpr const char* summary = "Tick of a stock, regular or odd lot.";
    static constexpr Field fields[] = {
        {"code", Type::Text},
        {"datetime", Type::DateTime},
        {"open", Type::Decimal},
        {"avg_price", Type::Decimal},
        {"close", Type::Decimal},
        {"high", Type::Decimal},
        {"low", Type::Decimal},
        {"amount", Type::Decimal},
        {"total_amount", Type::Decimal},
        {"volume", Type::Int},
        {"total_volume", Type::Int},
        {"tick_type", Type::Int},
        {"chg_type", Type::Int},
        {"price_chg", Type::Decimal},
        {"pct_chg", Type::Decimal},
        {"bid_side_total_vol", Type::Int},
        {"ask_side_total_vol", Type::Int},
        {"bid_side_total_cnt", Type::Int},
        {"ask_side_total_cnt", Type::Int},
        {"closing_oddlot_shares", Type::Int},
        {"fixed_trade_vol", Type::Int},
        {"suspend", Type::Flag},
        {"simtrade", Type::Flag},
        {"intraday_odd", Type::Flag},
    };
};

struct TickFOP {
    static constexpr const char* name = "taloma.backend.solace.tick.TickFOPv1";
    static constexpr const char* summary = "Tick of a future or an option.";
    static constexpr Field fields[] = {
        {"code", Type::Text},
        {"datetime", Type::DateTime},
        {"open", Type::Decimal},
        {"underlying_price", Type::Decimal},
        {"bid_side_total_vol", Type::Int},
        {"ask_side_total_vol", Type::Int},
        {"avg_price", Type::Decimal},
        {"close", Type::Decimal},
        {"high", Type::Decimal},
        {"low", Type::Decimal},
        {"amount", Type::Decimal},
        {"total_amount", Type::Decimal},
        {"volume", Type::Int},
        {"total_volume", Type::Int},
        {"tick_type", Type::Int},
        {"chg_type", Type::Int},
        {"price_chg", Type::Decimal},
        {"pct_chg", Type::Decimal},
        {"simtrade", Type::Flag},
    };
};

// The closing_oddlot_ texts and fixed_trade_amount are checked but not kept.
struct StkMessage {
    static constexpr const char* name = "from_content";
    static constexpr const char* summary =
        "A record of this class from the fields of one regular-lot stock tick message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},
        {"date", In::MaybeText},
        {"time", In::MaybeText},
        {"open", In::Text},
        {"avg_price", In::Text},
        {"close", In::Text},
        {"high", In::Text},
        {"low", In::Text},
        {"amount", In::Text},
        {"amount_sum", In::Text},
        {"volume", In::Int},
        {"vol_sum", In::Int},
        {"tick_type", In::Int},
        {"diff_type", In::Int},
        {"diff_price", In::Text},
        {"diff_rate", In::Int},
        {"trade_bid_vol_sum", In::Int},
        {"trade_ask_vol_sum", In::Int},
        {"trade_bid_cnt", In::Int},
        {"trade_ask_cnt", In::Int},
        {"closing_oddlot_shares", In::Int},
        {"closing_oddlot_close", In::MaybeText},
        {"closing_oddlot_amount", In::MaybeText},
        {"closing_oddlot_bid_price", In::MaybeText},
        {"closing_oddlot_ask_price", In::MaybeText},
        {"fixed_trade_volume", In::Int},
        {"fixed_trade_amount", In::MaybeText},
        {"suspend", In::Int},
        {"simtrade", In::Int},
    };
    static constexpr FieldSpec fields[] = {
        {Src::Pass, "code"},
        {Src::Stamp, "date", "time"},
        {Src::Dec, "open"},
        {Src::Dec, "avg_price"},
        {Src::Dec, "close"},
        {Src::Dec, "high"},
        {Src::Dec, "low"},
        {Src::Dec, "amount"},
        {Src::Fresh, "amount_sum"},
        {Src::Pass, "volume"},
        {Src::Pass, "vol_sum"},
        {Src::Pass, "tick_type"},
        {Src::Pass, "diff_type"},
        {Src::Dec, "diff_price"},
        {Src::Hundredths, "diff_rate"},
        {Src::Pass, "trade_bid_vol_sum"},
        {Src::Pass, "trade_ask_vol_sum"},
        {Src::Pass, "trade_bid_cnt"},
        {Src::Pass, "trade_ask_cnt"},
        {Src::Pass, "closing_oddlot_shares"},
        {Src::Pass, "fixed_trade_volume"},
        {Src::Pass, "suspend"},
        {Src::Pass, "simtrade"},
        {Src::Zero},
    };
};

// Its own field order; diff_rate is already percent text.
struct OddMessage {
    static constexpr const char* name = "from_content_odd";
    static constexpr const char* summary = "A record of this class from the fields of one odd-lot stock tick message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},
        {"date", In::MaybeText},
        {"time", In::MaybeText},
        {"close", In::Text},
        {"tick_type", In::Int},
        {"diff_price", In::Text},
        {"diff_rate", In::Text},
        {"diff_type", In::Int},
        {"volume", In::Int},
        {"vol_sum", In::Int},
        {"amount", In::Text},
        {"amount_sum", In::Text},
        {"avg_price", In::Text},
        {"open", In::Text},
        {"high", In::Text},
        {"low", In::Text},
        {"trade_bid_vol_sum", In::Int},
        {"trade_ask_vol_sum", In::Int},
        {"trade_bid_cnt", In::Int},
        {"trade_ask_cnt", In::Int},
        {"suspend", In::Int},
        {"simtrade", In::Int},
    };
    static constexpr FieldSpec fields[] = {
        {Src::Pass, "code"},
        {Src::Stamp, "date", "time"},
        {Src::Dec, "open"},
        {Src::Dec, "avg_price"},
        {Src::Dec, "close"},
        {Src::Dec, "high"},
        {Src::Dec, "low"},
        {Src::Dec, "amount"},
        {Src::Fresh, "amount_sum"},
        {Src::Pass, "volume"},
        {Src::Pass, "vol_sum"},
        {Src::Pass, "tick_type"},
        {Src::Pass, "diff_type"},
        {Src::Dec, "diff_price"},
        {Src::Dec, "diff_rate"},
        {Src::Pass, "trade_bid_vol_sum"},
        {Src::Pass, "trade_ask_vol_sum"},
        {Src::Pass, "trade_bid_cnt"},
        {Src::Pass, "trade_ask_cnt"},
        {Src::Zero},
        {Src::Zero},
        {Src::Pass, "suspend"},
        {Src::Pass, "simtrade"},
        {Src::One},
    };
};

struct FopMessage {
    static constexpr const char* name = "from_content";
    static constexpr const char* summary =
        "A record of this class from the fields of one futures or options tick message.";
    static constexpr Param content[] = {
        {"code", In::MaybeText},
        {"date", In::MaybeText},
        {"time", In::MaybeText},
        {"open", In::Text},
        {"target_kind_price", In::Text},
        {"trade_bid_vol_sum", In::Int},
        {"trade_ask_vol_sum", In::Int},
        {"avg_price", In::Text},
        {"close", In::Text},
        {"high", In::Text},
        {"low", In::Text},
        {"amount", In::Text},
        {"amount_sum", In::Text},
        {"volume", In::Int},
        {"vol_sum", In::Int},
        {"tick_type", In::Int},
        {"diff_type", In::Int},
        {"diff_price", In::Text},
        {"diff_rate", In::Text},
        {"simtrade", In::Int},
    };
    static constexpr FieldSpec fields[] = {
        {Src::Pass, "code"},
        {Src::Stamp, "date", "time"},
        {Src::Dec, "open"},
        {Src::Dec, "target_kind_price"},
        {Src::Pass, "trade_bid_vol_sum"},
        {Src::Pass, "trade_ask_vol_sum"},
        {Src::Dec, "avg_price"},
        {Src::Dec, "close"},
        {Src::Dec, "high"},
        {Src::Dec, "low"},
        {Src::Dec, "amount"},
        {Src::Fresh, "amount_sum"},
        {Src::Pass, "volume"},
        {Src::Pass, "vol_sum"},
        {Src::Pass, "tick_type"},
        {Src::Pass, "diff_type"},
        {Src::Dec, "diff_price"},
        {Src::Dec, "diff_rate"},
        {Src::Pass, "simtrade"},
    };
};

using Stk = record::Class<Mod, TickSTK, StkMessage, OddMessage>;
using Fop = record::Class<Mod, TickFOP, FopMessage>;

PyMethodDef g_methods[] = {{"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
                            "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
                           {nullptr, nullptr, 0, nullptr}};

struct State : record::Records<2> {
    bool init(PyObject* m) {
        if (!env.init(m)) return false;
        Ref typing(PyImport_ImportModule("typing"));
        if (!typing || PyModule_AddObjectRef(m, "typing", typing.get()) < 0) return false;
        return record::Base<Mod>::create(m, *this) && Stk::create(m, *this) && Fop::create(m, *this);
    }
};

PyModuleDef Mod::def = py::module_def<State>("taloma.backend.solace.tick",
                                             "Tick records of stocks, futures and options, and their decoders.",
                                             g_methods, record::module_slots<State>);

}  // namespace

PyMODINIT_FUNC PyInit_tick(void) { return PyModuleDef_Init(&Mod::def); }
