// Texts built the way an f-string builds them.
#pragma once

#include "ref.h"

#include <initializer_list>

namespace frame {

// Each piece formatted as `format(piece, "")` does (an exact str stands as
// itself, an exception as its str() text), joined with nothing between.
// Returns a new reference, or null with an exception set.
Ref format_join(std::initializer_list<PyObject*> pieces);

}  // namespace frame
