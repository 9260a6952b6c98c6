// Reading a WSDL from a file or an http:/https: URL; see wsdl_source.h.
#include "tools/krsoap/wsdl_source.h"

#include <curl/curl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/files/data_root.h"
#include "platform/xml/xml_parse.h"

namespace krsoap::tool {
namespace {

// A server that stalls is given up on rather than waited for.
constexpr long kConnectSeconds = 10;
constexpr long kTotalSeconds = 60;
constexpr long kMaxRedirects = 5;

struct Sink {
  std::string* text;
  bool too_large = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->text->size() + n > xml::kMaxDocumentBytes) {
    sink->too_large = true;
    return 0;  // makes curl stop with a write error
  }
  sink->text->append(data, n);
  return n;
}

bool Fetch(const std::string& url, std::string* text, std::string* error) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  CURL* curl = initialised ? curl_easy_init() : nullptr;
  if (!curl) {
    *error = url + ": the HTTP client cannot be started";
    return false;
  }
  Sink sink{text};
  char message[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTotalSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (sink.too_large) {
    *error = url + ": the document is larger than " + std::to_string(xml::kMaxDocumentBytes) + " bytes";
    return false;
  }
  if (rc != CURLE_OK) {
    *error = "cannot fetch " + url + ": " + (message[0] ? message : curl_easy_strerror(rc));
    return false;
  }
  if (status != 200) {
    *error = "cannot fetch " + url + ": the server answered HTTP " + std::to_string(status);
    return false;
  }
  return true;
}

}  // namespace

bool IsUrl(const std::string& source) {
  return strncasecmp(source.c_str(), "http://", 7) == 0 || strncasecmp(source.c_str(), "https://", 8) == 0;
}

bool ReadWsdlSource(const std::string& source, std::string* text, std::string* error) {
  text->clear();
  if (IsUrl(source)) return Fetch(source, text, error);
  xml::ParseError pe;
  if (!xml::ReadLocalFile(source, text, &pe)) {
    *error = pe.reason;  // names the file
    return false;
  }
  return true;
}

LocalWsdl::~LocalWsdl() {
  if (temporary_) ::unlink(path_.c_str());
}

bool LocalWsdl::Open(const std::string& source, std::string* error) {
  if (!IsUrl(source)) {
    path_ = source;
    return true;
  }
  std::string text;
  if (!Fetch(source, &text, error)) return false;
  // Under the data root's run directory (owner-only) rather than a shared
  // temporary directory.
  std::string dir = platform::DataRoot() + "/run";
  platform::EnsureDataRoot();
  ::mkdir(dir.c_str(), 0700);
  std::string name = dir + "/wsdl.XXXXXX";
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    *error = source + ": cannot keep a copy in " + dir + ": " + std::strerror(errno);
    return false;
  }
  path_ = name;
  temporary_ = true;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = source + ": cannot keep a copy in " + path_ + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return true;
}

}  // namespace krsoap::tool
