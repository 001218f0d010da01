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
    std::string path;
    const char* utf8;  // null: unusable
  } cases[] = {
      {"FF FE mark", "\xFF\xFE\x2D\x4E\x87\x65", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"FE FF mark", "\xFE\xFF\x2D\x4E\x87\x65", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"two-byte UTF-8", "\xFF\xFE\xE9\x01", "\xC7\xA9"},
      {"surrogate pair", "\xFF\xFE\x3D\xD8\x01\xDE", "\xF0\x9F\x98\x81"},
      {"just the mark", "\xFF\xFE", ""},
      {"high surrogate at the end", "\xFF\xFE\x2D\x4E\x3D\xD8", nullptr},
      {"high surrogate before a plain unit", "\xFF\xFE\x3D\xD8\x2D\x4E", nullptr},
      {"lone low surrogate", "\xFF\xFE\x01\xDE\x2D\x4E", nullptr},
      {"odd trailing byte", "\xFF\xFE\x2D\x4E\x41", nullptr},
      {"high surrogate then odd byte", "\xFF\xFE\x3D\xD8\x41", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(u_path_is_wide(c.path.c_str()));
    test::CountingHooks hooks;
    {
      const NativePath native(c.path.c_str());
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

TEST(NativePath, AllocationFailureLeavesNoName) {
  test::CountingHooks hooks(1);
  const NativePath native("\xFF\xFE\x2D\x4E");
  EXPECT_EQ(native.get(), nullptr);
  EXPECT_TRUE(native.out_of_memory());
  EXPECT_FALSE(NativePath("\xFF\xFE\x2D\x4E\x41").out_of_memory());
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

TEST(OpenPath, OpensTheFileNamedByAWidePath) {
  // A wide path cannot hold an ASCII unit (its high byte is NUL), so the
  // name is opened relative to the folder that holds it.
  test::TempDir dir;
  test::write_file(dir.file("\xE4\xB8\xAD\xE6\x96\x87"), test::Bytes{'o', 'k'});
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::FILE* file = u_open_path("\xFF\xFE\x2D\x4E\x87\x65", "rb");
  std::FILE* missing = u_open_path("\xFF\xFE\x2D\x4E", "rb");
  std::FILE* broken = u_open_path("\xFF\xFE\x2D\x4E\x41", "rb");
  ASSERT_EQ(chdir(previous), 0);
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
  const struct {
    const char* path;
    std::size_t fail_at;  // allocation refused, 0: none
    int error;            // 0: the call succeeds
  } cases[] = {
      {"\xFF\xFE\x2D\x4E\x87\x65", 0, 0},
      {"\xE4\xB8\xAD\xE6\x96\x87", 0, 0},
      {"\xFF\xFE\x2D\x4E", 0, ENOENT},
      {"\xFF\xFE\x2D\x4E\x41", 0, EINVAL},
      {nullptr, 0, EINVAL},
      {"\xFF\xFE\x2D\x4E\x87\x65", 1, ENOMEM},
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
