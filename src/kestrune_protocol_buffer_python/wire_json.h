// A message's wire encoding straight to the JSON text that
// orjson.dumps(MessageToDict(message)) gives for the message the bytes parse
// into, without a message or a dictionary in between.
//
// The text is written only where the bytes alone make it certain: every field
// one the type declares, in its own wire type (or packed), in field-number
// order, a singular field and a oneof's members given once, text in valid
// UTF-8, and no value whose JSON form needs more than the bytes (floating
// point numbers, whose text orjson chooses; the well-known types; maps, whose
// order the runtime's container decides; groups; a closed enum's unknown
// value, which the runtime keeps among the unknown fields). Anything else
// leaves the work to the caller, which then parses a message.
#pragma once

#include "json_plan.h"

#include "frame/outcome.h"

#include <string>

namespace wire_json {

// Appends the JSON text of the message of `plan` that `size` bytes at `data`
// encode: Done; Runtime with `out` as it was; Error with an exception set
// (RecursionError, MemoryError).
frame::Answer write_message(const json_mapping::MessagePlan& plan, const char* data, std::size_t size,
                            std::string& out);

}  // namespace wire_json
