// Where krsoap describe and krsoap call read a WSDL from: a local file or an
// http:/https: URL, fetched with libcurl. Owns the size and time limits of
// that fetch and the temporary copy a URL is read into for the toolkit,
// which loads descriptions from files only.
#pragma once

#include <string>

namespace krsoap::tool {

// True for "http://..." and "https://..." (case-blind scheme).
bool IsUrl(const std::string& source);

// Reads `source` (a file or a URL) whole, at most the XML parser's document
// limit. False with `error` set to one readable line.
bool ReadWsdlSource(const std::string& source, std::string* text, std::string* error);

// A URL's document in a private temporary file, removed again with the
// object; a file name is passed through as it is.
class LocalWsdl {
 public:
  LocalWsdl() = default;
  ~LocalWsdl();
  LocalWsdl(const LocalWsdl&) = delete;
  LocalWsdl& operator=(const LocalWsdl&) = delete;
  // False with `error` set when the URL cannot be fetched or copied.
  bool Open(const std::string& source, std::string* error);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool temporary_ = false;
};

}  // namespace krsoap::tool
