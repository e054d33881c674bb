// The viewer's page: one HTML document with its style and script, built into the binary
// from app/view_page.html, app/view_page.css and app/view_page.js (nothing is fetched).
#pragma once

#include <string>

namespace app {

std::string ViewPage();

} // namespace app
