#pragma once
// The page at GET /: its HTML, CSS and script in one text built into the
// program, so that it works with no network beyond the program itself.

#include <string>

namespace pm::web {

const std::string& pageHtml();

} // namespace pm::web
