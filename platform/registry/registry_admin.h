// Whole-tree registry operations for administrative tools (the krsoap reg
// command): rooted paths ("HKLM\SOFTWARE\..."), reading a key or subtree in
// one consistent snapshot, and the .reg text format, parsed completely before
// anything is applied and then applied in one transaction.
//
// The .reg text this module writes is UTF-8 without a byte-order mark, with
// CR LF line ends; it reads UTF-8 (with or without a byte-order mark) and
// UTF-16LE with a byte-order mark.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_store.h"

namespace krsoap::platform::regadmin {

// A key path under a hive, split from "HKLM\A\B" or "HKEY_LOCAL_MACHINE\A\B".
struct RootedPath {
  RegKeyId hive = 0;
  std::vector<RegName> path;
  std::string display;  // long hive name and the path as given: "HKEY_LOCAL_MACHINE\A\B"
};

// ERROR_SUCCESS, ERROR_INVALID_NAME (unknown hive), or the path errors of the
// registry calls (ERROR_BAD_PATHNAME, ERROR_INVALID_PARAMETER).
LONG ParseRootedPath(std::string_view text, RootedPath* out);

struct KeyDump {
  std::string path;  // display form, long hive name
  std::vector<RegValueRecord> values;  // in enumeration order
  std::vector<std::string> subkeys;    // names of the direct subkeys
};

// The key and, with `recursive`, every key below it (depth first, subkeys in
// name order), read in one snapshot. ERROR_FILE_NOT_FOUND when the key does
// not exist.
LONG DumpTree(const RootedPath& key, bool recursive, std::vector<KeyDump>* out);

// Whether the registry of the current data root may be used, as every
// registry call finds out first: ERROR_SUCCESS, ERROR_ACCESS_DENIED (the data
// root, or a directory above it, could be changed by someone other than this
// user or root) or ERROR_REGISTRY_CORRUPT, with one line naming the directory
// or the file in *problem. Lets a tool say so once, before it would draw its
// own conclusions from the failures ("no such queue manager").
LONG CheckRegistryStore(std::string* problem);

// Deletes every value of a key (its subkeys stay), in one transaction.
LONG DeleteAllValues(const RootedPath& key);

struct RegFileOp {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = kCreateKey;
  RootedPath key;
  RegName name;  // values only; empty for the default value
  DWORD type = 0;
  std::string data;  // raw bytes as stored (strings as UTF-16LE)
  int line = 0;
};

// Parses a whole .reg file. On failure returns ERROR_INVALID_DATA and a
// message naming the line ("line 7: bad hex byte 'zz'"); nothing is applied.
// Text is decoded strictly: invalid UTF-8 or UTF-16 and NUL characters are
// failures, never replaced or cut.
LONG ParseRegFile(std::string_view bytes, std::vector<RegFileOp>* ops, std::string* error);

// Applies parsed operations in one write transaction: all or nothing.
// Deleting a key or value that does not exist is not an error.
LONG ApplyRegFile(const std::vector<RegFileOp>& ops);

// Formats keys as .reg text (header, one section per key, CR LF).
std::string FormatRegFile(const std::vector<KeyDump>& keys);

// One value's data as "reg query" shows it ("0x1", "text", "00FF", ...).
std::string DisplayValue(DWORD type, const std::string& data);
// "REG_SZ", "REG_DWORD", ... ("REG_TYPE_0x%x" for others); and the reverse,
// 0xFFFFFFFF when unknown.
std::string TypeName(DWORD type);
DWORD TypeFromName(std::string_view name);

}  // namespace krsoap::platform::regadmin
