// Reading and checking the service host's configuration (see host_config.h).
#include "tools/krsoap/host_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/files/data_root.h"
#include "platform/text/convert.h"

namespace krsoap::tool {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// A ';' or '#' at the start of a value or after a blank starts a comment.
std::string StripComment(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] == ';' || text[i] == '#') && (i == 0 || text[i - 1] == ' ' || text[i - 1] == '\t'))
      return text.substr(0, i);
  }
  return text;
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ValidUtf8(const std::string& text) {
  return krsoap::platform::Utf16ToUtf8(krsoap::platform::Utf8ToUtf16(text)) == text;
}

}  // namespace

std::string DefaultHostSocket() { return krsoap::platform::DataRoot() + "/run/host.sock"; }

bool ConfigPathFromArgs(const std::vector<std::string>& args, std::string* path, std::string* error) {
  *path = krsoap::platform::DataRoot() + "/host.conf";
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--config") {
      if (i + 1 >= args.size()) {
        *error = "--config needs a file name";
        return false;
      }
      *path = args[++i];
    } else if (args[i].rfind("--config=", 0) == 0) {
      *path = args[i].substr(9);
    } else {
      *error = "unexpected argument '" + args[i] + "'";
      return false;
    }
  }
  if (path->empty()) {
    *error = "--config needs a file name";
    return false;
  }
  return true;
}

