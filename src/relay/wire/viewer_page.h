#pragma once

#include <string_view>

// The live viewer page that a browser gets from the stream port: one self-contained HTML file,
// viewer_page.html beside this header, compiled in at build time so that the executable needs
// no file beside it.
std::string_view ViewerPage();
