#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/output_file.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lib/src/output_file_faults.h"
#include "programs/signal_cleanup.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::listing;

// The unnamed temporary, then the hidden name.
const unsigned TEMPORARIES[] = {0u, OUTPUT_NAMED_TEMPORARY};

std::string text_of_bytes(const test::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string text_of(const std::string& path) {
  const test::Bytes bytes = test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

void put_text(const std::string& path, const std::string& text) {
  test::write_file(path, test::Bytes(text.begin(), text.end()));
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

ErrorCode write_text(OutputFile* file, const std::string& text) {
  return output_file_write(file, text.data(), text.size());
}

// The system calls named by faults fail while it lives.
struct Faults {
  explicit Faults(unsigned faults) { output_file_faults = faults; }
  ~Faults() { output_file_faults = 0; }
};

// New files get a known mode whatever the caller's umask.
class OutputFileTest : public testing::Test {
 protected:
  OutputFileTest() : saved_umask_(umask(022)) {}
  ~OutputFileTest() override { umask(saved_umask_); }
  test::TempDir dir_;
  mode_t saved_umask_;
};

TEST_F(OutputFileTest, NewFileAppearsOnlyAtCommit) {
  for (const std::string& name : {std::string("out.dat"), std::string(NAME_MAX, 'n')}) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(name.substr(0, 8) + " flags " + std::to_string(temporary));
      test::TempDir dir;
      OutputFile file;
      ASSERT_EQ(output_file_open(dir.file(name).c_str(), temporary, &file), NO_ERROR);
      EXPECT_FALSE(file.in_place || file.in_order || file.name_taken);
      EXPECT_TRUE(temporary == 0 || !file.unnamed);
      ASSERT_EQ(write_text(&file, "abc"), NO_ERROR);
      ASSERT_EQ(write_text(&file, "def"), NO_ERROR);
      const std::set<std::string> before = listing(dir.path());
      if (file.unnamed) {
        EXPECT_TRUE(before.empty());
      } else {
        ASSERT_EQ(before.size(), 1u);
        std::string prefix = ".";
        prefix.append(name, 0, NAME_MAX - 8).push_back('.');
        EXPECT_EQ(before.begin()->rfind(prefix, 0), 0u);
        EXPECT_LE(before.begin()->size(), std::size_t{NAME_MAX});
      }
      ASSERT_EQ(output_file_commit(&file), NO_ERROR);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(listing(dir.path()), std::set<std::string>{name});
      EXPECT_EQ(text_of(dir.file(name)), "abcdef");
      EXPECT_EQ(mode_of(dir.file(name)), 0644u);
    }
  }
}

TEST_F(OutputFileTest, DiscardLeavesTheFolderAsItWas) {
  for (const unsigned flags : {0u, unsigned{OUTPUT_REPLACE}}) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(flags | temporary);
      test::TempDir dir;
      put_text(dir.file("keep.txt"), "keep");
      if (flags != 0) put_text(dir.file("out.dat"), "old");
      const std::set<std::string> before = listing(dir.path());
      OutputFile file;
      ASSERT_EQ(output_file_open(dir.file("out.dat").c_str(), flags | temporary, &file), NO_ERROR);
      ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
      output_file_discard(&file);
      output_file_discard(&file);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(listing(dir.path()), before);
      EXPECT_TRUE(flags == 0 || text_of(dir.file("out.dat")) == "old");
    }
  }
}

TEST_F(OutputFileTest, CommitOntoANameThatAppearedMeanwhile) {
  const struct {
    unsigned flags;
    ErrorCode code;
    const char* content;
  } cases[] = {{0u, ERR_CANT_CREATE_FILE, "old"}, {OUTPUT_REPLACE, NO_ERROR, "new"}};
  for (const auto& c : cases) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(c.flags | temporary);
      test::TempDir dir;
      OutputFile file;
      ASSERT_EQ(output_file_open(dir.file("out.dat").c_str(), c.flags | temporary, &file), NO_ERROR);
      ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
      put_text(dir.file("out.dat"), "old");
      EXPECT_EQ(output_file_commit(&file), c.code);
      EXPECT_EQ(file.name_taken, c.code != NO_ERROR);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(text_of(dir.file("out.dat")), c.content);
      EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.dat"});
    }
  }
}

