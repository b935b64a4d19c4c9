// The string table of the wizard (its numbers are named in res/Resource.h, res::ids). Texts are
// 8-bit and exact; those with printf placeholders are formatted with fmt::sprintf by their users.
#pragma once

#include "res/Resource.h"

namespace res {

// The text of string `id`; an empty string for a number the table does not hold.
const char* LoadString(int id);

}  // namespace res
