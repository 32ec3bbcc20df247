// taloma.backend.solace.quote: the stock quote record and its decoder, the
// record protocol shared by all market-data records, and bus topic naming.
#include "taloma/record.hpp"

namespace {

using namespace taloma;
using record::FieldSpec;
using record::Ref;
using record::Src;

struct Mod {
    static constexpr const char* prefix = "Quote";
    static constexpr bool keyed = true;
    static constexpr const char* base_name = "taloma.backend.solace.quote.QuoteBase";
    static constexpr const char* base_doc = "Base of the quote records: field list, item access, to_dict, repr.";
    static inline record::Env env;
};

struct QuoteSTK {
    static constexpr const char* name = "taloma.backend.solace.quote.QuoteSTKv1";
    static constexpr const char* doc =
        "QuoteSTKv1(code, datetime, open, avg_price, close, high, low, amount, total_amount, volume, "
        "total_volume, tick_type, chg_type, price_chg, pct_chg, bid_side_total_vol, ask_side_total_vol, "
        "bid_side_total_cnt, ask_side_total_cnt, closing_oddlot_shares, closing_oddlot_close, "
        "closing_oddlot_amount, closing_oddlot_bid_price, closing_oddlot_ask_price, fixed_trade_vol, "
        "fixed_trade_amount, bid_price, bid_volume, diff_bid_vol, ask_price, ask_volume, diff_ask_vol, "
        "avail_borrowing, suspend, simtrade)\n--\n\nQuote of a stock.";
    static constexpr const char* fields[] = {
        "code", "datetime", "open", "avg_price", "close", "high", "low", "amount", "total_amount", "volume",
        "total_volume", "tick_type", "chg_type", "price_chg", "pct_chg", "bid_side_total_vol", "ask_side_total_vol",
        "bid_side_total_cnt", "ask_side_total_cnt", "closing_oddlot_shares", "closing_oddlot_close",
        "closing_oddlot_amount", "closing_oddlot_bid_price", "closing_oddlot_ask_price", "fixed_trade_vol",
        "fixed_trade_amount", "bid_price", "bid_volume", "diff_bid_vol", "ask_price", "ask_volume", "diff_ask_vol",
        "avail_borrowing", "suspend", "simtrade"};
};

using Quote = record::Class<Mod, QuoteSTK>;

constexpr const char* const kContent[] = {
    "code", "date", "time", "open", "avg_price", "close", "high", "low", "amount", "amount_sum", "volume",
    "vol_sum", "tick_type", "diff_type", "diff_price", "diff_rate", "trade_bid_vol_sum", "trade_ask_vol_sum",
    "trade_bid_cnt", "trade_ask_cnt", "closing_oddlot_shares", "closing_oddlot_close", "closing_oddlot_amount",
    "closing_oddlot_bid_price", "closing_oddlot_ask_price", "fixed_trade_volume", "fixed_trade_amount",
    "bid_price", "bid_volume", "diff_bid_vol", "ask_price", "ask_volume", "diff_ask_vol", "avail_borrowing",
    "suspend", "simtrade"};

constexpr const char* const kTexts[] = {
    "code", "date", "time", "open", "avg_price", "close", "high", "low", "amount", "amount_sum", "diff_price",
    "closing_oddlot_close", "closing_oddlot_amount", "closing_oddlot_bid_price", "closing_oddlot_ask_price",
    "fixed_trade_amount"};

constexpr FieldSpec kFields[] = {
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
static_assert(std::size(kFields) == Quote::N);

record::Decoder<kContent, kTexts, kFields> g_decoder{"from_content"};

PyObject* from_content(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return g_decoder.operator()<Quote>(Mod::env, cls, args, nargs, kwnames);
}

PyMethodDef g_quote_methods[] = {
    {"from_content", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_content)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_content($cls, /, code, date, time, open, avg_price, close, high, low, amount, amount_sum, volume, "
     "vol_sum, tick_type, diff_type, diff_price, diff_rate, trade_bid_vol_sum, trade_ask_vol_sum, trade_bid_cnt, "
     "trade_ask_cnt, closing_oddlot_shares, closing_oddlot_close, closing_oddlot_amount, closing_oddlot_bid_price, "
     "closing_oddlot_ask_price, fixed_trade_volume, fixed_trade_amount, bid_price, bid_volume, diff_bid_vol, "
     "ask_price, ask_volume, diff_ask_vol, avail_borrowing, suspend, simtrade)\n--\n\n"
     "A record of this class from the fields of one stock quote message."},
    {nullptr, nullptr, 0, nullptr}};

// ---- topic naming ---------------------------------------------------------

struct Topics {
    PyObject *Future, *Option, *Stock, *Index;
    PyObject *Tick, *Ladder, *QuoteT;
    PyObject *TSE, *OTC, *OES, *TAIFEX;
    PyObject *v0, *v1;
    PyObject* s_code;
    PyObject* s_exchange;
    PyObject* empty;
} G;

const char* const kTopicNames[] = {"contract", "quote_type", "intraday_odd", "version"};
taloma::args::Signature g_topic_sig{"contract2topic", 0, 3, 4, kTopicNames};
taloma::args::Signature g_v1_sig{"v1contract2topic", 0, 3, 3, kTopicNames};
taloma::args::Signature g_v2_sig{"v2contract2topic", 0, 3, 3, kTopicNames};

// 1 when obj == member, 0 when not, -1 on error.
int eq(PyObject* obj, PyObject* member) { return PyObject_RichCompareBool(obj, member, Py_EQ); }

PyObject* fail(const char* what, PyObject* value) {
    Ref text(PyObject_Format(value, G.empty));
    if (text) PyErr_Format(PyExc_Exception, "%s: %U not support.", what, text.get());
    return nullptr;
}

// "{}" filled with each value's format(), as str.format does.
PyObject* topic(const char* format, std::initializer_list<PyObject*> values) {
    Ref parts[5];
    size_t n = 0;
    for (PyObject* v : values) {
        parts[n] = Ref(PyObject_Format(v, G.empty));
        if (!parts[n++]) return nullptr;
    }
    switch (n) {
        case 2: return PyUnicode_FromFormat(format, parts[0].get(), parts[1].get());
        case 3: return PyUnicode_FromFormat(format, parts[0].get(), parts[1].get(), parts[2].get());
        default:
            return PyUnicode_FromFormat(format, parts[0].get(), parts[1].get(), parts[2].get(), parts[3].get(),
                                        parts[4].get());
    }
}

// The data-kind code for a tick / order-book request, or a quote-type failure.
PyObject* kind_code(PyObject* quote_type, PyObject* tick, PyObject* ladder) {
    int r = eq(quote_type, G.Tick);
    if (r) return r < 0 ? nullptr : Py_NewRef(tick);
    r = eq(quote_type, G.Ladder);
    if (r) return r < 0 ? nullptr : Py_NewRef(ladder);
    return fail("Quote Type", quote_type);
}

PyObject* scheme_v0(PyObject* contract, PyObject* quote_type, PyObject* intraday_odd) {
    static PyObject *L, *Q, *MKT, *QUT, *TIC, *QUO, *I, *O;
    if (!L && (!(L = PyUnicode_InternFromString("L")) || !(Q = PyUnicode_InternFromString("Q")) ||
               !(MKT = PyUnicode_InternFromString("MKT")) || !(QUT = PyUnicode_InternFromString("QUT")) ||
               !(TIC = PyUnicode_InternFromString("TIC")) || !(QUO = PyUnicode_InternFromString("QUO")) ||
               !(I = PyUnicode_InternFromString("I")) || !(O = PyUnicode_InternFromString("O"))))
        return nullptr;
    Ref code(PyObject_GetAttr(contract, G.s_code));
    if (!code) return nullptr;
    int fut = PyObject_IsInstance(contract, G.Future);
    if (fut < 0) return nullptr;
    int fop = fut ? 1 : PyObject_IsInstance(contract, G.Option);
    if (fop < 0) return nullptr;
    if (fop) {
        Ref l1(kind_code(quote_type, L, Q));
        if (!l1) return nullptr;
        return topic("%U/*/%U", {l1.get(), code.get()});
    }
    int stock = PyObject_IsInstance(contract, G.Stock);
    if (stock < 0) return nullptr;
    if (stock) {
        int odd = PyObject_IsTrue(intraday_odd);
        if (odd < 0) return nullptr;
        Ref l1(odd ? kind_code(quote_type, TIC, QUO) : kind_code(quote_type, MKT, QUT));
        if (!l1) return nullptr;
        Ref exchange(PyObject_GetAttr(contract, G.s_exchange));
        if (!exchange) return nullptr;
        return topic(odd ? "%U/v2/*/%U/%U/ODDLOT" : "%U/*/%U/%U", {l1.get(), exchange.get(), code.get()});
    }
    int index = PyObject_IsInstance(contract, G.Index);
    if (index < 0) return nullptr;
    if (index) {
        Ref l1(kind_code(quote_type, I, O));
        if (!l1) return nullptr;
        Ref exchange(PyObject_GetAttr(contract, G.s_exchange));
        if (!exchange) return nullptr;
        return topic("%U/%U/%U", {l1.get(), exchange.get(), code.get()});
    }
    return fail("Contract", contract);
}

// Schemes v1 and v2 differ in which requests, contracts and exchanges they accept.
PyObject* scheme_v12(PyObject* contract, PyObject* quote_type, PyObject* intraday_odd, bool v2) {
    static PyObject *TIC, *QUO, *FOP, *STK, *ODD, *sTSE, *sOTC, *sOES, *OPT, *TFE, *sv1, *sv2;
    if (!TIC && (!(TIC = PyUnicode_InternFromString("TIC")) || !(QUO = PyUnicode_InternFromString("QUO")) ||
                 !(FOP = PyUnicode_InternFromString("FOP")) || !(STK = PyUnicode_InternFromString("STK")) ||
                 !(ODD = PyUnicode_InternFromString("ODD")) || !(sTSE = PyUnicode_InternFromString("TSE")) ||
                 !(sOTC = PyUnicode_InternFromString("OTC")) || !(sOES = PyUnicode_InternFromString("OES")) ||
                 !(OPT = PyUnicode_InternFromString("OPT")) || !(TFE = PyUnicode_InternFromString("TFE")) ||
                 !(sv1 = PyUnicode_InternFromString("v1")) || !(sv2 = PyUnicode_InternFromString("v2"))))
        return nullptr;
    Ref code(PyObject_GetAttr(contract, G.s_code));
    if (!code) return nullptr;
    PyObject* ver = v2 ? sv2 : sv1;

    PyObject* l1 = nullptr;
    int r;
    if (v2) {
        if ((r = eq(quote_type, G.Ladder)) < 0) return nullptr;
        if (r) l1 = QUO;
    } else {
        if ((r = eq(quote_type, G.Tick)) < 0) return nullptr;
        if (r) {
            l1 = TIC;
        } else {
            if ((r = eq(quote_type, G.Ladder)) < 0) return nullptr;
            if (r) {
                l1 = QUO;
            } else {
                if ((r = eq(quote_type, G.QuoteT)) < 0) return nullptr;
                if (r) {
                    l1 = QUO;
                    ver = sv2;
                }
            }
        }
    }
    if (!l1) return fail("Quote Type", quote_type);

    PyObject* l3 = nullptr;
    int option = 0;
    if (!v2) {
        if ((r = PyObject_IsInstance(contract, G.Future)) < 0) return nullptr;
        if (r) {
            l3 = FOP;
        } else {
            if ((option = PyObject_IsInstance(contract, G.Option)) < 0) return nullptr;
            if (option) l3 = FOP;
        }
    }
    if (!l3) {
        if ((r = PyObject_IsInstance(contract, G.Stock)) < 0) return nullptr;
        if (r) {
            int odd = v2 ? 0 : PyObject_IsTrue(intraday_odd);
            if (odd < 0) return nullptr;
            l3 = odd ? ODD : STK;
        }
    }
    if (!l3) return fail("Contract", contract);

    Ref exchange(PyObject_GetAttr(contract, G.s_exchange));
    if (!exchange) return nullptr;
    PyObject* ex = nullptr;
    if ((r = eq(exchange.get(), G.TSE)) < 0) return nullptr;
    if (r) ex = sTSE;
    if (!ex && !v2) {
        if ((r = eq(exchange.get(), G.TAIFEX)) < 0) return nullptr;
        if (r) {
            // option was only decided when the contract is not a Future.
            if (l3 == FOP && !option && (option = PyObject_IsInstance(contract, G.Option)) < 0) return nullptr;
            ex = option ? OPT : TFE;
        }
    }
    if (!ex) {
        if ((r = eq(exchange.get(), G.OTC)) < 0) return nullptr;
        if (r) ex = sOTC;
    }
    if (!ex) {
        if ((r = eq(exchange.get(), G.OES)) < 0) return nullptr;
        if (r) ex = sOES;
    }
    if (!ex) return fail("Exchange", exchange.get());
    return topic("%U/%U/%U/*/%U/%U", {l1, ver, l3, ex, code.get()});
}

PyObject* contract2topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!g_topic_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    PyObject* version = a[3] ? a[3] : G.v0;
    int r = eq(version, G.v0);
    if (r < 0) return nullptr;
    if (r) return scheme_v0(a[0], a[1], a[2]);
    if ((r = eq(version, G.v1)) < 0) return nullptr;
    if (r) return scheme_v12(a[0], a[1], a[2], false);
    Ref text(PyObject_Str(version));
    if (text) PyErr_Format(PyExc_Exception, "QuoteVersion: %U not support.", text.get());
    return nullptr;
}

PyObject* v1contract2topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!g_v1_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return scheme_v12(a[0], a[1], a[2], false);
}

