// The append-file helper and the errno -> cause mapping, on real files and
// with a real second process holding the lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/files/append_file.h"
#include "platform/files/file_cause.h"
#include "tests/support/test_home.h"

namespace {

using krsoap::platform::AppendFile;
using krsoap::platform::FileCause;
using krsoap::platform::FileCauseFromErrno;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FileCauses, ErrnoMapsOntoTheFileExceptionCodes) {
  EXPECT_EQ(FileCauseFromErrno(0), FileCause::kNone);
  EXPECT_EQ(FileCauseFromErrno(ENOENT), FileCause::kFileNotFound);
  EXPECT_EQ(FileCauseFromErrno(ENOTDIR), FileCause::kBadPath);
  EXPECT_EQ(FileCauseFromErrno(ENAMETOOLONG), FileCause::kBadPath);
  EXPECT_EQ(FileCauseFromErrno(EMFILE), FileCause::kTooManyOpenFiles);
  EXPECT_EQ(FileCauseFromErrno(ENFILE), FileCause::kTooManyOpenFiles);
  for (int e : {EACCES, EPERM, EROFS, ELOOP, EISDIR}) {
    EXPECT_EQ(FileCauseFromErrno(e), FileCause::kAccessDenied) << e;
  }
  EXPECT_EQ(FileCauseFromErrno(EBADF), FileCause::kInvalidFile);
  EXPECT_EQ(FileCauseFromErrno(ESPIPE), FileCause::kBadSeek);
  EXPECT_EQ(FileCauseFromErrno(EIO), FileCause::kHardIO);
  EXPECT_EQ(FileCauseFromErrno(EWOULDBLOCK), FileCause::kSharingViolation);
  EXPECT_EQ(FileCauseFromErrno(ENOLCK), FileCause::kLockViolation);
  EXPECT_EQ(FileCauseFromErrno(ENOSPC), FileCause::kDiskFull);
  EXPECT_EQ(FileCauseFromErrno(EDQUOT), FileCause::kDiskFull);
  EXPECT_EQ(FileCauseFromErrno(EINVAL), FileCause::kGeneric);
  EXPECT_EQ(static_cast<int>(FileCause::kSharingViolation), 11);
  EXPECT_EQ(static_cast<int>(FileCause::kEndOfFile), 14);
}

class AppendFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return home_.path() + "/" + name; }
  krsoap::test::ScopedHome home_;
};

TEST_F(AppendFileTest, CreatesOwnerOnlyAndAppendsWithoutTruncating) {
  std::string path = Path("f.txt");
  mode_t old = ::umask(022);
  {
    AppendFile f;
    ASSERT_EQ(f.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kNone);
    EXPECT_EQ(f.Append("one\r\n", 5), FileCause::kNone);
  }
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  {
    AppendFile f;
    ASSERT_EQ(f.Open(path.c_str(), AppendFile::Mode::kShared), FileCause::kNone);
    EXPECT_EQ(f.Append("two\r\n", 5), FileCause::kNone);
  }
  EXPECT_EQ(ReadAll(path), "one\r\ntwo\r\n");
}

TEST_F(AppendFileTest, MissingOrWrongDirectoriesAreBadPaths) {
  AppendFile f;
  EXPECT_EQ(f.Open(Path("no/such/dir/f.txt").c_str(), AppendFile::Mode::kExclusive), FileCause::kBadPath);
  EXPECT_EQ(f.error(), ENOENT);
  std::ofstream(Path("plain")) << "x";
  EXPECT_EQ(f.Open(Path("plain/f.txt").c_str(), AppendFile::Mode::kShared), FileCause::kBadPath);
  EXPECT_EQ(f.Open(Path("dir/").c_str(), AppendFile::Mode::kShared), FileCause::kBadPath);
  EXPECT_EQ(f.Open("", AppendFile::Mode::kShared), FileCause::kBadPath);
  EXPECT_FALSE(f.is_open());
}

