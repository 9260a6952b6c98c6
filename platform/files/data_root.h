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
// (0700). Returns 0 or an errno value. An existing root is left as it is,
// unless it is a symbolic link or not a directory (ENOTDIR).
int EnsureDataRoot();

// Maps a Windows path the system builds ("C:\KRSP0123.trc",
// "D:\work\Errors\x") onto this platform: a leading "C:\" or "c:\" becomes the
// data root, every backslash becomes '/'. Other paths only get their
// backslashes turned into slashes.
std::string MapWindowsPath(const std::string& path);

}  // namespace krsoap::platform
