// Append-only files with optional exclusive flock (see append_file.h).
#include "platform/files/append_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krsoap::platform {

namespace {

// Closes a descriptor on scope exit unless released.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(FdGuard&& other) noexcept : fd_(other.release()) {}
  FdGuard& operator=(FdGuard&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    error_ = other.error_;
    other.fd_ = -1;
  }
  return *this;
}

FileCause AppendFile::Fail(int error, FileCause cause) noexcept {
  error_ = error;
  return cause;
}

void DirectoryCache::Close() noexcept {
  if (fd >= 0) ::close(fd);
  fd = -1;
  device = inode = 0;
}

FileCause AppendFile::Open(const char* path, Mode mode, DirectoryCache* cache) noexcept {
  Close();
  if (path == nullptr || *path == '\0') return Fail(ENOENT, FileCause::kBadPath);

  // Split into directory and last component without allocating: the trace
  // facility opens files while holding its lock and must not depend on the
  // heap for that.
  const char* slash = std::strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  if (*base == '\0') return Fail(EISDIR, FileCause::kBadPath);
  char dir[PATH_MAX];
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else if (slash == path) {
    std::strcpy(dir, "/");
  } else {
    size_t len = static_cast<size_t>(slash - path);
    if (len >= sizeof(dir)) return Fail(ENAMETOOLONG, FileCause::kBadPath);
    std::memcpy(dir, path, len);
    dir[len] = '\0';
  }

  struct stat st;
  int held_dir = -1;
  bool from_cache = false;
  if (cache != nullptr && cache->fd >= 0) {
    // One lstat-like look at the path: still the directory we hold?
    if (::fstatat(AT_FDCWD, dir, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      int e = errno;
      cache->Close();
      return Fail(e, e == ENOENT ? FileCause::kBadPath : FileCauseFromErrno(e));
    }
    if (S_ISDIR(st.st_mode) && st.st_dev == cache->device && st.st_ino == cache->inode) {
      held_dir = cache->fd;
      from_cache = true;
    } else {
      cache->Close();
    }
  }
  FdGuard dir_fd(-1);
  if (held_dir < 0) {
    // O_PATH|O_NOFOLLOW opens a symbolic link itself instead of its target,
    // so a link in place of the directory is seen and refused, not followed.
    dir_fd = FdGuard(::open(dir, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (dir_fd.get() < 0) {
      int e = errno;
      return Fail(e, e == ENOENT ? FileCause::kBadPath : FileCauseFromErrno(e));
    }
    if (::fstat(dir_fd.get(), &st) != 0) return Fail(errno, FileCauseFromErrno(errno));
    if (S_ISLNK(st.st_mode)) return Fail(ELOOP, FileCause::kAccessDenied);
    if (!S_ISDIR(st.st_mode)) return Fail(ENOTDIR, FileCause::kBadPath);
    if (cache != nullptr) {
      cache->device = static_cast<uint64_t>(st.st_dev);
      cache->inode = static_cast<uint64_t>(st.st_ino);
      cache->fd = dir_fd.release();
      held_dir = cache->fd;
    } else {
      held_dir = dir_fd.get();
    }
  }

  int flags = O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  flags |= mode == Mode::kExclusive ? O_RDWR : O_WRONLY;
  int fd;
  do {
    fd = ::openat(held_dir, base, flags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    if (e == ENOENT && from_cache) {
      // The held directory was removed and its inode number reused by a new
      // directory at the same path: forget it and look again, once.
      cache->Close();
      return Open(path, mode, cache);
    }
    // With O_CREAT the file itself cannot be "not found": the directory went.
    if (e == ENOENT) return Fail(e, FileCause::kBadPath);
    // ENXIO: a FIFO without a reader or a device, where a file was expected.
    if (e == ENXIO) return Fail(e, FileCause::kInvalidFile);
    return Fail(e, FileCauseFromErrno(e));
  }
  FdGuard file(fd);
  if (::fstat(fd, &st) != 0) return Fail(errno, FileCauseFromErrno(errno));
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL, FileCause::kInvalidFile);

  if (mode == Mode::kExclusive) {
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int e = errno;
      return Fail(e, (e == EWOULDBLOCK || e == EAGAIN) ? FileCause::kSharingViolation
                                                        : FileCauseFromErrno(e));
    }
  }
  fd_ = file.release();
  error_ = 0;
  return FileCause::kNone;
}

FileCause AppendFile::Append(const void* data, size_t size) noexcept {
  if (fd_ < 0) return Fail(EBADF, FileCause::kInvalidFile);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno, FileCauseFromErrno(errno));
    }
    if (n == 0) return Fail(EIO, FileCause::kHardIO);
    p += n;
    size -= static_cast<size_t>(n);
  }
  error_ = 0;
  return FileCause::kNone;
}

void AppendFile::Close() noexcept {
  if (fd_ >= 0) {
    // Closing the last descriptor of the open file releases the flock.
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace krsoap::platform
