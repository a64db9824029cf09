#pragma once
// How the configuration layer reads XML: values come back exactly as written, including
// a value made only of blanks and line breaks inside a value (no end-of-line folding).
// The encoding follows the document (the server's responses declare ISO-8859-1); texts
// come back as UTF-8.
#include <string>

#include <pugixml.hpp>

inline constexpr unsigned kConfigurationXmlParseOptions =
    (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;

// True when the text parsed into a document with a root element.
inline bool LoadConfigurationXml(pugi::xml_document& document, const std::string& text) {
    return document.load_buffer(text.data(), text.size(), kConfigurationXmlParseOptions, pugi::encoding_auto) &&
           document.document_element();
}
