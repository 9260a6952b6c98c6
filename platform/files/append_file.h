// Append-only text files that krsoap creates and shares with other writers:
// the trace file (held exclusively while a line is written) and the error and
// status files (appended to without a lock).
//
// Rules common to every file opened here: the file is created when missing,
// with mode 0600 (before the umask); an existing file is never truncated; a
// symbolic link is never followed, neither as the file itself nor as the
// directory that holds it (that directory must be a real directory: a link
// there is refused like a link in place of the file); only regular files are
// accepted, so a FIFO or device planted under the name can never block the
// writer. Failures come back as file-failure causes (file_cause.h), and the
// errno behind them stays readable through error().
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files/file_cause.h"

namespace krsoap::platform {

// A directory kept open between opens of files in it, for a writer that opens
// and closes its file for every record (the trace file) and should not also
// re-open and re-check the directory each time. It is checked again on every
// use: the path must still name, without a symbolic link, the very directory
// held open, or it is opened afresh; files are then opened relative to the
// held directory, so nothing is ever created through a link swapped in after
// the check. One cache serves one directory path. Trivially constructible (so
// it can live in constant-initialised state); Close() releases it.
struct DirectoryCache {
  int fd = -1;
  uint64_t device = 0;
  uint64_t inode = 0;
  void Close() noexcept;
};

class AppendFile {
 public:
  enum class Mode {
    // Write-only append, no lock: the Windows "at" open, shared with other
    // writers. Each Append is one write(2) at the end of the file.
    kShared,
    // Read and append under a non-blocking exclusive flock held until Close:
    // the Windows open without sharing. Meeting another holder's lock (another
    // process, or another open of the same file in this process) fails with
    // FileCause::kSharingViolation at once; it never waits.
    kExclusive,
  };

  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  AppendFile(AppendFile&& other) noexcept : fd_(other.fd_), error_(other.error_) { other.fd_ = -1; }
  AppendFile& operator=(AppendFile&& other) noexcept;

  // Opens `path` (closing any file already open). A missing directory gives
  // kBadPath (ENOENT while creating can only mean the directory is absent); a
  // symbolic link as the file or its directory gives kAccessDenied (ELOOP); a
  // directory component that is not a directory gives kBadPath; a name that is
  // not a regular file gives kInvalidFile.
  // With a `cache`, the directory of `path` is taken from it (see
  // DirectoryCache) instead of being opened and checked anew.
  FileCause Open(const char* path, Mode mode, DirectoryCache* cache = nullptr) noexcept;

  // Writes all `size` bytes at the end of the file, retrying short writes.
  FileCause Append(const void* data, size_t size) noexcept;

  // Closes the file and so releases the lock. Safe to call repeatedly.
  void Close() noexcept;

  bool is_open() const { return fd_ >= 0; }
  // errno of the last failure (0 after a success).
  int error() const { return error_; }

 private:
  FileCause Fail(int error, FileCause cause) noexcept;

  int fd_ = -1;
  int error_ = 0;
};

}  // namespace krsoap::platform