PyObject* v2contract2topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!g_v2_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return scheme_v12(a[0], a[1], a[2], true);
}

using record::fast;

PyMethodDef g_methods[] = {
    {"contract2topic", fast(contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "contract2topic(contract, quote_type, intraday_odd, version=QuoteVersion.v0)\n--\n\n"
     "Bus topic of one contract's market data in scheme v0, or v1 through v1contract2topic."},
    {"v1contract2topic", fast(v1contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "v1contract2topic(contract, quote_type, intraday_odd)\n--\n\nBus topic in scheme v1."},
    {"v2contract2topic", fast(v2contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "v2contract2topic(contract, quote_type, intraday_odd)\n--\n\nBus topic in scheme v2 (stock order books)."},
    {"_decimal_cache_info", record::cache_info<Mod>, METH_NOARGS,
     "Size, capacity, hits and misses of this module's text-to-Decimal cache."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "taloma.backend.solace.quote",
                        "Stock quote records and decoder; market-data bus topic naming.", -1, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

bool bind(PyObject* m, const char* module, std::initializer_list<std::pair<const char*, PyObject**>> names) {
    for (auto [name, slot] : names) {
        Ref v = py::import_attr(module, name);
        if (!v || PyModule_AddObjectRef(m, name, v.get()) < 0) return false;
        if (slot) *slot = v.release();
    }
    return true;
}

bool init(PyObject* m) {
    if (!Mod::env.init(m)) return false;
    if (!bind(m, "typing", {{"Dict", nullptr}, {"List", nullptr}, {"Any", nullptr}}) ||
        !bind(m, "taloma.contracts",
              {{"Contract", nullptr}, {"Future", &G.Future}, {"Stock", &G.Stock}, {"Option", &G.Option},
               {"Index", &G.Index}}))
        return false;
    PyObject *exchange = nullptr, *quote_type = nullptr, *version = nullptr;
    if (!bind(m, "taloma.constant", {{"Exchange", &exchange}, {"QuoteType", &quote_type}, {"QuoteVersion", &version}}))
        return false;
    G.Tick = PyObject_GetAttrString(quote_type, "Tick");
    G.Ladder = PyObject_GetAttrString(quote_type, "Ladder");
    G.QuoteT = PyObject_GetAttrString(quote_type, "Quote");
    G.TSE = PyObject_GetAttrString(exchange, "TSE");
    G.OTC = PyObject_GetAttrString(exchange, "OTC");
    G.OES = PyObject_GetAttrString(exchange, "OES");
    G.TAIFEX = PyObject_GetAttrString(exchange, "TAIFEX");
    G.v0 = PyObject_GetAttrString(version, "v0");
    G.v1 = PyObject_GetAttrString(version, "v1");
    G.s_code = PyUnicode_InternFromString("code");
    G.s_exchange = PyUnicode_InternFromString("exchange");
    G.empty = PyUnicode_FromString("");
    if (!G.Tick || !G.Ladder || !G.QuoteT || !G.TSE || !G.OTC || !G.OES || !G.TAIFEX || !G.v0 || !G.v1 ||
        !G.s_code || !G.s_exchange || !G.empty)
        return false;
    return g_topic_sig.init() && g_v1_sig.init() && g_v2_sig.init() && g_decoder.init() &&
           record::Base<Mod>::create(m) && Quote::create(m, g_quote_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_quote(void) {
    PyObject* m = PyModule_Create(&g_module);
    if (m && !init(m)) Py_CLEAR(m);
    return m;
}
