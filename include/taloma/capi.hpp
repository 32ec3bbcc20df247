// The C-API toolkit every native module builds on; include this one header.
//
//   pyref.hpp        Ref (owning reference), import_attr
//   errors.hpp       raise / check / steal / truthy for nanobind modules
//   names.hpp        TALOMA_NAMES: a module's interned names, declared once
//   module_state.hpp the module-state pattern (multi-phase for raw modules)
//   globals.hpp      module-global lookup, replaceable as in Python
//   mapget.hpp       get / is_mapping on any mapping
//   reply.hpp        the service's "success" rule
//   iterate.hpp      for_each / for_each_item over any iterable or mapping
//   text.hpp         same_text, fixed-width digits, calendar checks
//
// Raw modules (no nanobind) include the headers they need but errors.hpp and
// iterate.hpp, which throw nanobind exceptions.
#pragma once

#include <Python.h>

#include <taloma/globals.hpp>
#include <taloma/mapget.hpp>
#include <taloma/module_state.hpp>
#include <taloma/names.hpp>
#include <taloma/pyref.hpp>
#include <taloma/reply.hpp>
#include <taloma/text.hpp>

#ifdef NB_MODULE
#include <taloma/errors.hpp>
#include <taloma/iterate.hpp>
#endif
