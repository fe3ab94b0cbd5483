// String resources as the framework sources look them up.
#pragma once

#include <string>

#include <windows.h>

namespace tesk::win {

// The text of string resource `id` (current language, other tables, then
// the framework's own prompts); false when there is none.
bool LookupString(UINT id, std::string& text);

}  // namespace tesk::win