TEST_F(OutputFileTest, ExistingFileNeedsReplace) {
  put_text(dir_.file("out.dat"), "old");
  fs::create_symlink("out.dat", dir_.file("link"));
  const std::set<std::string> before = listing(dir_.path());
  for (const char* name : {"out.dat", "link"}) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(name);
      test::CountingHooks hooks;
      OutputFile file;
      EXPECT_EQ(output_file_open(dir_.file(name).c_str(), temporary, &file), ERR_CANT_CREATE_FILE);
      EXPECT_TRUE(file.name_taken);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(hooks.live_blocks(), 0u);
      EXPECT_EQ(listing(dir_.path()), before);
      output_file_discard(&file);  // should a faulty open have succeeded
    }
  }
}

TEST_F(OutputFileTest, ReplacementKeepsTheOldModeAndContentUntilCommit) {
  for (const mode_t mode : {0640u, 0600u, 0444u, 0751u}) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(temporary));
      const std::string path = dir_.file("out.dat");
      put_text(path, "old");
      ASSERT_EQ(chmod(path.c_str(), mode), 0);
      OutputFile file;
      ASSERT_EQ(output_file_open(path.c_str(), OUTPUT_REPLACE | temporary, &file), NO_ERROR);
      ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
      EXPECT_EQ(text_of(path), "old");
      ASSERT_EQ(output_file_commit(&file), NO_ERROR);
      EXPECT_EQ(text_of(path), "new");
      EXPECT_EQ(mode_of(path), mode);
      EXPECT_EQ(listing(dir_.path()), std::set<std::string>{"out.dat"});
      fs::remove(path);
    }
  }
  // A new file's mode follows the umask.
  umask(027);
  OutputFile file;
  ASSERT_EQ(output_file_open(dir_.file("new.dat").c_str(), OUTPUT_REPLACE, &file), NO_ERROR);
  ASSERT_EQ(output_file_commit(&file), NO_ERROR);
  EXPECT_EQ(mode_of(dir_.file("new.dat")), 0640u);
}

TEST_F(OutputFileTest, LinksLeadToTheirTargetAndStay) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link, target
    const char* path;
    const char* target;
  } cases[] = {
      {"relative", {{"l", "t.dat"}}, "l", "t.dat"},
      {"absolute", {{"l", "@/sub/t.dat"}}, "l", "sub/t.dat"},
      // The second link's target is relative to its own folder.
      {"chain", {{"l", "sub/l2"}, {"sub/l2", "t.dat"}}, "l", "sub/t.dat"},
      {"chain through a relative folder", {{"l", "sub/l2"}, {"sub/l2", "../sub/t.dat"}}, "l", "sub/t.dat"},
      // Never followed to create a file: the link may be another user's.
      {"dangling", {{"l", "new.dat"}}, "l", nullptr},
      {"dangling into a folder", {{"sub/l", "../new.dat"}}, "sub/l", nullptr},
      {"dangling through a chain", {{"l", "sub/l2"}, {"sub/l2", "new.dat"}}, "l", nullptr},
  };
  for (const auto& c : cases) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(c.name);
      test::TempDir dir;
      fs::create_directory(dir.file("sub"));
      put_text(dir.file("t.dat"), "old");
      put_text(dir.file("sub/t.dat"), "old");
      const auto link_text = [&](const std::string& target) {
        return target[0] == '@' ? dir.path() + target.substr(1) : target;
      };
      for (const auto& [link, target] : c.links) fs::create_symlink(link_text(target), dir.file(link));
      OutputFile file;
      const ErrorCode opened = output_file_open(dir.file(c.path).c_str(), OUTPUT_REPLACE | temporary, &file);
      EXPECT_EQ(file.dangling_link, c.target == nullptr);
      if (c.target == nullptr) {
        EXPECT_EQ(opened, ERR_CANT_CREATE_FILE);
        EXPECT_FALSE(fs::exists(dir.file("new.dat")));
      } else {
        ASSERT_EQ(opened, NO_ERROR);
        ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
        ASSERT_EQ(output_file_commit(&file), NO_ERROR);
        EXPECT_EQ(text_of(dir.file(c.target)), "new");
      }
      for (const auto& [link, target] : c.links) {
        EXPECT_TRUE(fs::is_symlink(dir.file(link)));
        EXPECT_EQ(fs::read_symlink(dir.file(link)).string(), link_text(target));
      }
      for (const std::string& name : listing(dir.path())) EXPECT_NE(name[0], '.');
    }
  }
}

