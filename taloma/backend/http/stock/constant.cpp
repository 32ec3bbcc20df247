// taloma.backend.http.stock.constant: the stock order service's codes and their converter set.
//
// Written against the C API so that a failure while loading reaches the importer as the error
// itself (a missing companion name, a code class that Constant rejects), not wrapped in another.
// The code classes are ordinary Python subclasses of the companion Constant, created through its
// metaclass so that whatever Constant checks or registers for a subclass happens here too.
#include <Python.h>

#include <taloma/capi.hpp>

#include <initializer_list>
#include <utility>

namespace {

using taloma::py::Ref;

#define STOCK_CONSTANT_NAMES(X) \
    X(module, "__module__") X(qualname, "__qualname__") X(doc, "__doc__") X(oprops, "oprops")
TALOMA_NAMES(StockConstantNames, STOCK_CONSTANT_NAMES);

// Only names: the classes are the module's own attributes, made once by exec_module.
struct StockConstantState : StockConstantNames {
    bool init(PyObject*) { return StockConstantNames::init(); }
};

const StockConstantState& names_of(PyObject* module) { return *taloma::py::state_of<StockConstantState>(module); }

using Members = std::initializer_list<std::pair<const char*, const char*>>;

// Sets module.name = value, taking the reference; false with an exception set on failure.
bool add(PyObject* module, const char* name, const Ref& value) {
    return value && PyModule_AddObjectRef(module, name, value.get()) == 0;
}

// A class named `name` in this module with `members` as class attributes, in order.
Ref make_class(PyObject* module, const char* name, PyObject* base, Members members, const char* doc = nullptr) {
    const StockConstantState& s = names_of(module);
    Ref ns(PyDict_New());
    Ref module_name(PyModule_GetNameObject(module));
    Ref qualname(PyUnicode_FromString(name));
    if (!ns || !module_name || !qualname) return {};
    if (PyDict_SetItem(ns.get(), s.module, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), s.qualname, qualname.get()) < 0) {
        return {};
    }
    if (doc) {
        Ref text(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItem(ns.get(), s.doc, text.get()) < 0) return {};
    }
    for (const auto& [member, code] : members) {
        Ref value(PyUnicode_FromString(code));
        if (!value || PyDict_SetItemString(ns.get(), member, value.get()) < 0) return {};
    }
    Ref bases(base ? PyTuple_Pack(1, base) : PyTuple_New(0));
    if (!bases) return {};
    PyObject* meta = base ? reinterpret_cast<PyObject*>(Py_TYPE(base)) : reinterpret_cast<PyObject*>(&PyType_Type);
    return Ref(PyObject_CallFunction(meta, "OOO", qualname.get(), bases.get(), ns.get()));
}

// The converter: code class called with the generic property of the same name.
bool add_converter(PyObject* ns, const char* name, PyObject* code_class, PyObject* generics) {
    Ref generic(PyObject_GetAttrString(generics, name));
    if (!generic) return false;
    Ref converter(PyObject_CallOneArg(code_class, generic.get()));
    return converter && PyDict_SetItemString(ns, name, converter.get()) == 0;
}

int exec_module(PyObject* m) {
    Ref order_props = taloma::py::import_attr("taloma.orderprops", "OrderProps");
    if (!add(m, "OrderProps", order_props)) return -1;
    Ref constant = taloma::py::import_attr("taloma.backend.http.constant", "Constant");
    if (!add(m, "Constant", constant)) return -1;
    Ref base_props = taloma::py::import_attr("taloma.backend.http.constant", "BaseProps");
    if (!add(m, "BaseProps", base_props)) return -1;
    if (!add(m, "__all__", Ref(Py_BuildValue("(s)", "oprops")))) return -1;

    Ref share_ops(PyObject_GetAttrString(order_props.get(), "Stock"));
    if (!add(m, "share_ops", share_ops)) return -1;

    PyObject* base = constant.get();
    Ref action = make_class(m, "Action", base, {{"Buy", "B"}, {"Sell", "S"}});
    if (!add(m, "Action", action)) return -1;
    Ref order_type = make_class(m, "OrderType", base,
                                {{"Common", "0"}, {"BlockTrade", "1"}, {"Fixing", "P"}, {"Odd", "2"}});
    if (!add(m, "OrderType", order_type)) return -1;
    // LimitPrice is one blank, not empty: the service's field is fixed-width.
    Ref price_type = make_class(m, "PriceType", base,
                                {{"LimitPrice", " "}, {"Close", "1"}, {"LimitUp", "2"}, {"LimitDown", "3"}});
    if (!add(m, "PriceType", price_type)) return -1;
    // The service has no order condition "2".
    Ref order_cond = make_class(m, "OrderCond", base,
                                {{"Cash", "0"}, {"Netting", "1"}, {"MarginTrading", "3"}, {"ShortSelling", "4"}});
    if (!add(m, "OrderCond", order_cond)) return -1;
    Ref first_sell = make_class(m, "FirstSell", base, {{"Yes", "Y"}, {"No", "N"}});
    if (!add(m, "FirstSell", first_sell)) return -1;

    const StockConstantState& s = names_of(m);
    Ref ns(PyDict_New());
    Ref module_name(PyModule_GetNameObject(m));
    PyObject* props_name = s.oprops;
    Ref props_doc(PyUnicode_FromString("Converters of the stock order properties to the service's codes."));
    if (!ns || !module_name || !props_doc || PyDict_SetItem(ns.get(), s.module, module_name.get()) < 0 ||
        PyDict_SetItem(ns.get(), s.qualname, props_name) < 0 || PyDict_SetItem(ns.get(), s.doc, props_doc.get()) < 0) {
        return -1;
    }
    PyObject* ops = share_ops.get();
    if (!add_converter(ns.get(), "action", action.get(), ops) ||
        !add_converter(ns.get(), "price_type", price_type.get(), ops) ||
        !add_converter(ns.get(), "order_type", order_type.get(), ops) ||
        !add_converter(ns.get(), "order_cond", order_cond.get(), ops) ||
        !add_converter(ns.get(), "first_sell", first_sell.get(), ops)) {
        return -1;
    }
    Ref bases(PyTuple_Pack(1, base_props.get()));
    if (!bases) return -1;
    Ref oprops(PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(base_props.get())), "OOO", props_name,
                                     bases.get(), ns.get()));
    if (!add(m, "oprops", oprops)) return -1;

    Ref generic_markets = make_class(m, "_market_id", nullptr, {{"TSE", "TSE"}, {"OTC", "OTC"}, {"OES", "OES"}},
                                     "The package's generic market names.");
    if (!add(m, "_market_id", generic_markets)) return -1;
    Ref market_codes = make_class(m, "MarketID", base, {{"TSE", "S"}, {"OTC", "O"}, {"OES", "R"}});
    if (!add(m, "MarketID", market_codes)) return -1;
    return add(m, "market_id", Ref(PyObject_CallOneArg(market_codes.get(), generic_markets.get()))) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(taloma::py::exec_state<StockConstantState>)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = taloma::py::module_def<StockConstantState>(
    "taloma.backend.http.stock.constant",
    "Codes of the stock order service and the converters from the package's generic properties.", nullptr, slots);

}  // namespace

PyMODINIT_FUNC PyInit_constant(void) { return PyModuleDef_Init(&module_def); }
