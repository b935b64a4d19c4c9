// The string table of the wizard (numbers 101 ... 130). Texts are 8-bit and exact; those with
// printf placeholders are formatted with fmt::sprintf by their users.
#pragma once

namespace res {

// The text of string `id`; an empty string for a number the table does not hold.
const char* LoadString(int id);

}  // namespace res