TEST_F(OutputFileTest, NamesThatCannotBeWrittenFailWithoutHanging) {
  fs::create_directory(dir_.file("folder"));
  ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0644), 0);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, dir_.file("sock").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  put_text(dir_.file("file"), "old");
  fs::create_symlink("loop2", dir_.file("loop1"));
  fs::create_symlink("loop1", dir_.file("loop2"));
  const std::set<std::string> before = listing(dir_.path());
  const std::string too_long(NAME_MAX + 1, 'n');
  for (const std::string name :
       {"folder", "fifo", "sock", "missing/out.dat", "file/out.dat", "out.dat/", "loop1", too_long.c_str()}) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(name.substr(0, 16));
      OutputFile file;
      EXPECT_EQ(output_file_open(dir_.file(name).c_str(), OUTPUT_REPLACE | temporary, &file),
                ERR_CANT_CREATE_FILE);
      EXPECT_FALSE(file.name_taken);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(listing(dir_.path()), before);
      output_file_discard(&file);
    }
  }
  close(listener);
  OutputFile file;
  EXPECT_EQ(output_file_open("", 0, &file), ERR_CANT_CREATE_FILE);
  EXPECT_EQ(output_file_open(test::wide_path(u"\u4E2D\xD83D").c_str(), 0, &file), ERR_CANT_CREATE_FILE);
  EXPECT_EQ(output_file_open(nullptr, 0, &file), ERR_INVALID_PARAM);
  EXPECT_EQ(output_file_open("x", 0, nullptr), ERR_INVALID_PARAM);
  EXPECT_EQ(output_file_write(&file, "x", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(output_file_commit(&file), ERR_INVALID_PARAM);
  output_file_discard(&file);
  output_file_discard(nullptr);
}

TEST_F(OutputFileTest, CharacterDevicesAreWrittenInPlaceAndInOrder) {
  const struct {
    const char* path;
    ErrorCode write;
  } cases[] = {{"/dev/null", NO_ERROR}, {"/dev/full", ERR_CANT_WRITE_FILE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    OutputFile file;
    ASSERT_EQ(output_file_open(c.path, 0, &file), NO_ERROR);
    EXPECT_TRUE(file.in_place && file.in_order);
    EXPECT_EQ(output_file_write_at(&file, "x", 1, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(write_text(&file, "abc"), c.write);
    EXPECT_EQ(output_file_commit(&file), NO_ERROR);
    EXPECT_TRUE(fs::is_character_file(c.path));
  }
}

TEST_F(OutputFileTest, PositionalWritesLeaveThePositionAlone) {
  for (const unsigned temporary : TEMPORARIES) {
    SCOPED_TRACE(temporary);
    const std::string path = dir_.file("out.dat");
    OutputFile file;
    ASSERT_EQ(output_file_open(path.c_str(), OUTPUT_REPLACE | temporary, &file), NO_ERROR);
    ASSERT_EQ(output_file_write_at(&file, "cd", 2, 2), NO_ERROR);
    ASSERT_EQ(output_file_write_at(&file, "ab", 2, 0), NO_ERROR);
    ASSERT_EQ(write_text(&file, "x"), NO_ERROR);
    EXPECT_EQ(output_file_write_at(&file, "y", 1, INT64_MAX), ERR_INVALID_PARAM);
    EXPECT_EQ(output_file_write_at(&file, "y", 1, UINT64_MAX), ERR_INVALID_PARAM);
    ASSERT_EQ(output_file_commit(&file), NO_ERROR);
    EXPECT_EQ(text_of(path), "xbcd");
  }
}

TEST_F(OutputFileTest, HiddenNamesDoNotCollide) {
  std::vector<OutputFile> files(20);
  for (OutputFile& file : files) {
    ASSERT_EQ(output_file_open(dir_.file("out.dat").c_str(), OUTPUT_NAMED_TEMPORARY, &file), NO_ERROR);
  }
  EXPECT_EQ(listing(dir_.path()).size(), files.size());
  for (OutputFile& file : files) output_file_discard(&file);
  EXPECT_TRUE(listing(dir_.path()).empty());
}

// Moves into a folder for its lifetime: a wide path cannot name one.
struct InFolder {
  explicit InFolder(const std::string& folder) : previous(fs::current_path()) { fs::current_path(folder); }
  ~InFolder() { fs::current_path(previous); }
  fs::path previous;
};

TEST_F(OutputFileTest, EveryAllocationFailureIsReportedAndCleanedUp) {
  put_text(dir_.file("old.dat"), "old");
  fs::create_symlink("old.dat", dir_.file("link"));
  const InFolder in_folder(dir_.path());
  const std::string wide = test::wide_path(u"\u4E2D\u6587");
  const struct {
    const char* path;
    unsigned flags;
  } cases[] = {{"new.dat", 0u},
               {"other.dat", OUTPUT_NAMED_TEMPORARY},
               {"old.dat", OUTPUT_REPLACE},
               {"link", OUTPUT_REPLACE | OUTPUT_NAMED_TEMPORARY},
               {wide.c_str(), OUTPUT_REPLACE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::size_t fail_at = 1;
    for (;; ++fail_at) {
      const std::set<std::string> before = listing(".");
      test::CountingHooks hooks(fail_at);
      OutputFile file;
      const ErrorCode code = output_file_open(c.path, c.flags, &file);
      if (code == NO_ERROR) {
        EXPECT_EQ(output_file_commit(&file), NO_ERROR);
        EXPECT_EQ(hooks.live_blocks(), 0u);
        break;
      }
      EXPECT_EQ(code, ERR_NO_MEM);
      EXPECT_EQ(hooks.live_blocks(), 0u);
      EXPECT_EQ(listing("."), before);
      ASSERT_LT(fail_at, 10u);
    }
    EXPECT_GT(fail_at, 3u);
  }
  EXPECT_EQ(text_of("old.dat"), "");
  EXPECT_TRUE(fs::is_symlink("link"));
}

// The file a link leads to is replaced by another on the same disk between
// the look at where the link leads and the check of that name: the open
// fails rather than take the one file's place and the other's attributes.
TEST_F(OutputFileTest, LinkTargetSwappedDuringTheLookIsRefused) {
  put_text(dir_.file("target.dat"), "old");
  fs::create_symlink("target.dat", dir_.file("link"));
  static std::string folder;
  folder = dir_.path();
  output_file_before_recheck = [] {
    output_file_before_recheck = nullptr;
    fs::rename(folder + "/target.dat", folder + "/away.dat");
    put_text(folder + "/target.dat", "other");
  };
  OutputFile file;
  errno = 0;
  const ErrorCode code = output_file_open(dir_.file("link").c_str(), OUTPUT_REPLACE, &file);
  const int reason = errno;
  output_file_before_recheck = nullptr;
  EXPECT_EQ(code, ERR_CANT_CREATE_FILE);
  EXPECT_EQ(reason, EAGAIN);
  if (code == NO_ERROR) output_file_discard(&file);
  EXPECT_EQ(text_of(dir_.file("away.dat")), "old");
  EXPECT_EQ(text_of(dir_.file("target.dat")), "other");
  EXPECT_TRUE(fs::is_symlink(dir_.file("link")));
}

TEST_F(OutputFileTest, FolderRefusingNewFilesIsWrittenInPlace) {
  // CTest runs this as nobody when it runs as root (tests/unprivileged.sh).
  if (geteuid() == 0) GTEST_SKIP() << "root may create files in any folder";
  // Longer than the new contents, which must not end in its rest.
  const std::string OLD = "the old contents";
  const std::string folder = dir_.file("locked");
  fs::create_directory(folder);
  put_text(folder + "/out.dat", OLD);
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  const struct {
    const char* name;
    unsigned flags;
    ErrorCode code;
    bool in_place;
  } cases[] = {{"out.dat", OUTPUT_REPLACE, NO_ERROR, true},
               {"out.dat", 0u, ERR_CANT_CREATE_FILE, false},
               {"new.dat", OUTPUT_REPLACE, ERR_CANT_CREATE_FILE, false}};
  for (const auto& c : cases) {
    for (const unsigned temporary : TEMPORARIES) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.flags | temporary));
      put_text(folder + "/out.dat", OLD);
      OutputFile file;
      ASSERT_EQ(output_file_open((folder + "/" + c.name).c_str(), c.flags | temporary, &file), c.code);
      EXPECT_EQ(file.in_place, c.in_place);
      if (c.code != NO_ERROR) continue;
      // Untouched until the first write: a caller that finds its input bad
      // first and discards leaves the old file whole.
      EXPECT_EQ(text_of(folder + "/out.dat"), OLD);
      output_file_discard(&file);
      EXPECT_EQ(text_of(folder + "/out.dat"), OLD);
      ASSERT_EQ(output_file_open((folder + "/" + c.name).c_str(), c.flags | temporary, &file), c.code);
      ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
      EXPECT_EQ(output_file_commit(&file), NO_ERROR);
      EXPECT_EQ(text_of(folder + "/out.dat"), "new");
      EXPECT_EQ(listing(folder), std::set<std::string>{"out.dat"});
      // Committed with nothing written, it is emptied as a new file would be.
      ASSERT_EQ(output_file_open((folder + "/" + c.name).c_str(), c.flags | temporary, &file), c.code);
      EXPECT_EQ(output_file_commit(&file), NO_ERROR);
      EXPECT_EQ(text_of(folder + "/out.dat"), "");
      EXPECT_EQ(listing(folder), std::set<std::string>{"out.dat"});
    }
  }
}

// File systems without unnamed files, hard links, the no-replace rename or
// Unix modes and owners (FAT, SMB, FUSE) still get whole files, put in place
// only at commit, never over a name taken meanwhile without OUTPUT_REPLACE.
TEST_F(OutputFileTest, EveryFallbackStillWritesWholeFiles) {
  const unsigned fault_sets[] = {
      OUTPUT_FAULT_UNNAMED,
      OUTPUT_FAULT_LINK,
      OUTPUT_FAULT_UNNAMED | OUTPUT_FAULT_LINK,
      OUTPUT_FAULT_LINK | OUTPUT_FAULT_RENAME_NOREPLACE,
      OUTPUT_FAULT_UNNAMED | OUTPUT_FAULT_LINK | OUTPUT_FAULT_RENAME_NOREPLACE,
      OUTPUT_FAULT_MODE | OUTPUT_FAULT_OWNER,
  };
  const struct {
    const char* name;
    unsigned flags;
    bool old;      // out.dat holds "old" (mode 0640) before the open
    bool appears;  // out.dat appears, holding "old", before the commit
    ErrorCode code;
    const char* content;
  } cases[] = {
      {"new", 0u, false, false, NO_ERROR, "new"},
      {"replaced", OUTPUT_REPLACE, true, false, NO_ERROR, "new"},
      {"name taken meanwhile", 0u, false, true, ERR_CANT_CREATE_FILE, "old"},
  };
  for (const unsigned faults : fault_sets) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", faults " + std::to_string(faults));
      const Faults injected(faults);
      test::TempDir dir;
      const std::string path = dir.file("out.dat");
      if (c.old) {
        put_text(path, "old");
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
      }
      OutputFile file;
      ASSERT_EQ(output_file_open(path.c_str(), c.flags, &file), NO_ERROR);
      ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
      EXPECT_EQ(fs::exists(path) ? text_of(path) : "", c.old ? "old" : "");
      if (c.appears) put_text(path, "old");
      EXPECT_EQ(output_file_commit(&file), c.code);
      EXPECT_EQ(file.name_taken, c.appears);
      EXPECT_EQ(text_of(path), c.content);
      EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.dat"});
      // Where the mode cannot be kept the file stays private, never wider.
      const mode_t kept = (faults & OUTPUT_FAULT_MODE) != 0 ? 0600u : 0640u;
      EXPECT_EQ(mode_of(path), c.old ? kept : 0644u);
    }
  }
}

