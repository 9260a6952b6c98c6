// errno -> file-failure cause mapping (see file_cause.h).
#include "platform/files/file_cause.h"

#include <cerrno>

namespace krsoap::platform {

FileCause FileCauseFromErrno(int error) {
  switch (error) {
    case 0:
      return FileCause::kNone;
    case ENOENT:
      return FileCause::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return FileCause::kBadPath;
    case EMFILE:
    case ENFILE:
      return FileCause::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case ELOOP:
      return FileCause::kAccessDenied;
    case EBADF:
      return FileCause::kInvalidFile;
    case EMLINK:
      return FileCause::kDirectoryFull;
    case ESPIPE:
    case EOVERFLOW:
      return FileCause::kBadSeek;
    case EIO:
    case ENXIO:
    case ENODEV:
      return FileCause::kHardIO;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return FileCause::kSharingViolation;
    case ENOLCK:
    case EDEADLK:
      return FileCause::kLockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return FileCause::kDiskFull;
    default:
      return FileCause::kGeneric;
  }
}

const char* FileCauseName(FileCause cause) {
  switch (cause) {
    case FileCause::kNone: return "none";
    case FileCause::kGeneric: return "generic";
    case FileCause::kFileNotFound: return "file not found";
    case FileCause::kBadPath: return "bad path";
    case FileCause::kTooManyOpenFiles: return "too many open files";
    case FileCause::kAccessDenied: return "access denied";
    case FileCause::kInvalidFile: return "invalid file";
    case FileCause::kRemoveCurrentDir: return "remove current directory";
    case FileCause::kDirectoryFull: return "directory full";
    case FileCause::kBadSeek: return "bad seek";
    case FileCause::kHardIO: return "hard I/O error";
    case FileCause::kSharingViolation: return "sharing violation";
    case FileCause::kLockViolation: return "lock violation";
    case FileCause::kDiskFull: return "disk full";
    case FileCause::kEndOfFile: return "end of file";
  }
  return "unknown";
}

}  // namespace krsoap::platform
