// taloma.backend.solace.tick: tick (trade) records of stocks and of futures
// and options, and their decoders.
#include "taloma/record.hpp"

namespace {

using namespace taloma;
using record::FieldSpec;
using record::Ref;
using record::Src;

struct Mod {
    static constexpr const char* prefix = "Tick";
    static constexpr bool keyed = false;
    static constexpr const char* base_name = "taloma.backend.solace.tick.TickBase";
    static constexpr const char* base_doc = "Base of the tick records: field list, item access, to_dict, repr.";
    static inline record::Env env;
};

struct TickSTK {
    static constexpr const char* name = "taloma.backend.solace.tick.TickSTKv1";
    static constexpr const char* doc =
        "TickSTKv1(code, datetime, open, avg_price, close, high, low, amount, total_amount, volume, "
        "total_volume, tick_type, chg_type, price_chg, pct_chg, bid_side_total_vol, ask_side_total_vol, "
        "bid_side_total_cnt, ask_side_total_cnt, closing_oddlot_shares, fixed_trade_vol, suspend, simtrade, "
        "intraday_odd)\n--\n\nTick of a stock, regular or odd lot.";
    static constexpr const char* fields[] = {
        "code", "datetime", "open", "avg_price", "close", "high", "low", "amount", "total_amount", "volume",
        "total_volume", "tick_type", "chg_type", "price_chg", "pct_chg", "bid_side_total_vol", "ask_side_total_vol",
        "bid_side_total_cnt", "ask_side_total_cnt", "closing_oddlot_shares", "fixed_trade_vol", "suspend",
        "simtrade", "intraday_odd"};
};

struct TickFOP {
    static constexpr const char* name = "taloma.backend.solace.tick.TickFOPv1";
    static constexpr const char* doc =
        "TickFOPv1(code, datetime, open, underlying_price, bid_side_total_vol, ask_side_total_vol, avg_price, "
        "close, high, low, amount, total_amount, volume, total_volume, tick_type, chg_type, price_chg, pct_chg, "
        "simtrade)\n--\n\nTick of a future or an option.";
    static constexpr const char* fields[] = {
        "code", "datetime", "open", "underlying_price", "bid_side_total_vol", "ask_side_total_vol", "avg_price",
        "close", "high", "low", "amount", "total_amount", "volume", "total_volume", "tick_type", "chg_type",
        "price_chg", "pct_chg", "simtrade"};
};

using Stk = record::Class<Mod, TickSTK>;
using Fop = record::Class<Mod, TickFOP>;

// ---- stock, regular lot

constexpr const char* const kStkContent[] = {
    "code", "date", "time", "open", "avg_price", "close", "high", "low", "amount", "amount_sum", "volume",
    "vol_sum", "tick_type", "diff_type", "diff_price", "diff_rate", "trade_bid_vol_sum", "trade_ask_vol_sum",
    "trade_bid_cnt", "trade_ask_cnt", "closing_oddlot_shares", "closing_oddlot_close", "closing_oddlot_amount",
    "closing_oddlot_bid_price", "closing_oddlot_ask_price", "fixed_trade_volume", "fixed_trade_amount", "suspend",
    "simtrade"};

// The closing_oddlot_ texts and fixed_trade_amount are checked but not kept.
constexpr const char* const kStkTexts[] = {
    "code", "date", "time", "open", "avg_price", "close", "high", "low", "amount", "amount_sum", "diff_price",
    "closing_oddlot_close", "closing_oddlot_amount", "closing_oddlot_bid_price", "closing_oddlot_ask_price",
    "fixed_trade_amount"};

constexpr FieldSpec kStkFields[] = {
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

// ---- stock, odd lot: its own field order; diff_rate is already percent text

constexpr const char* const kOddContent[] = {
    "code", "date", "time", "close", "tick_type", "diff_price", "diff_rate", "diff_type", "volume", "vol_sum",
    "amount", "amount_sum", "avg_price", "open", "high", "low", "trade_bid_vol_sum", "trade_ask_vol_sum",
    "trade_bid_cnt", "trade_ask_cnt", "suspend", "simtrade"};

constexpr const char* const kOddTexts[] = {"code",   "date",       "time",      "close", "diff_price", "diff_rate",
                                     "amount", "amount_sum", "avg_price", "open",  "high",       "low"};

constexpr FieldSpec kOddFields[] = {
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

// ---- futures and options

constexpr const char* const kFopContent[] = {
    "code", "date", "time", "open", "target_kind_price", "trade_bid_vol_sum", "trade_ask_vol_sum", "avg_price",
    "close", "high", "low", "amount", "amount_sum", "volume", "vol_sum", "tick_type", "diff_type", "diff_price",
    "diff_rate", "simtrade"};

constexpr const char* const kFopTexts[] = {"code", "date", "time",   "open",       "target_kind_price", "avg_price", "close",
                                     "high", "low",  "amount", "amount_sum", "diff_price",        "diff_rate"};

constexpr FieldSpec kFopFields[] = {
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

static_assert(std::size(kStkFields) == Stk::N && std::size(kOddFields) == Stk::N && std::size(kFopFields) == Fop::N);

record::Decoder<kStkContent, kStkTexts, kStkFields> g_stk{"from_content"};
record::Decoder<kOddContent, kOddTexts, kOddFields> g_odd{"from_content_odd"};
record::Decoder<kFopContent, kFopTexts, kFopFields> g_fop{"from_content"};

PyObject* stk_from_content(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return g_stk.operator()<Stk>(Mod::env, cls, args, nargs, kwnames);
}

PyObject* stk_from_content_odd(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return g_odd.operator()<Stk>(Mod::env, cls, args, nargs, kwnames);
}

PyObject* fop_from_content(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return g_fop.operator()<Fop>(Mod::env, cls, args, nargs, kwnames);
}

using record::fast;

PyMethodDef g_stk_methods[] = {
    {"from_content", fast(stk_from_content), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content($cls, /, code, date, time, open, avg_price, close, high, low, amount, amount_sum, volume, "
     "vol_sum, tick_type, diff_type, diff_price, diff_rate, trade_bid_vol_sum, trade_ask_vol_sum, trade_bid_cnt, "
     "trade_ask_cnt, closing_oddlot_shares, closing_oddlot_close, closing_oddlot_amount, closing_oddlot_bid_price, "
     "closing_oddlot_ask_price, fixed_trade_volume, fixed_trade_amount, suspend, simtrade)\n--\n\n"
     "A record of this class from the fields of one regular-lot stock tick message."},
    {"from_content_odd", fast(stk_from_content_odd), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content_odd($cls, /, code, date, time, close, tick_type, diff_price, diff_rate, diff_type, volume, "
     "vol_sum, amount, amount_sum, avg_price, open, high, low, trade_bid_vol_sum, trade_ask_vol_sum, "
     "trade_bid_cnt, trade_ask_cnt, suspend, simtrade)\n--\n\n"
     "A record of this class from the fields of one odd-lot stock tick message."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_fop_methods[] = {
    {"from_content", fast(fop_from_content), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content($cls, /, code, date, time, open, target_kind_price, trade_bid_vol_sum, trade_ask_vol_sum, "
     "avg_price, close, high, low, amount, amount_sum, volume, vol_sum, tick_type, diff_type, diff_price, "
     "diff_rate, simtrade)\n--\n\n"
     "A record of this class from the fields of one futures or options tick message."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_methods[] = {
    {"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
     "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "taloma.backend.solace.tick",
                        "Tick records of stocks, futures and options, and their decoders.", -1, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

bool init(PyObject* m) {
    if (!Mod::env.init(m)) return false;
    Ref typing(PyImport_ImportModule("typing"));
    if (!typing || PyModule_AddObjectRef(m, "typing", typing.get()) < 0) return false;
    return g_stk.init() && g_odd.init() && g_fop.init() && record::Base<Mod>::create(m) &&
           Stk::create(m, g_stk_methods) && Fop::create(m, g_fop_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_tick(void) {
    PyObject* m = PyModule_Create(&g_module);
    if (m && !init(m)) Py_CLEAR(m);
    return m;
}