// A program's handler removes every hidden temporary and dies by the
// signal; the old file stays. Run in a child, which the signal ends.
TEST_F(OutputFileTest, SignalsRemoveHiddenTemporaries) {
  for (const int number : signal_cleanup::SIGNALS) {
    SCOPED_TRACE(number);
    test::TempDir dir;
    put_text(dir.file("old.dat"), "old");
    const std::set<std::string> before = listing(dir.path());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(60);  // a child that is never signalled still ends
      output_file_faults = OUTPUT_FAULT_UNNAMED;
      signal_cleanup::install();
      OutputFile files[2];
      if (output_file_open(dir.file("old.dat").c_str(), OUTPUT_REPLACE, &files[0]) != NO_ERROR ||
          output_file_open(dir.file("new.dat").c_str(), 0, &files[1]) != NO_ERROR) {
        _exit(1);
      }
      for (;;) pause();
    }
    for (int attempt = 0; attempt < 10000 && listing(dir.path()).size() < before.size() + 2; ++attempt)
      usleep(1000);
    kill(child, number);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << status;
    EXPECT_EQ(listing(dir.path()), before);
    EXPECT_EQ(text_of(dir.file("old.dat")), "old");
  }
  // In process: the outputs whose temporaries went fail at commit.
  const Faults injected(OUTPUT_FAULT_UNNAMED);
  OutputFile file;
  ASSERT_EQ(output_file_open(dir_.file("out.dat").c_str(), 0, &file), NO_ERROR);
  output_file_remove_temporaries();
  EXPECT_TRUE(listing(dir_.path()).empty());
  EXPECT_EQ(output_file_commit(&file), ERR_CANT_CREATE_FILE);
  EXPECT_TRUE(listing(dir_.path()).empty());
}

}  // namespace

