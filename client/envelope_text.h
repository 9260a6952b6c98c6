// The quick route of PatchSoap: the SoapAction element added to a request
// held as text, without building a document tree.
//
// PatchSoap's result is a wire format: what the XML DOM writes back after the
// element is added (libxml2's serialisation of the parsed request). For a
// request written in a plain form - ASCII, no comments, CDATA, processing
// instructions or DOCTYPE, attributes in double quotes one space apart,
// namespace declarations ahead of other attributes, only the entities that
// come back as they went in - that serialisation is the request itself with
// three known changes: the declaration is rewritten, an element without
// content becomes an empty-element tag, and a line feed ends the document.
// PatchEnvelopeText checks that the text is in that form and well-formed,
// and only then makes those changes and adds the element where the DOM
// would; anything else it declines, and the DOM does the work.
#pragma once

#include <string>
#include <string_view>

namespace krsoap::corvel {

// Writes into `out` the patched request for `text` and the action `action`,
// byte for byte what the DOM route gives. False (with `out` unspecified) when
// the text or the action is outside the plain form, or the text is not a
// SOAP envelope the patch can work on (not well-formed, root not a prefixed
// Envelope, an Envelope without children): the DOM route then decides.
bool PatchEnvelopeText(std::string_view text, std::u16string_view action, std::string* out);

}  // namespace krsoap::corvel
