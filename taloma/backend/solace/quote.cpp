// taloma.backend.solace.quote: the stock quote record and its decoder. The
// record protocol all market-data records share is in taloma/record/; bus
// topic naming, which this module also offers, is in quote_topic.cpp.
#include "taloma/record.hpp"
#include "taloma/record/module.hpp"

#include "quote_topic.hpp"

namespace {

using namespace taloma;
using record::Field;
using record::FieldSpec;
using record::In;
using record::Param;
using record::Src;
using record::Type;

struct QuoteState;

struct Mod {
    using State = QuoteState;
    static PyModuleDef def;
    static constexpr const char* prefix = "Quote";
    static constexpr bool keyed = true;
    static constexpr const char* base_name = "taloma.backend.solace.quote.QuoteBase";
    static constexpr const char* base_doc = "Base of the quote records: field list, item access, to_dict, repr.";
};

struct QuoteSTK {
    static constexpr const char* name = "taloma.backend.solace.quote.QuoteSTKv1";
    static constexpr const char* summary = "Quote of a stock.";
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
        {"closing_oddlot_close", Type::Decimal},
        {"closing_oddlot_amount", Type::Decimal},
        {"closing_oddlot_bid_price", Type::Decimal},
        {"closing_oddlot_ask_price", Type::Decimal},
        {"fixed_trade_vol", Type::Int},
        {"fixed_trade_amount", Type::Decimal},
        {"bid_price", Type::Decimals},
        {"bid_volume", Type::Ints},
        {"diff_bid_vol", Type::Ints},
        {"ask_price", Type::Decimals},
        {"ask_volume", Type::Ints},
        {"diff_ask_vol", Type::Ints},
        {"avail_borrowing", Type::Int},
        {"suspend", Type::Int},
        {"simtrade", Type::Int},
    };
};

struct QuoteMessage {
    static constexpr const char* name = "from_content";
    static constexpr const char* summary = "A record of this class from the fields of one stock quote message.";
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
        {"closing_oddlot_amount", In::Text},
        {"closing_oddlot_bid_price", In::MaybeText},
        {"closing_oddlot_ask_price", In::MaybeText},
        {"fixed_trade_volume", In::Int},
        {"fixed_trade_amount", In::Text},
        {"bid_price", In::Texts},
        {"bid_volume", In::Ints},
        {"diff_bid_vol", In::Ints},
        {"ask_price", In::Texts},
        {"ask_volume", In::Ints},
        {"diff_ask_vol", In::Ints},
        {"avail_borrowing", In::Int},
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
        {Src::DecOrZero, "closing_oddlot_close"},
        {Src::Dec, "closing_oddlot_amount"},
        {Src::DecOrZero, "closing_oddlot_bid_price"},
        {Src::DecOrZero, "closing_oddlot_ask_price"},
        {Src::Pass, "fixed_trade_volume"},
        {Src::Dec, "fixed_trade_amount"},
        {Src::DecList, "bid_price"},
        {Src::Pass, "bid_volume"},
        {Src::Pass, "diff_bid_vol"},
        {Src::DecList, "ask_price"},
        {Src::Pass, "ask_volume"},
        {Src::Pass, "diff_ask_vol"},
        {Src::Pass, "avail_borrowing"},
        {Src::Pass, "suspend"},
        {Src::Pass, "simtrade"},
    };
};

using Quote = record::Class<Mod, QuoteSTK, QuoteMessage>;

PyMethodDef g_methods[] = {{"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
                            "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
                           {nullptr, nullptr, 0, nullptr}};

// The module state: the records' and topic naming's.
struct QuoteState : record::Records<1> {
    solace::topic::State topics;

    bool init(PyObject* m) {
        // The functions first, topic naming's ahead, as the module lists them.
        return PyModule_AddFunctions(m, solace::topic::methods) == 0 && PyModule_AddFunctions(m, g_methods) == 0 &&
               env.init(m) && topics.init(m) && record::Base<Mod>::create(m, *this) && Quote::create(m, *this);
    }

    int traverse(visitproc visit, void* arg) {
        if (int r = topics.traverse(visit, arg)) return r;
        return Records::traverse(visit, arg);
    }

    void clear() {
        topics.clear();
        Records::clear();
    }
};

PyModuleDef Mod::def = py::module_def<QuoteState>("taloma.backend.solace.quote",
                                                  "Stock quote records and decoder; market-data bus topic naming.",
                                                  nullptr, record::module_slots<QuoteState>);

}  // namespace

const taloma::solace::topic::State& taloma::solace::topic::of(PyObject* module) {
    return taloma::py::state_of<QuoteState>(module)->topics;
}

PyMODINIT_FUNC PyInit_quote(void) { return PyModuleDef_Init(&Mod::def); }
