#pragma once
// ISO-8859-1 output for pugixml documents. pugixml's own Latin-1 output turns every
// character beyond U+00FF into "?"; this writer takes the UTF-8 output instead and
// writes such characters as numeric character references ("&#8364;"), so no text is
// lost. References are valid in element text and attribute values, the only places our
// documents carry free text (names, comments and CDATA sections must stay Latin-1).
#include <cstddef>
#include <string>

#include <pugixml.hpp>

class TXmlLatin1Writer : public pugi::xml_writer {
public:
    void write(const void* data, std::size_t size) override;
    // The bytes written so far; a sequence cut off at the end becomes U+FFFD.
    std::string TakeResult();

private:
    void AppendCodePoint(char32_t codePoint);

    std::string _sOutput;
    std::string _sPending;  // a UTF-8 sequence split across two write calls
};

// The whole document as ISO-8859-1 bytes, without indentation, behind the declaration
// <?xml version="1.0" encoding="iso-8859-1"?> (a declaration the document holds is left out).
std::string SaveXmlAsLatin1(const pugi::xml_document& document);
