// Bus topic naming: the topic a market-data subscription listens on for one
// contract, in the bus's topic schemes v0, v1 and v2.
#include "quote_topic.hpp"

#include <initializer_list>
#include <utility>

#include "taloma/pyref.hpp"

namespace taloma::solace::topic {

using args::fast;
using py::Ref;

namespace {

const char* const kArgNames[] = {"contract", "quote_type", "intraday_odd", "version"};

// 1 when obj == member, 0 when not, -1 on error.
int eq(PyObject* obj, PyObject* member) { return PyObject_RichCompareBool(obj, member, Py_EQ); }

PyObject* fail(const State& st, const char* what, PyObject* value) {
    Ref text(PyObject_Format(value, st.s.empty));
    if (text) PyErr_Format(PyExc_Exception, "%s: %U not support.", what, text.get());
    return nullptr;
}

// "{}" filled with each value's format(), as str.format does.
PyObject* topic(const State& st, const char* format, std::initializer_list<PyObject*> values) {
    Ref parts[5];
    size_t n = 0;
    for (PyObject* v : values) {
        parts[n] = Ref(PyObject_Format(v, st.s.empty));
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
PyObject* kind_code(const State& st, PyObject* quote_type, PyObject* tick, PyObject* ladder) {
    int r = eq(quote_type, st.Tick);
    if (r) return r < 0 ? nullptr : Py_NewRef(tick);
    r = eq(quote_type, st.Ladder);
    if (r) return r < 0 ? nullptr : Py_NewRef(ladder);
    return fail(st, "Quote Type", quote_type);
}

PyObject* scheme_v0(const State& st, PyObject* contract, PyObject* quote_type, PyObject* intraday_odd) {
    const Names& s = st.s;
    Ref code(PyObject_GetAttr(contract, s.code));
    if (!code) return nullptr;
    int fut = PyObject_IsInstance(contract, st.Future);
    if (fut < 0) return nullptr;
    int fop = fut ? 1 : PyObject_IsInstance(contract, st.Option);
    if (fop < 0) return nullptr;
    if (fop) {
        Ref l1(kind_code(st, quote_type, s.L, s.Q));
        if (!l1) return nullptr;
        return topic(st, "%U/*/%U", {l1.get(), code.get()});
    }
    int stock = PyObject_IsInstance(contract, st.Stock);
    if (stock < 0) return nullptr;
    if (stock) {
        int odd = PyObject_IsTrue(intraday_odd);
        if (odd < 0) return nullptr;
        Ref l1(odd ? kind_code(st, quote_type, s.TIC, s.QUO) : kind_code(st, quote_type, s.MKT, s.QUT));
        if (!l1) return nullptr;
        Ref exchange(PyObject_GetAttr(contract, s.exchange));
        if (!exchange) return nullptr;
        return topic(st, odd ? "%U/v2/*/%U/%U/ODDLOT" : "%U/*/%U/%U", {l1.get(), exchange.get(), code.get()});
    }
    int index = PyObject_IsInstance(contract, st.Index);
    if (index < 0) return nullptr;
    if (index) {
        Ref l1(kind_code(st, quote_type, s.I, s.O));
        if (!l1) return nullptr;
        Ref exchange(PyObject_GetAttr(contract, s.exchange));
        if (!exchange) return nullptr;
        return topic(st, "%U/%U/%U", {l1.get(), exchange.get(), code.get()});
    }
    return fail(st, "Contract", contract);
}

// Schemes v1 and v2 differ in which requests, contracts and exchanges they accept.
PyObject* scheme_v12(const State& st, PyObject* contract, PyObject* quote_type, PyObject* intraday_odd, bool v2) {
    const Names& s = st.s;
    Ref code(PyObject_GetAttr(contract, s.code));
    if (!code) return nullptr;
    PyObject* ver = v2 ? s.v2 : s.v1;

    PyObject* l1 = nullptr;
    int r;
    if (v2) {
        if ((r = eq(quote_type, st.Ladder)) < 0) return nullptr;
        if (r) l1 = s.QUO;
    } else {
        if ((r = eq(quote_type, st.Tick)) < 0) return nullptr;
        if (r) {
            l1 = s.TIC;
        } else {
            if ((r = eq(quote_type, st.Ladder)) < 0) return nullptr;
            if (r) {
                l1 = s.QUO;
            } else {
                if ((r = eq(quote_type, st.Quote)) < 0) return nullptr;
                if (r) {
                    l1 = s.QUO;
                    ver = s.v2;
                }
            }
        }
    }
    if (!l1) return fail(st, "Quote Type", quote_type);

    PyObject* l3 = nullptr;
    int option = 0;
    if (!v2) {
        if ((r = PyObject_IsInstance(contract, st.Future)) < 0) return nullptr;
        if (r) {
            l3 = s.FOP;
        } else {
            if ((option = PyObject_IsInstance(contract, st.Option)) < 0) return nullptr;
            if (option) l3 = s.FOP;
        }
    }
    if (!l3) {
        if ((r = PyObject_IsInstance(contract, st.Stock)) < 0) return nullptr;
        if (r) {
            int odd = v2 ? 0 : PyObject_IsTrue(intraday_odd);
            if (odd < 0) return nullptr;
            l3 = odd ? s.ODD : s.STK;
        }
    }
    if (!l3) return fail(st, "Contract", contract);

    Ref exchange(PyObject_GetAttr(contract, s.exchange));
    if (!exchange) return nullptr;
    PyObject* ex = nullptr;
    if ((r = eq(exchange.get(), st.TSE)) < 0) return nullptr;
    if (r) ex = s.TSE;
    if (!ex && !v2) {
        if ((r = eq(exchange.get(), st.TAIFEX)) < 0) return nullptr;
        if (r) {
            // option was only decided when the contract is not a Future.
            if (l3 == s.FOP && !option && (option = PyObject_IsInstance(contract, st.Option)) < 0) return nullptr;
            ex = option ? s.OPT : s.TFE;
        }
    }
    if (!ex) {
        if ((r = eq(exchange.get(), st.OTC)) < 0) return nullptr;
        if (r) ex = s.OTC;
    }
    if (!ex) {
        if ((r = eq(exchange.get(), st.OES)) < 0) return nullptr;
        if (r) ex = s.OES;
    }
    if (!ex) return fail(st, "Exchange", exchange.get());
    return topic(st, "%U/%U/%U/*/%U/%U", {l1, ver, l3, ex, code.get()});
}

PyObject* contract2topic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const State& st = of(module);
    PyObject* a[4];
    if (!st.topic_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    PyObject* version = a[3] ? a[3] : st.v0;
    int r = eq(version, st.v0);
    if (r < 0) return nullptr;
    if (r) return scheme_v0(st, a[0], a[1], a[2]);
    if ((r = eq(version, st.v1)) < 0) return nullptr;
    if (r) return scheme_v12(st, a[0], a[1], a[2], false);
    Ref text(PyObject_Str(version));
    if (text) PyErr_Format(PyExc_Exception, "QuoteVersion: %U not support.", text.get());
    return nullptr;
}

PyObject* v1contract2topic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const State& st = of(module);
    PyObject* a[3];
    if (!st.v1_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return scheme_v12(st, a[0], a[1], a[2], false);
}

PyObject* v2contract2topic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const State& st = of(module);
    PyObject* a[3];
    if (!st.v2_sig.parse(args, static_cast<size_t>(nargs), kwnames, a)) return nullptr;
    return scheme_v12(st, a[0], a[1], a[2], true);
}

// module.name bound into the module as well, into *slot when given.
bool bind(PyObject* m, const char* module, std::initializer_list<std::pair<const char*, PyObject**>> names) {
    for (auto [name, slot] : names) {
        Ref v = py::import_attr(module, name);
        if (!v || PyModule_AddObjectRef(m, name, v.get()) < 0) return false;
        if (slot) *slot = v.release();
    }
    return true;
}

// Owned member of an imported class, or null with an error set.
bool member(PyObject* owner, const char* name, PyObject** slot) {
    *slot = PyObject_GetAttrString(owner, name);
    return *slot != nullptr;
}

}  // namespace

State::State()
    : topic_sig{"contract2topic", 0, 3, 4, kArgNames},
      v1_sig{"v1contract2topic", 0, 3, 3, kArgNames},
      v2_sig{"v2contract2topic", 0, 3, 3, kArgNames} {}

bool State::init(PyObject* m) {
    if (!s.init()) return false;
    if (!bind(m, "typing", {{"Dict", nullptr}, {"List", nullptr}, {"Any", nullptr}}) ||
        !bind(m, "taloma.contracts",
              {{"Contract", nullptr}, {"Future", &Future}, {"Stock", &Stock}, {"Option", &Option}, {"Index", &Index}}))
        return false;
    PyObject *exchange_type = nullptr, *quote_type = nullptr, *version = nullptr;
    bool ok = bind(m, "taloma.constant",
                   {{"Exchange", &exchange_type}, {"QuoteType", &quote_type}, {"QuoteVersion", &version}}) &&
              member(quote_type, "Tick", &Tick) && member(quote_type, "Ladder", &Ladder) &&
              member(quote_type, "Quote", &Quote) && member(exchange_type, "TSE", &TSE) &&
              member(exchange_type, "OTC", &OTC) && member(exchange_type, "OES", &OES) &&
              member(exchange_type, "TAIFEX", &TAIFEX) && member(version, "v0", &v0) && member(version, "v1", &v1);
    Py_XDECREF(exchange_type);
    Py_XDECREF(quote_type);
    Py_XDECREF(version);
    return ok && topic_sig.init() && v1_sig.init() && v2_sig.init();
}

int State::traverse(visitproc visit, void* arg) {
    for (PyObject* o : {Future, Option, Stock, Index, Tick, Ladder, Quote, TSE, OTC, OES, TAIFEX, v0, v1}) Py_VISIT(o);
    return s.traverse(visit, arg);
}

void State::clear() {
    for (PyObject** o : {&Future, &Option, &Stock, &Index, &Tick, &Ladder, &Quote, &TSE, &OTC, &OES, &TAIFEX, &v0, &v1})
        Py_CLEAR(*o);
    s.clear();
    topic_sig.clear();
    v1_sig.clear();
    v2_sig.clear();
}

PyMethodDef methods[] = {
    {"contract2topic", fast(contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "contract2topic(contract, quote_type, intraday_odd, version=QuoteVersion.v0)\n--\n\n"
     "Bus topic of one contract's market data in scheme v0, or v1 through v1contract2topic."},
    {"v1contract2topic", fast(v1contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "v1contract2topic(contract, quote_type, intraday_odd)\n--\n\nBus topic in scheme v1."},
    {"v2contract2topic", fast(v2contract2topic), METH_FASTCALL | METH_KEYWORDS,
     "v2contract2topic(contract, quote_type, intraday_odd)\n--\n\nBus topic in scheme v2 (stock order books)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace taloma::solace::topic