TEST_F(AppendFileTest, SymbolicLinksAreNeverFollowed) {
  ASSERT_EQ(::mkdir(Path("real").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(Path("real").c_str(), Path("linkdir").c_str()), 0);
  std::ofstream(Path("real/target")) << "keep";
  ASSERT_EQ(::symlink(Path("real/target").c_str(), Path("linkfile").c_str()), 0);

  AppendFile f;
  // The directory that holds the file is a link.
  EXPECT_EQ(f.Open(Path("linkdir/f.txt").c_str(), AppendFile::Mode::kExclusive), FileCause::kAccessDenied);
  EXPECT_EQ(f.error(), ELOOP);
  // The file itself is a link (dangling or not).
  EXPECT_EQ(f.Open(Path("linkfile").c_str(), AppendFile::Mode::kShared), FileCause::kAccessDenied);
  ASSERT_EQ(::symlink(Path("real/absent").c_str(), Path("dangling").c_str()), 0);
  EXPECT_EQ(f.Open(Path("dangling").c_str(), AppendFile::Mode::kExclusive), FileCause::kAccessDenied);
  EXPECT_EQ(ReadAll(Path("real/target")), "keep");
  EXPECT_NE(::access(Path("real/absent").c_str(), F_OK), 0);
  EXPECT_NE(::access(Path("real/f.txt").c_str(), F_OK), 0);
}

TEST_F(AppendFileTest, OnlyRegularFilesAreAccepted) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  AppendFile f;
  // Would block forever on a FIFO without a reader if it were opened for write.
  EXPECT_EQ(f.Open(Path("fifo").c_str(), AppendFile::Mode::kShared), FileCause::kInvalidFile);
  EXPECT_EQ(f.Open(Path("fifo").c_str(), AppendFile::Mode::kExclusive), FileCause::kInvalidFile);
  ASSERT_EQ(::mkdir(Path("adir").c_str(), 0700), 0);
  EXPECT_EQ(f.Open(Path("adir").c_str(), AppendFile::Mode::kExclusive), FileCause::kAccessDenied);
}

TEST_F(AppendFileTest, ExclusiveOpensCollideInOneProcess) {
  std::string path = Path("x.trc");
  AppendFile first, second, shared;
  ASSERT_EQ(first.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kNone);
  EXPECT_EQ(second.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kSharingViolation);
  EXPECT_EQ(second.error(), EWOULDBLOCK);
  // A shared writer takes no lock and is not stopped by one.
  EXPECT_EQ(shared.Open(path.c_str(), AppendFile::Mode::kShared), FileCause::kNone);
  first.Close();
  EXPECT_EQ(second.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kNone);
  // Moving the open file keeps the lock with it.
  AppendFile moved(std::move(second));
  EXPECT_FALSE(second.is_open());
  EXPECT_EQ(first.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kSharingViolation);
}

TEST_F(AppendFileTest, HeldDirectoryIsCheckedAgainOnEveryOpen) {
  using krsoap::platform::DirectoryCache;
  std::string dir = Path("logs");
  std::string file = dir + "/f.trc";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  DirectoryCache cache;
  {
    AppendFile f;
    ASSERT_EQ(f.Open(file.c_str(), AppendFile::Mode::kExclusive, &cache), FileCause::kNone);
    f.Append("1", 1);
  }
  EXPECT_GE(cache.fd, 0);

  // Removed: a bad path, not a write into the deleted directory.
  ASSERT_EQ(::unlink(file.c_str()), 0);
  ASSERT_EQ(::rmdir(dir.c_str()), 0);
  AppendFile f;
  EXPECT_EQ(f.Open(file.c_str(), AppendFile::Mode::kExclusive, &cache), FileCause::kBadPath);

  // Made again (perhaps with the same inode number): the new one is used.
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(f.Open(file.c_str(), AppendFile::Mode::kExclusive, &cache), FileCause::kNone);
  f.Append("2", 1);
  f.Close();
  EXPECT_EQ(ReadAll(file), "2");

  // Replaced by a link after it was held: refused, the link's target untouched.
  std::string moved = Path("moved");
  ASSERT_EQ(::rename(dir.c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), dir.c_str()), 0);
  EXPECT_EQ(f.Open(file.c_str(), AppendFile::Mode::kExclusive, &cache), FileCause::kAccessDenied);
  EXPECT_EQ(ReadAll(moved + "/f.trc"), "2");
  cache.Close();
  EXPECT_EQ(cache.fd, -1);
}

TEST_F(AppendFileTest, AnotherProcessHoldingTheFileIsASharingViolation) {
  std::string path = Path("shared.trc");
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AppendFile f;
    char ok = f.Open(path.c_str(), AppendFile::Mode::kExclusive) == FileCause::kNone ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    char c;
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  AppendFile f;
  EXPECT_EQ(f.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kSharingViolation);
  (void)!::write(release[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(f.Open(path.c_str(), AppendFile::Mode::kExclusive), FileCause::kNone);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace
