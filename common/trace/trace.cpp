// The trace facility (see trace.h): module-wide state, the first-call
// registry reads, line building and the per-line open/lock/append/close.
//
// Everything after the switch test runs under the module's trace lock, and the
// buffers a line needs live in the module's state, so a traced line costs no
// heap memory once the file name is known. The state is constant-initialised
// and trivially destructible: a trace call made from another static object's
// constructor or destructor in the same module still finds it intact.
#include "common/trace/trace.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "platform/files/append_file.h"
#include "platform/files/data_root.h"
#include "platform/registry/registry.h"
#include "platform/sync/thread.h"
#include "platform/text/convert.h"
#include "platform/text/format.h"

namespace {

using krsoap::platform::AppendFile;
using krsoap::platform::FileCause;
using krsoap::platform::Format;
using krsoap::platform::FormatV;

// A LogText line (10,239 units at most) always fits whole, with its suffix.
constexpr size_t kMessageUnits = 12288;
constexpr size_t kSuffixUnits = 4;  // " {" or " }", "\n", terminator
// Depths beyond about 4,000 (exit lines lost by the thousand) cut the prefix.
constexpr size_t kPrefixUnits = 4096;
// Text mode turns every LF into CR LF, so the message may double.
constexpr size_t kLineUnits = kPrefixUnits + 2 * kMessageUnits;
// UTF-8 needs at most 3 bytes per UTF-16 unit (a surrogate pair: 4 for 2).
constexpr size_t kLineBytes = 3 * kLineUnits;
constexpr size_t kNameBytes = 8192;
constexpr size_t kErrorText = kNameBytes + 128;

constexpr char16_t kDashes[] = u"--------------------------------------------------";

struct TraceState {
  std::mutex lock;
  // Everything below is guarded by `lock`.
  bool name_set = false;    // the registry has been read
  bool name_usable = false; // the mapped name fitted into file_name
  char file_name[kNameBytes] = {};
  int32_t depth = 0;
  // The trace file's directory, held open between lines.
  krsoap::platform::DirectoryCache directory;
  char16_t message[kMessageUnits] = {};
  char16_t prefix[kPrefixUnits] = {};
  char16_t line[kLineUnits] = {};
  char line_bytes[kLineBytes] = {};
  char error_text[kErrorText] = {};
  char error_bytes[2 * kErrorText] = {};
};

constinit TraceState g_state;
static_assert(std::is_trivially_destructible_v<TraceState>,
              "the trace state must outlive every static object of the module");

std::atomic<int32_t>& Switch() { return krsoap::trace::internal::g_trace_switch; }

// Module unload (or process exit): let go of the held directory, under the
// lock, since a thread of the module may still be writing its last line (a
// monitor thread traces its exit after Stop has returned); a line after this
// opens the directory again.
__attribute__((destructor)) void ReleaseTraceDirectory() {
  std::lock_guard<std::mutex> guard(g_state.lock);
  g_state.directory.Close();
}

// Trace calls sit in the middle of code that may still look at errno.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }

 private:
  int saved_;
};

// The exit line's depth decrement, made however the line ends.
class ExitDepth {
 public:
  ExitDepth(TraceState& state, bool active) : state_(state), active_(active) {}
  ~ExitDepth() {
    if (active_) state_.depth = static_cast<int32_t>(static_cast<uint32_t>(state_.depth) - 1u);
  }

 private:
  TraceState& state_;
  bool active_;
};

// Reads a value's first four bytes whatever its type and size. A read into a
// 4-byte buffer fails with ERROR_MORE_DATA for anything longer (a string of
// more than one character), so the value is read whole and cut here; shorter
// data leaves the rest of the preset 0.
bool ReadFirstFourBytes(HKEY key, const char16_t* name, DWORD* out) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
  for (int attempt = 0; rc == ERROR_MORE_DATA && attempt < 4; ++attempt) {
    // The value may change between the two reads; retry with the new size.
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[size]());
    if (!data) return false;
    DWORD got = size;
    rc = RegQueryValueExW(key, name, nullptr, nullptr, data.get(), &got);
    if (rc == ERROR_SUCCESS) {
      value = 0;
      std::memcpy(&value, data.get(), got < sizeof(value) ? got : sizeof(value));
    } else {
      size = got;
    }
  }
  if (rc != ERROR_SUCCESS) return false;
  *out = value;
  return true;
}

// First call of the module: the switch and the file name, from the registry.
void ReadSettings(TraceState& s, DWORD pid) noexcept {
  // 512 bytes for the query; the extra unit keeps a value without its own
  // terminator (binary data, exactly 512 bytes of text) terminated.
  char16_t work_path[257] = {};
  LONG work_outcome;
  bool product_key_opened = false;
  HKEY key = nullptr;
  work_outcome = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion", 0,
                               KEY_READ, &key);
  if (work_outcome == ERROR_SUCCESS) {
    product_key_opened = true;
    DWORD size = 512;
    work_outcome = RegQueryValueExW(key, u"WorkPath", nullptr, nullptr,
                                    reinterpret_cast<LPBYTE>(work_path), &size);
    RegCloseKey(key);
    work_path[256] = 0;
  }

  DWORD soap_trace = 0;
  bool trace_read = false;
  if (product_key_opened) {
    HKEY soap_key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, KEY_READ, &soap_key) ==
        ERROR_SUCCESS) {
      trace_read = ReadFirstFourBytes(soap_key, u"soapTrace", &soap_trace);
      RegCloseKey(soap_key);
    }
  }
  Switch().store(trace_read ? static_cast<int32_t>(soap_trace) : 0, std::memory_order_relaxed);

  char16_t wide_name[320];
  if (work_outcome == ERROR_SUCCESS) {
    Format(wide_name, 320, u"%s\\Errors\\KRSP%04ld.trc", work_path, static_cast<long>(pid));
  } else {
    Format(wide_name, 320, u"C:\\KRSP%04ld.trc", static_cast<long>(pid));
  }
  try {
    std::string mapped = krsoap::platform::MapWindowsPath(krsoap::platform::Utf16ToUtf8(wide_name));
    s.name_usable = mapped.size() < kNameBytes;
    size_t n = s.name_usable ? mapped.size() : 0;
    std::memcpy(s.file_name, mapped.data(), n);
    s.file_name[n] = 0;
    s.name_set = true;
  } catch (...) {
    // Out of memory: the registry is read again by the next call.
  }
}

// Text mode: every LF goes out as CR LF. Returns the bytes written to `out`,
// which must hold 2 * n bytes.
size_t TextModeBytes(const char* in, size_t n, char* out) {
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == '\n') out[k++] = '\r';
    out[k++] = in[i];
  }
  return k;
}

// One line in "c:\error.txt" for a trace line that could not be written. When
// the error file cannot be opened either, nothing is written.
void WriteErrorLine(TraceState& s, FileCause cause) {
  std::string path = krsoap::platform::MapWindowsPath("c:\\error.txt");
  int code = static_cast<int>(cause);
  auto r = Format(s.error_text, kErrorText, "Exception in Logerror filename %s %ld %08x\n", s.file_name,
                  static_cast<long>(code), static_cast<unsigned>(code));
  size_t n = TextModeBytes(s.error_text, r.length, s.error_bytes);
  AppendFile file;
  if (file.Open(path.c_str(), AppendFile::Mode::kShared) == FileCause::kNone) file.Append(s.error_bytes, n);
}

void WriteLine(TraceState& s, size_t prefix_units, size_t message_units) {
  size_t n = 0;
  for (size_t i = 0; i < prefix_units; ++i) s.line[n++] = s.prefix[i];
  for (size_t i = 0; i < message_units; ++i) {
    if (s.message[i] == u'\n') s.line[n++] = u'\r';
    s.line[n++] = s.message[i];
  }
  // The file holds narrow text in the ANSI code page (UTF-8 here), which has
  // a form for every character; a lone surrogate becomes a replacement.
  int bytes = WideCharToMultiByte(CP_ACP, 0, s.line, static_cast<int>(n), s.line_bytes,
                                  static_cast<int>(kLineBytes), nullptr, nullptr);
  if (bytes <= 0) return;

  FileCause cause = FileCause::kBadPath;
  if (s.name_usable) {
    AppendFile file;
    cause = file.Open(s.file_name, AppendFile::Mode::kExclusive, &s.directory);
    if (cause == FileCause::kNone) cause = file.Append(s.line_bytes, static_cast<size_t>(bytes));
  }  // closed (and unlocked) here, before the error file is touched
  if (cause != FileCause::kNone) WriteErrorLine(s, cause);
}