bool ParseListenAddress(const std::string& text, std::string* host, int* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string h = text.substr(0, colon);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  long value = std::strtol(digits.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  *host = h;
  *port = static_cast<int>(value);
  return true;
}

bool LoadHostConfig(const std::string& path, HostConfig* config, std::vector<std::string>* errors) {
  *config = HostConfig();
  config->path = path;
  config->socket_path = DefaultHostSocket();
  // Said with the system's reason, and what to do about the usual one.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::string message = path + ": cannot read the configuration file: " + std::strerror(errno);
    if (errno == ENOENT)
      message += " (write one, see docs/server.md, or name another with --config FILE)";
    errors->push_back(message);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    errors->push_back(path + ": cannot read the configuration file: it is a directory");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    errors->push_back(path + ": cannot read the configuration file: " + std::strerror(errno));
    return false;
  }
  auto error = [&](int line, const std::string& message) {
    errors->push_back(path + ":" + std::to_string(line) + ": " + message);
  };
  enum class Section { kNone, kHost, kMonitor } section = Section::kNone;
  std::set<std::string> names;
  std::set<std::string> seen_keys;
  bool seen_host = false;
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    if (raw.size() > 4096) {
      error(number, "line longer than 4096 bytes");
      continue;
    }
    if (!ValidUtf8(raw)) {
      error(number, "line is not valid UTF-8");
      continue;
    }
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      std::string header = Trim(StripComment(line));
      if (header.back() != ']') {
        error(number, "section header without a closing ']'");
        section = Section::kNone;
        continue;
      }
      std::string inner = Trim(header.substr(1, header.size() - 2));
      seen_keys.clear();
      if (inner == "host") {
        if (seen_host) error(number, "a second [host] section");
        seen_host = true;
        section = Section::kHost;
      } else if (inner.rfind("monitor", 0) == 0 && inner.size() > 7 && (inner[7] == ' ' || inner[7] == '\t')) {
        std::string name = Trim(inner.substr(7));
        if (!names.insert(name).second) error(number, "a second monitor named '" + name + "'");
        MonitorConfig monitor;
        monitor.name = name;
        monitor.line = number;
        config->monitors.push_back(monitor);
        section = Section::kMonitor;
      } else {
        error(number, "unknown section '[" + inner + "]' (expected [monitor NAME] or [host])");
        section = Section::kNone;
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      error(number, "expected 'key = value'");
      continue;
    }
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(StripComment(line.substr(eq + 1)));
    if (section == Section::kNone) {
      error(number, "'" + key + "' outside a section");
      continue;
    }
    if (!seen_keys.insert(key).second) {
      error(number, "'" + key + "' given twice in this section");
      continue;
    }
    if (section == Section::kHost) {
      if (key == "status_interval") {
        char* end = nullptr;
        errno = 0;
        long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || errno || seconds < 1 || seconds > 3600)
          error(number, "status_interval must be a number of seconds from 1 to 3600");
        else
          config->status_interval = static_cast<int>(seconds);
      } else if (key == "socket") {
        // Absolute, so the host and the commands that reach it agree on the
        // file whatever their working directories.
        if (value.empty() || value[0] != '/')
          error(number, "socket must be an absolute path");
        else if (value.size() > kMaxSocketPath)
          error(number, "socket is " + std::to_string(value.size()) + " bytes, at most " +
                            std::to_string(kMaxSocketPath));
        else if (value.back() == '/' || IsDirectory(value))
          error(number, "socket '" + value + "' names a directory");
        else
          config->socket_path = value;
      } else if (key == "metrics") {
        std::string host;
        int port = 0;
        if (!ParseListenAddress(value, &host, &port))
          error(number, "metrics must be HOST:PORT (an IPv6 address in brackets), the port 1-65535");
        else
          config->metrics_address = value;
      } else {
        error(number, "unknown key '" + key + "' in [host]");
      }
      continue;
    }
    MonitorConfig& m = config->monitors.back();
    auto narrow = [&](std::string* field, size_t limit, const char* what) {
      if (value.size() > limit)
        error(number, std::string(what) + " is " + std::to_string(value.size()) + " bytes, at most " +
                          std::to_string(limit));
      *field = value;
    };
    if (key == "queue_manager") {
      narrow(&m.queue_manager, 48, "queue_manager");
    } else if (key == "queue") {
      narrow(&m.queue, 48, "queue");
    } else if (key == "wsdl" || key == "wsml") {
      narrow(key == "wsdl" ? &m.wsdl : &m.wsml, 260, key.c_str());
      if (!value.empty() && !IsFile(value)) error(number, key + " file '" + value + "' does not exist");
    } else if (key == "progid") {
      if (krsoap::platform::Utf8ToUtf16(value).size() > 255)
        error(number, "progid is longer than 255 characters");
      m.progid = value;
    } else if (key == "user_param") {
      narrow(&m.user_param, 260, "user_param");
    } else if (key == "can_reuse_object") {
      char* end = nullptr;
      errno = 0;
      long number_value = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || errno || number_value < INT32_MIN || number_value > INT32_MAX)
        error(number, "can_reuse_object must be a whole number (0: a new trigger object per request)");
      else
        m.can_reuse_object = number_value;
    } else if (key == "status_file") {
      m.status_file = value;
      if (value.empty()) {
        error(number, "status_file is empty");
      } else {
        size_t slash = value.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : value.substr(0, slash));
        if (!IsDirectory(dir)) error(number, "the directory of status_file '" + value + "' does not exist");
        if (IsDirectory(value)) error(number, "status_file '" + value + "' is a directory");
      }
    } else {
      error(number, "unknown key '" + key + "'");
    }
  }
  for (const MonitorConfig& m : config->monitors) {
    auto missing = [&](const char* what) {
      error(m.line, "monitor '" + m.name + "' has no " + what);
    };
    if (m.name.empty()) error(m.line, "a monitor section needs a name: [monitor NAME]");
    if (m.queue.empty()) missing("queue");
    if (m.status_file.empty()) missing("status_file");
    if (m.progid.empty() && (m.wsdl.empty() || m.wsml.empty()))
      error(m.line, "monitor '" + m.name + "' uses the built-in invoker (empty progid) and needs wsdl and wsml");
  }
  // A whole-file mistake: no line to point at.
  if (config->monitors.empty() && errors->empty()) {
    errors->push_back(path + (number == 0 ? ": the file is empty; the host needs at least one [monitor NAME] section"
                                          : ": no [monitor NAME] section; the host needs at least one"));
  }
  return errors->empty();
}

}  // namespace krsoap::tool
