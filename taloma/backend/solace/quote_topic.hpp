// Bus topic naming of the quote module: contract2topic and its v1/v2 forms.
#pragma once

#include <Python.h>

#include "taloma/fastargs.hpp"
#include "taloma/names.hpp"

namespace taloma::solace::topic {

// clang-format off
#define TALOMA_TOPIC_NAMES(X)                                                                                        \
    X(L, "L") X(Q, "Q") X(MKT, "MKT") X(QUT, "QUT") X(TIC, "TIC") X(QUO, "QUO") X(I, "I") X(O, "O") X(FOP, "FOP") \
    X(STK, "STK") X(ODD, "ODD") X(TSE, "TSE") X(OTC, "OTC") X(OES, "OES") X(OPT, "OPT") X(TFE, "TFE")            \
    X(v1, "v1") X(v2, "v2") X(code, "code") X(exchange, "exchange") X(empty, "")
// clang-format on
TALOMA_NAMES(Names, TALOMA_TOPIC_NAMES);

// What topic naming binds at import: the contract classes and the enum
// members it compares against, and its argument lists.
struct State {
    Names s;
    PyObject *Future = nullptr, *Option = nullptr, *Stock = nullptr, *Index = nullptr;
    PyObject *Tick = nullptr, *Ladder = nullptr, *Quote = nullptr;
    PyObject *TSE = nullptr, *OTC = nullptr, *OES = nullptr, *TAIFEX = nullptr;
    PyObject *v0 = nullptr, *v1 = nullptr;
    args::Signature topic_sig, v1_sig, v2_sig;

    State();
    // Binds typing's Dict, List, Any, the contract classes and the constants
    // into the module as well, as the Python module imported them.
    bool init(PyObject* module);
    int traverse(visitproc visit, void* arg);
    void clear();
};

// The topic state of the quote module `module`.
const State& of(PyObject* module);

// contract2topic, v1contract2topic, v2contract2topic; their self is the module.
extern PyMethodDef methods[];

}  // namespace taloma::solace::topic
