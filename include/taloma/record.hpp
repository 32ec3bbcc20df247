// Market-data records, one header per concern:
//
//   record/env.hpp       what a module's records and decoders share (Decimal
//                        cache, date-time parser, interned names)
//   record/protocol.hpp  the record classes and their common protocol
//   record/decoder.hpp   decoders from message fields, laid out at compile time
#pragma once

#include "taloma/record/decoder.hpp"
#include "taloma/record/env.hpp"
#include "taloma/record/protocol.hpp"
