// file_replace_test.cc - replacing a file whole: links, permission bits,
// and failures that leave the target as it was and no file behind.

#include "framework/base/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "testkit/files.h"

namespace {

enum Target { PLAIN, LINK, LINK_TO_NONE, NONE, READ_ONLY_FOLDER, FOLDER };

struct Case {
  const char* what;
  Target target;
  bool replaced;
};

TEST(FileReplace, ReplacesWholeOrLeavesTheTargetAsItWas) {
  const Case cases[] = {
      {"plain file", PLAIN, true},
      {"link to a file", LINK, true},
      {"link to no file", LINK_TO_NONE, true},
      {"no file yet", NONE, true},
      {"folder not writable", READ_ONLY_FOLDER, false},
      {"target is a folder", FOLDER, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.target == READ_ONLY_FOLDER && geteuid() == 0) continue;  // root writes there anyway
    testkit::TempDir dir;
    bool link = c.target == LINK || c.target == LINK_TO_NONE;
    std::string file = dir.file("file");
    std::string path = link ? dir.file("link") : file;
    bool existed = c.target != NONE && c.target != LINK_TO_NONE && c.target != FOLDER;
    if (existed) {
      testkit::write_file(file, "old");
      ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    }
    ASSERT_TRUE(c.target != FOLDER || mkdir(file.c_str(), 0700) == 0);
    ASSERT_TRUE(!link || symlink("file", path.c_str()) == 0);  // relative to the link's folder
    ASSERT_TRUE(c.target != READ_ONLY_FOLDER || chmod(dir.path().c_str(), 0555) == 0);

    std::string why;
    EXPECT_EQ(norix::replace_file(path, "new\n", &why), c.replaced ? 0 : -1) << why;
    EXPECT_EQ(why.empty(), c.replaced) << why;
    chmod(dir.path().c_str(), 0700);
    struct stat st;
    EXPECT_TRUE(!link || (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)));
    EXPECT_TRUE(!existed || (stat(file.c_str(), &st) == 0 && (st.st_mode & 07777) == 0640));
    if (c.target != FOLDER) {
      EXPECT_EQ(testkit::read_file(file), c.replaced ? "new\n" : "old");
    }
    EXPECT_EQ(dir.entry_count(), link ? 2 : 1);  // no temporary file is left
    EXPECT_TRUE(c.target != FOLDER || rmdir(file.c_str()) == 0);
  }
}

TEST(FileReplace, LeftoversOfGoneProcessesAreRemovedThroughTheLink) {
  testkit::TempDir dir;
  const std::string me = std::to_string(getpid());
  const std::pair<std::string, bool> names[] = {
      {"file.tmp." + me + ".3", true},    // this process's own
      {"file.tmp.4194305.1", true},       // beyond any pid: gone
      {"file.tmp.4294967297.1", true},    // beyond pid_t (not pid 1)
      {"file.tmp.1.2", false},            // a live process's
      {"file.tmp.x.1", false},            // not one of its names
      {"other.tmp." + me + ".1", false},  // another file's
  };
  for (const auto& n : names)
    testkit::write_file(dir.file(n.first), "part");
  ASSERT_EQ(symlink("file", dir.file("conf").c_str()), 0);
  EXPECT_EQ(norix::remove_leftovers(dir.file("conf")), 3);
  for (const auto& n : names)
    EXPECT_EQ(access(dir.file(n.first).c_str(), F_OK) != 0, n.second) << n.first;
}

}  // namespace
