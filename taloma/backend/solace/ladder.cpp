// taloma.backend.solace.ladder: order-book (best bid/ask levels) records of
// stocks and of futures and options, and their decoders.
#include "taloma/record.hpp"

namespace {

using namespace taloma;
using record::FieldSpec;
using record::Ref;
using record::Src;

struct Mod {
    static constexpr const char* prefix = "Ladder";
    static constexpr bool keyed = true;
    static constexpr const char* base_name = "taloma.backend.solace.ladder.LadderBase";
    static constexpr const char* base_doc = "Base of the order-book records: field list, item access, to_dict, repr.";
    static inline record::Env env;
};

struct LadderSTK {
    static constexpr const char* name = "taloma.backend.solace.ladder.LadderSTKv1";
    static constexpr const char* doc =
        "LadderSTKv1(code, datetime, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol, "
        "suspend, simtrade, intraday_odd)\n--\n\nOrder book of a stock, regular or odd lot.";
    static constexpr const char* fields[] = {"code",      "datetime",   "bid_price",    "bid_volume",
                                             "diff_bid_vol", "ask_price", "ask_volume", "diff_ask_vol",
                                             "suspend",   "simtrade",   "intraday_odd"};
};

struct LadderFOP {
    static constexpr const char* name = "taloma.backend.solace.ladder.LadderFOPv1";
    static constexpr const char* doc =
        "LadderFOPv1(code, datetime, bid_total_vol, ask_total_vol, bid_price, bid_volume, diff_bid_vol, "
        "ask_price, ask_volume, diff_ask_vol, first_derived_bid_price, first_derived_ask_price, "
        "first_derived_bid_vol, first_derived_ask_vol, underlying_price, simtrade)\n--\n\n"
        "Order book of a future or an option.";
    static constexpr const char* fields[] = {
        "code",          "datetime",   "bid_total_vol",           "ask_total_vol",           "bid_price",
        "bid_volume",    "diff_bid_vol", "ask_price",             "ask_volume",              "diff_ask_vol",
        "first_derived_bid_price", "first_derived_ask_price", "first_derived_bid_vol", "first_derived_ask_vol",
        "underlying_price", "simtrade"};
};

using Stk = record::Class<Mod, LadderSTK>;
using Fop = record::Class<Mod, LadderFOP>;

constexpr const char* const kStkContent[] = {"code",      "date",       "time",         "bid_price",
                                       "bid_volume", "diff_bid_vol", "ask_price", "ask_volume",
                                       "diff_ask_vol", "suspend",  "simtrade"};

// The odd-lot message lists both price lists before the volume lists.
constexpr const char* const kOddContent[] = {"code",       "date",         "time",         "bid_price",
                                       "ask_price",  "bid_volume",   "ask_volume",   "diff_bid_vol",
                                       "diff_ask_vol", "suspend",    "simtrade"};

constexpr const char* const kStkTexts[] = {"code", "date", "time"};

// The volume lists are handed on as the caller's own objects; price lists are new.
constexpr FieldSpec kStkFields[] = {
    {Src::Pass, "code"},         {Src::Stamp, "date", "time"}, {Src::DecList, "bid_price"},
    {Src::Pass, "bid_volume"},   {Src::Pass, "diff_bid_vol"},  {Src::DecList, "ask_price"},
    {Src::Pass, "ask_volume"},   {Src::Pass, "diff_ask_vol"},  {Src::Pass, "suspend"},
    {Src::Pass, "simtrade"},     {Src::Zero},
};

constexpr FieldSpec kOddFields[] = {
    {Src::Pass, "code"},         {Src::Stamp, "date", "time"}, {Src::DecList, "bid_price"},
    {Src::Pass, "bid_volume"},   {Src::Pass, "diff_bid_vol"},  {Src::DecList, "ask_price"},
    {Src::Pass, "ask_volume"},   {Src::Pass, "diff_ask_vol"},  {Src::Pass, "suspend"},
    {Src::Pass, "simtrade"},     {Src::One},
};

constexpr const char* const kFopContent[] = {"code",
                                       "date",
                                       "time",
                                       "bid_vol_sum",
                                       "ask_vol_sum",
                                       "bid_price",
                                       "bid_volume",
                                       "diff_bid_vol",
                                       "ask_price",
                                       "ask_volume",
                                       "diff_ask_vol",
                                       "first_derived_bid_price",
                                       "first_derived_ask_price",
                                       "first_derived_bid_volume",
                                       "first_derived_ask_volume",
                                       "target_kind_price",
                                       "simtrade"};

constexpr const char* const kFopTexts[] = {"code", "date", "time", "first_derived_bid_price", "first_derived_ask_price",
                                     "target_kind_price"};

constexpr FieldSpec kFopFields[] = {
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

static_assert(std::size(kStkFields) == Stk::N && std::size(kOddFields) == Stk::N && std::size(kFopFields) == Fop::N);

record::Decoder<kStkContent, kStkTexts, kStkFields> g_stk{"from_content"};
record::Decoder<kOddContent, kStkTexts, kOddFields> g_odd{"from_content_odd"};
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
     "from_content($cls, /, code, date, time, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, "
     "diff_ask_vol, suspend, simtrade)\n--\n\n"
     "A record of this class from the fields of one regular-lot stock order-book message."},
    {"from_content_odd", fast(stk_from_content_odd), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content_odd($cls, /, code, date, time, bid_price, ask_price, bid_volume, ask_volume, diff_bid_vol, "
     "diff_ask_vol, suspend, simtrade)\n--\n\n"
     "A record of this class from the fields of one odd-lot stock order-book message."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_fop_methods[] = {
    {"from_content", fast(fop_from_content), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content($cls, /, code, date, time, bid_vol_sum, ask_vol_sum, bid_price, bid_volume, diff_bid_vol, "
     "ask_price, ask_volume, diff_ask_vol, first_derived_bid_price, first_derived_ask_price, "
     "first_derived_bid_volume, first_derived_ask_volume, target_kind_price, simtrade)\n--\n\n"
     "A record of this class from the fields of one futures or options order-book message."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef g_methods[] = {
    {"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
     "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "taloma.backend.solace.ladder",
                        "Order-book records of stocks, futures and options, and their decoders.", -1, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

bool init(PyObject* m) {
    if (!Mod::env.init(m)) return false;
    for (const char* name : {"Dict", "List", "Any"}) {
        Ref v = py::import_attr("typing", name);
        if (!v || PyModule_AddObjectRef(m, name, v.get()) < 0) return false;
    }
    return g_stk.init() && g_odd.init() && g_fop.init() && record::Base<Mod>::create(m) &&
           Stk::create(m, g_stk_methods) && Fop::create(m, g_fop_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_ladder(void) {
    PyObject* m = PyModule_Create(&g_module);
    if (m && !init(m)) Py_CLEAR(m);
    return m;
}
