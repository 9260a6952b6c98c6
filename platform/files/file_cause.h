// File-failure causes: the codes a Windows file exception carries, and the
// mapping of this platform's errno values onto them.
//
// The trace facility writes these codes into its error file, so the numbers
// are fixed: 0 none, 1 generic, 2 file not found, 3 bad path, 4 too many open
// files, 5 access denied, 6 invalid file, 7 remove current directory,
// 8 directory full, 9 bad seek, 10 hard I/O, 11 sharing violation, 12 lock
// violation, 13 disk full, 14 end of file.
#pragma once

namespace krsoap::platform {

enum class FileCause : int {
  kNone = 0,
  kGeneric = 1,
  kFileNotFound = 2,
  kBadPath = 3,
  kTooManyOpenFiles = 4,
  kAccessDenied = 5,
  kInvalidFile = 6,
  kRemoveCurrentDir = 7,
  kDirectoryFull = 8,
  kBadSeek = 9,
  kHardIO = 10,
  kSharingViolation = 11,
  kLockViolation = 12,
  kDiskFull = 13,
  kEndOfFile = 14,
};

// Maps an errno value onto a cause, without context:
//   0 -> none; ENOENT -> file not found; ENOTDIR, ENAMETOOLONG -> bad path;
//   EMFILE, ENFILE -> too many open files; EACCES, EPERM, EROFS, EISDIR,
//   ETXTBSY and ELOOP (a symbolic link met where none may be followed) ->
//   access denied; EBADF -> invalid file; EMLINK -> directory full;
//   ESPIPE, EOVERFLOW -> bad seek; EIO, ENXIO, ENODEV -> hard I/O;
//   EWOULDBLOCK/EAGAIN (another holder's lock) -> sharing violation;
//   ENOLCK, EDEADLK -> lock violation; ENOSPC, EDQUOT, EFBIG -> disk full;
//   anything else -> generic.
// Callers that know more (an ENOENT while creating a file can only mean a
// missing directory) refine the result themselves; see append_file.h.
FileCause FileCauseFromErrno(int error);

// Short English name of a cause ("sharing violation"), for messages.
const char* FileCauseName(FileCause cause);

}  // namespace krsoap::platform
