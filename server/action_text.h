// The quick route of ExtractSoapAction: the SoapAction element of a request
// found in its text, without building a document tree.
//
// The DOM route loads the request, takes the root element's prefix, counts
// the elements named <prefix>:SoapAction (SoapAction for a root without a
// prefix) and reads the text of the first one in document order. For a
// request in a plain form - ASCII names, no DOCTYPE, comments, CDATA or
// processing instructions, the usual namespace declarations - all of that
// can be read off the text in one pass. FindActionText makes that pass and
// proves the text well-formed as it goes; anything it does not fully
// understand it declines, and the DOM decides (and reports what it finds
// wrong), so the two routes never give different answers.
#pragma once

#include <string>
#include <string_view>

namespace krsoap::halvex {

struct ActionText {
  std::string tag;   // the element name searched for
  long count = 0;    // how many elements have that name
  std::string text;  // the first one's text, UTF-8, when count > 0
};

// True with *out filled as the DOM would find it; false (with *out
// unspecified) when the text is outside the plain form or not well-formed.
bool FindActionText(std::string_view text, ActionText* out);

}  // namespace krsoap::halvex
