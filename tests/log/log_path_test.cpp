#include <gtest/gtest.h>

#include "common/file_path.h"

TEST(LogPath, SplitsFolderBaseNameAndExtension) {
  EXPECT_EQ(GetFolderPath("/srv/relay/Debug.log"), "/srv/relay/");
  EXPECT_EQ(GetBaseName("/srv/relay/Debug.log"), "Debug");
  EXPECT_EQ(GetExtension("/srv/relay/Debug.log"), "log");
  EXPECT_EQ(GetFolderPath("C:\\relay\\trace.old.txt"), "C:\\relay\\");
  EXPECT_EQ(GetBaseName("C:\\relay\\trace.old.txt"), "trace.old");
  EXPECT_EQ(GetExtension("/srv/relay.d/Debug"), "");
}

TEST(LogPath, PreviousGenerationSitsBesideTheCurrentFile) {
  EXPECT_EQ(PreviousGenerationPath("/srv/relay/Debug.log"), "/srv/relay/Debug_2.log");
  EXPECT_EQ(PreviousGenerationPath("trace.txt"), "trace_2.txt");
  EXPECT_EQ(PreviousGenerationPath("/srv/relay.d/Debug"), "/srv/relay.d/Debug_2.");
}
