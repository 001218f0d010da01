#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/path.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "native_path.h"
#include "test_support.h"

namespace {

TEST(NativePath, NarrowPathPassesThrough) {
  const char* path = "/tmp/plain \xC3\xA9.xdt";
  EXPECT_EQ(NativePath(path).get(), path);
  EXPECT_FALSE(u_path_is_wide(path));
  EXPECT_EQ(NativePath(nullptr).get(), nullptr);
  EXPECT_EQ(NativePath("\xFF").get(), std::string("\xFF"));
}

TEST(NativePath, WidePathsBecomeUtf8OrNothing) {
  const struct {
    const char* name;
    std::u16string units;
    const char* utf8;  // null: unusable
  } cases[] = {
      {"CJK", u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"ASCII, whose high bytes are zero", u"/tmp/w/wide.dat", "/tmp/w/wide.dat"},
      {"units whose low byte is zero", u"\u4E00\u0100", "\xE4\xB8\x80\xC4\x80"},
      {"Latin and CJK mixed", u"d\u00E9j\u00E0/\u4E2D.dat", "d\xC3\xA9j\xC3\xA0/\xE4\xB8\xAD.dat"},
      {"two-byte UTF-8", u"\u01E9", "\xC7\xA9"},
      {"surrogate pair", u"\xD83D\xDE01", "\xF0\x9F\x98\x81"},
      {"just the mark", u"", ""},
      {"high surrogate at the end", u"\u4E2D\xD83D", nullptr},
      {"high surrogate before a plain unit", u"\xD83D\u4E2D", nullptr},
      {"lone low surrogate", u"\xDE01\u4E2D", nullptr},
  };
  for (const auto& c : cases) {
    for (const bool reversed_mark : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (reversed_mark ? ", FE FF" : ", FF FE"));
      const std::string path = test::wide_path(c.units, reversed_mark);
      EXPECT_TRUE(u_path_is_wide(path.c_str()));
      test::CountingHooks hooks;
      {
        const NativePath native(path.c_str());
        if (c.utf8 == nullptr) {
          EXPECT_EQ(native.get(), nullptr);
        } else {
          ASSERT_NE(native.get(), nullptr);
          EXPECT_EQ(std::string(native.get()), c.utf8);
        }
      }
      EXPECT_EQ(hooks.live_blocks(), 0u);
    }
  }
}

TEST(NativePath, AllocationFailureLeavesNoName) {
  test::CountingHooks hooks(1);
  const std::string wide = test::wide_path(u"\u4E2D");
  const NativePath native(wide.c_str());
  EXPECT_EQ(native.get(), nullptr);
  EXPECT_TRUE(native.out_of_memory());
  EXPECT_FALSE(NativePath(test::wide_path(u"\xD83D").c_str()).out_of_memory());
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

TEST(OpenPath, OpensTheFileNamedByAWidePath) {
  test::TempDir dir;
  test::write_file(dir.file("\xE4\xB8\xAD\xE6\x96\x87"), test::Bytes{'o', 'k'});
  const std::u16string folder = test::widen(dir.path());
  std::FILE* file = u_open_path(test::wide_path(folder + u"/\u4E2D\u6587").c_str(), "rb");
  std::FILE* missing = u_open_path(test::wide_path(folder + u"/\u4E2D").c_str(), "rb");
  std::FILE* broken = u_open_path(test::wide_path(folder + u"/\xD83D").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  char bytes[3] = {};
  EXPECT_EQ(std::fread(bytes, 1, 2, file), 2u);
  EXPECT_STREQ(bytes, "ok");
  std::fclose(file);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(broken, nullptr);
}

// stat and open take the same names as fopen, and tell why they could not.
TEST(OpenPath, StatAndOpenFollowTheConvention) {
  test::TempDir dir;
  test::write_file(dir.file("\xE4\xB8\xAD\xE6\x96\x87"), test::Bytes{'o', 'k'});
  const std::string wide = test::wide_path(u"\u4E2D\u6587");
  const std::string missing = test::wide_path(u"\u4E2D");
  const std::string broken = test::wide_path(u"\u4E2D\xD83D");
  const struct {
    const char* path;
    std::size_t fail_at;  // allocation refused, 0: none
    int error;            // 0: the call succeeds
  } cases[] = {
      {wide.c_str(), 0, 0},
      {"\xE4\xB8\xAD\xE6\x96\x87", 0, 0},
      {missing.c_str(), 0, ENOENT},
      {broken.c_str(), 0, EINVAL},
      {nullptr, 0, EINVAL},
      {wide.c_str(), 1, ENOMEM},
  };
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    struct stat status {};
    errno = 0;
    int stat_result = 0;
    int fd = 0;
    int stat_error = 0;
    {
      test::CountingHooks hooks(c.fail_at);
      stat_result = u_stat_path(c.path, &status);
      stat_error = errno;
    }
    {
      test::CountingHooks hooks(c.fail_at);
      fd = u_open_path_descriptor(c.path, O_RDONLY | O_CLOEXEC);
    }
    EXPECT_EQ(fd < 0 ? errno : 0, c.error);
    EXPECT_EQ(stat_result == 0 ? 0 : stat_error, c.error);
    if (c.error == 0) {
      EXPECT_EQ(status.st_size, 2);
    }
    if (fd >= 0) close(fd);
  }
  ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
