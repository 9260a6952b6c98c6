// The data root: the one directory that holds everything krsoap keeps on a
// machine (registry, embedded queue managers, trace, error and status files).
//
// It is $KRSOAP_HOME when set and not empty, else $XDG_DATA_HOME/krsoap, else
// $HOME/.local/share/krsoap. It plays the part of the Windows system drive: a
// file the Windows code writes to "C:\name" lives at DataRoot()/name.
#pragma once

#include <string>

namespace krsoap::platform {

// The data root path, without a trailing slash. Read from the environment on
// every call, so a test that changes KRSOAP_HOME sees the new root at once.
std::string DataRoot();

// Creates the data root (and missing parents) with owner-only permissions
// (0700). Returns 0 or an errno value: ENOTDIR when it is a symbolic link or
// not a directory, EPERM when CheckDirectoryTrust refuses it (with the
// reason in *problem). An existing root keeps its owner and is never made
// more open; read and search bits for others are taken away.
int EnsureDataRoot(std::string* problem = nullptr);

// Makes a directory inside the data root for this process's user alone
// (0700). Returns 0 when it was made or is a directory already, else an errno
// value: ENOTDIR when something else (a symbolic link, a file) has the name.
int MakePrivateDirectory(const std::string& path);

// Whether `dir` may be trusted to hold what this process reads and loads (a
// registry names the libraries a root-run host loads): `dir` and every
// directory above it, up to "/", must be owned by this process's user or by
// root, `dir` must be writable by its owner alone, and a directory above it
// only by its owner too, unless it is a root-owned directory with the sticky
// bit (as /tmp). Symbolic links on the way count by their own owner and by
// where they lead. A `dir` that does not exist yet is judged by the
// directories above it. Returns 0, or EPERM with one line naming the first
// directory that fails and why in *problem (EACCES when a directory cannot
// be examined).
int CheckDirectoryTrust(const std::string& dir, std::string* problem);

// Maps a Windows path the system builds ("C:\KRSP0123.trc",
// "D:\work\Errors\x") onto this platform: a leading "C:\" or "c:\" becomes the
// data root, every backslash becomes '/'. Other paths only get their
// backslashes turned into slashes.
std::string MapWindowsPath(const std::string& path);

}  // namespace krsoap::platform
