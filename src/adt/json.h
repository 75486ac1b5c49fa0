// JSON text output shared by the web front and the command-line tools.
#pragma once
#include <string_view>

#include "adt/text.h"

namespace adt {

// Appends `utf8` as a JSON string: between double quotes, with "\" and the double quote escaped
// by a backslash and every character below 0x20 escaped (\b \f \n \r \t, else \u00XX), so that
// the result is valid JSON whatever the text holds. Other characters stay as they are.
void appendJsonString(String& out, std::string_view utf8);

}  // namespace adt
