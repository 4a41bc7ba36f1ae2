#include "relay/viewer_page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

// The build copies every byte, whatever it is; a trailing NUL is not part of the page.
TEST(ViewerPage, IsTheHtmlFileByteForByte) {
  std::ifstream file(KORVEL_SOURCE_DIR "/src/relay/viewer_page.html", std::ios::binary);
  std::ostringstream html;
  html << file.rdbuf();
  ASSERT_GT(html.str().size(), 0u);
  EXPECT_EQ(ViewerPage(), html.str());
}