void LogerrorV(int kind, const char16_t* format, va_list args) noexcept {
  ErrnoKeeper keep_errno;
  TraceState& s = g_state;
  try {
    std::lock_guard<std::mutex> guard(s.lock);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    size_t length = FormatV(s.message, kMessageUnits - kSuffixUnits, format, args).length;
    DWORD thread_id = GetCurrentThreadId();
    // The process id only names the file, so it is read with the registry.
    if (!s.name_set) ReadSettings(s, GetCurrentProcessId());
    if (Switch().load(std::memory_order_relaxed) == 0) return;

    if (kind == krsoap::trace::kTraceEntry) {
      s.message[length++] = u' ';
      s.message[length++] = u'{';
      s.depth = static_cast<int32_t>(static_cast<uint32_t>(s.depth) + 1u);
    } else if (kind == krsoap::trace::kTraceExit) {
      s.message[length++] = u' ';
      s.message[length++] = u'}';
    }
    s.message[length++] = u'\n';
    s.message[length] = 0;
    // Declared after the lock guard, so it runs first: the decrement happens
    // under the lock, whatever became of the line.
    ExitDepth exit_depth(s, kind == krsoap::trace::kTraceExit);
    if (!s.name_set) return;  // out of memory while naming the file
    try {
      size_t prefix = krsoap::trace::FormatLinePrefix(s.prefix, kPrefixUnits, thread_id, now, s.depth);
      WriteLine(s, prefix, length);
    } catch (...) {
      // Out of memory naming the error file: the line is lost, the depth
      // stays right and the lock is released.
    }
  } catch (...) {
  }
}

}  // namespace

namespace krsoap::trace::internal {

// Switched on until the first call has read the registry.
constinit std::atomic<int32_t> g_trace_switch{1};

void LogerrorSlow(int kind, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  LogerrorV(kind, format, args);
  va_end(args);
}

void LogTextSlow(const char* format, ...) {
  // Reached only while the switch is on: 10 KB of text is not expanded just
  // to be dropped.
  ErrnoKeeper keep_errno;
  std::unique_ptr<char[]> text(new (std::nothrow) char[kTextBufferBytes]());
  std::unique_ptr<char16_t[]> wide(new (std::nothrow) char16_t[kTextBufferBytes]());
  if (!text || !wide) return;
  va_list args;
  va_start(args, format);
  size_t length = FormatV(text.get(), kTextBufferBytes, format, args).length;
  va_end(args);
  int units = 0;
  if (length > 0) {
    units = MultiByteToWideChar(CP_ACP, 0, text.get(), static_cast<int>(length), wide.get(),
                                static_cast<int>(kTextBufferBytes - 1));
    if (units < 0) units = 0;
  }
  wide[static_cast<size_t>(units)] = 0;
  // Through "%s": the text is written as it stands, never expanded again.
  LogerrorSlow(kTraceText, u"%s", wide.get());
}

}  // namespace krsoap::trace::internal

namespace krsoap::trace {

size_t FormatLinePrefix(char16_t* out, size_t capacity, DWORD thread_id, const SYSTEMTIME& time,
                        LONG depth) {
  char16_t when[32];
  platform::Format(when, 32, u"%02d/%02d %02d:%02d:%02d", time.wDay, time.wMonth, time.wHour,
                   time.wMinute, time.wSecond);
  return platform::Format(out, capacity, u" %6ld %s%-*.*s> ", static_cast<long>(thread_id), when,
                          static_cast<int>(depth), static_cast<int>(depth), kDashes)
      .length;
}

void CurrentTraceFileName(char* out, size_t capacity) {
  if (capacity == 0) return;
  std::lock_guard<std::mutex> guard(g_state.lock);
  const char* name = g_state.name_set ? g_state.file_name : "";
  size_t n = std::strlen(name);
  if (n >= capacity) n = capacity - 1;
  std::memcpy(out, name, n);
  out[n] = 0;
}

LONG CurrentDepth() {
  std::lock_guard<std::mutex> guard(g_state.lock);
  return g_state.depth;
}

void ResetForTesting() {
  std::lock_guard<std::mutex> guard(g_state.lock);
  Switch().store(1, std::memory_order_relaxed);
  g_state.directory.Close();
  g_state.name_set = false;
  g_state.name_usable = false;
  g_state.file_name[0] = 0;
  g_state.depth = 0;
}

}  // namespace krsoap::trace
