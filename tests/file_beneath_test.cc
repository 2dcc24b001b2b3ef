// file_beneath_test.cc - files that clients name are opened and replaced
// beneath the settings folder: links, ".." and a folder swapped for a link
// after the check lead nothing outside.

#include "framework/base/file_beneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "framework/base/file_replace.h"
#include "framework/host/settings_folder.h"
#include "testkit/files.h"

namespace {

int count_entries(const std::string& path) {
  int n = 0;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

struct Case {
  const char* what;
  const char* name;  // relative to the settings folder
  bool swapped;      // "swap" is a folder when checked, a link out when opened
  bool opens;
};

TEST(FileBeneath, ClientNamedFilesStayInsideTheSettingsFolder) {
  const Case cases[] = {
      {"plain name", "a.sr", false, true},
      {"name in a subfolder", "sub/b.sr", false, true},
      {"link that points out", "out", false, false},
      {"absolute link", "abs", false, false},
      {"'..' out of the folder", "../outside/x.sr", false, false},
      {"folder swapped for a link after the check", "swap/x.sr", true, false},
  };
  testkit::TempDir dir;
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  const std::string top = real;
  const std::string folder = top + "/settings";
  const std::string secret = top + "/outside/x.sr";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((top + "/outside").c_str(), 0700), 0);
  ASSERT_TRUE(testkit::write_file(folder + "/a.sr", "a"));
  ASSERT_TRUE(testkit::write_file(folder + "/sub/b.sr", "b"));
  ASSERT_EQ(symlink("../outside/x.sr", (folder + "/out").c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), (folder + "/abs").c_str()), 0);
  norix::set_settings_folder(folder);
  int folder_fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder_fd, 0);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(testkit::write_file(secret, "secret"));
    std::string path = folder + "/" + c.name;
    if (c.swapped) {
      ASSERT_EQ(mkdir((folder + "/swap").c_str(), 0700), 0);
      std::string why;
      ASSERT_EQ(norix::settings_path(c.name, &path, &why), 0) << why;
      ASSERT_EQ(rmdir((folder + "/swap").c_str()), 0);
      ASSERT_EQ(symlink((top + "/outside").c_str(), (folder + "/swap").c_str()), 0);
    }
    for (auto open_in : {norix::open_beneath, norix::open_beneath_by_walk}) {
      int fd = open_in(folder_fd, c.name, O_RDONLY | O_CLOEXEC, 0);
      EXPECT_EQ(fd >= 0, c.opens);
      if (fd >= 0) close(fd);
    }
    int fd = norix::open_confined(path, O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
    EXPECT_EQ(fd >= 0, c.opens);
    if (fd >= 0) close(fd);
    std::string why;
    EXPECT_EQ(norix::replace_file_confined(path, "new", &why), c.opens ? 0 : -1) << why;
    EXPECT_EQ(testkit::read_file(path) == "new", c.opens);
    EXPECT_EQ(testkit::read_file(secret), "secret");
    EXPECT_EQ(count_entries(top + "/outside"), 1);  // nothing created beside it
  }
  close(folder_fd);
  norix::set_settings_folder("");
}

}  // namespace
