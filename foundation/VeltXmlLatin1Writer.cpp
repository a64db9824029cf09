#include "foundation/VeltXmlLatin1Writer.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence a lead byte opens; 0 for a byte that cannot lead one.
std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

void TXmlLatin1Writer::write(const void* data, std::size_t size) {
    _sPending.append(static_cast<const char*>(data), size);
    std::size_t i = 0;
    while (i < _sPending.size()) {
        const auto lead = static_cast<unsigned char>(_sPending[i]);
        const std::size_t length = SequenceLength(lead);
        if (length == 0) {
            AppendCodePoint(kReplacement);
            ++i;
            continue;
        }
        if (i + length > _sPending.size()) break;  // the rest comes with the next call
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        std::size_t used = 1;
        while (used < length && IsContinuation(static_cast<unsigned char>(_sPending[i + used]))) {
            codePoint = (codePoint << 6) | (static_cast<unsigned char>(_sPending[i + used]) & 0x3F);
            ++used;
        }
        AppendCodePoint(used == length ? codePoint : kReplacement);
        i += used;
    }
    _sPending.erase(0, i);
}

std::string TXmlLatin1Writer::TakeResult() {
    // A cut-off sequence at the end: replace its lead byte and read on after it.
    while (!_sPending.empty()) {
        AppendCodePoint(kReplacement);
        const std::string rest = _sPending.substr(1);
        _sPending.clear();
        write(rest.data(), rest.size());
    }
    std::string result;
    result.swap(_sOutput);
    return result;
}

void TXmlLatin1Writer::AppendCodePoint(char32_t codePoint) {
    if (codePoint <= 0xFF) {
        _sOutput += static_cast<char>(codePoint);
    } else {
        _sOutput += "&#" + std::to_string(static_cast<unsigned long>(codePoint)) + ";";
    }
}

std::string SaveXmlAsLatin1(const pugi::xml_document& document) {
    static constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>";
    TXmlLatin1Writer writer;
    writer.write(kDeclaration, sizeof kDeclaration - 1);
    // The document's own declaration, if it kept one, may name another encoding.
    for (const pugi::xml_node& node : document.children()) {
        if (node.type() != pugi::node_declaration) node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    }
    return writer.TakeResult();
}