// What an output must never be written over: the input it is made from
// (through any name) and, without OUTPUT_REPLACE, any existing file or
// block device. output_file_check and output_file_open_apart agree on it.
TEST_F(OutputFileTest, TheInputAndExistingFilesAreSpared) {
  put_text(dir_.file("in.xdt"), "input");
  put_text(dir_.file("other.dat"), "other");
  fs::create_hard_link(dir_.file("in.xdt"), dir_.file("hard.xdt"));
  fs::create_symlink("in.xdt", dir_.file("soft.xdt"));
  const int input_fd = open(dir_.file("in.xdt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(input_fd, 0);
  struct stat input {};
  ASSERT_EQ(fstat(input_fd, &input), 0);
  const std::string through_fd = "/proc/self/fd/" + std::to_string(input_fd);
  const struct {
    std::string path;
    unsigned flags;
    bool is_input;
    bool name_taken;
  } cases[] = {
      {dir_.file("in.xdt"), OUTPUT_REPLACE, true, false},
      {dir_.file("in.xdt"), 0, true, true},
      {dir_.file("hard.xdt"), OUTPUT_REPLACE, true, false},
      {dir_.file("soft.xdt"), OUTPUT_REPLACE, true, false},
      {through_fd, OUTPUT_REPLACE, true, false},
      {test::wide_path(test::widen(dir_.file("hard.xdt"))), OUTPUT_REPLACE, true, false},
      {dir_.file("other.dat"), 0, false, true},
      {dir_.file("other.dat"), OUTPUT_REPLACE, false, false},
      {dir_.file("new.dat"), 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.c_str() + std::string(" flags ") + std::to_string(c.flags));
    OutputCheck check{};
    ASSERT_EQ(output_file_check(c.path.c_str(), c.flags, dir_.file("soft.xdt").c_str(), &check), NO_ERROR);
    EXPECT_EQ(check.is_input, c.is_input);
    EXPECT_EQ(check.name_taken, c.name_taken);
    const std::set<std::string> before = listing(dir_.path());
    OutputFile file;
    const ErrorCode code = output_file_open_apart(c.path.c_str(), c.flags, &input, &file);
    EXPECT_EQ(file.is_input, c.is_input);
    if (c.is_input || c.name_taken) {
      EXPECT_EQ(code, ERR_CANT_CREATE_FILE);
      EXPECT_EQ(errno, EEXIST);
      EXPECT_EQ(file.fd, -1);
      EXPECT_EQ(file.name_taken, !c.is_input && c.name_taken);
    } else {
      ASSERT_EQ(code, NO_ERROR);
      output_file_discard(&file);
    }
    EXPECT_EQ(listing(dir_.path()), before);
    EXPECT_EQ(text_of(dir_.file("in.xdt")), "input");
    EXPECT_EQ(text_of(dir_.file("other.dat")), "other");
  }
  // Without an input to spare, the input is one more existing file.
  OutputFile file;
  ASSERT_EQ(output_file_open_apart(dir_.file("hard.xdt").c_str(), OUTPUT_REPLACE, nullptr, &file), NO_ERROR);
  output_file_discard(&file);
  close(input_fd);
}

// A block device holds data as a file does: replaced only with
// OUTPUT_REPLACE, then written in place; never when it is the input.
TEST_F(OutputFileTest, BlockDevicesAreExistingFiles) {
  const test::LoopDevice device(dir_.file("disk.img"), test::Bytes{'o', 'l', 'd', ' ', 'd', 'i', 's', 'k'},
                                dir_.file("node"));
  if (device.node.empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
  for (const std::string& path : {device.path, device.node}) {
    SCOPED_TRACE(path);
    OutputCheck check{};
    ASSERT_EQ(output_file_check(path.c_str(), 0, nullptr, &check), NO_ERROR);
    EXPECT_TRUE(check.name_taken);
    OutputFile file;
    EXPECT_EQ(output_file_open(path.c_str(), 0, &file), ERR_CANT_CREATE_FILE);
    EXPECT_TRUE(file.name_taken);
    EXPECT_EQ(errno, EEXIST);
    // Another node of the device being read is the input.
    ASSERT_EQ(output_file_check(path.c_str(), OUTPUT_REPLACE, device.path.c_str(), &check), NO_ERROR);
    EXPECT_TRUE(check.is_input);
    EXPECT_FALSE(check.name_taken);
    struct stat input {};
    ASSERT_EQ(stat(device.node.c_str(), &input), 0);
    EXPECT_EQ(output_file_open_apart(path.c_str(), OUTPUT_REPLACE, &input, &file), ERR_CANT_CREATE_FILE);
    EXPECT_TRUE(file.is_input);
    EXPECT_EQ(text_of_bytes(device.first_bytes(8)), "old disk");
  }
  OutputFile file;
  ASSERT_EQ(output_file_open(device.node.c_str(), OUTPUT_REPLACE, &file), NO_ERROR);
  EXPECT_TRUE(file.in_place);
  EXPECT_FALSE(file.in_order);
  ASSERT_EQ(write_text(&file, "new"), NO_ERROR);
  ASSERT_EQ(output_file_commit(&file), NO_ERROR);
  EXPECT_EQ(text_of_bytes(device.first_bytes(8)), "new disk");
}
