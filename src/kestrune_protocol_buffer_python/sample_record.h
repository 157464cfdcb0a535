// The sample data record of the collection service: one builder, run by the
// module code of infer_schema and by pack_payload's demonstration run, so both
// modules bind the very same record.
#pragma once

#include "frame/module.h"

namespace sample_record {

// Interns the record's keys and texts and makes its integers, once per
// process; -1 with an exception set.
int make_constants();

// The statement `zorva_data = {...}` whose opening line is `first_line`:
// builds the record depth first in the order of its entries (the RawData entry
// is `json.loads` of its JSON text, with `json` looked up in the module
// namespace) and binds it as the module global `zorva_data`. Returns 0, or -1
// with an exception set and `line` set to the failing statement's line.
int build(frame::ModuleState& state, int first_line, int& line);

}  // namespace sample_record
