// The JSON the API shows of the unit, a sale, an operation and an
// incident: the one place their records become JSON (the sale's state and
// step get their names here and in the journal only).
#ifndef TAVOD_VIEWS_H
#define TAVOD_VIEWS_H

#include <boost/json.hpp>
#include <cstdint>

#include "journal.h"
#include "tavoctl.h"

namespace tavod {

// The unit's records: board, coin unit, note unit, stock.
boost::json::object UnitView(const PcbData &board, const TavoData &units,
                             bool connected, bool isVirtual);
boost::json::object SaleView(const SaleRecord &r);
boost::json::object OperationView(const Operation &o);
boost::json::object IncidentView(const Incident &i);
// {"code", "code_text", "next_step"} of a failure, or null for 0.
boost::json::value FailureView(uint16_t code);

}  // namespace tavod

#endif  // TAVOD_VIEWS_H
