// libFuzzer target: the configuration document reader (and the encoding dictionary
// parser, which reads the same kind of text from the network). A document that reads is
// written back; that document must read again to the same data and the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/OCRSTypes.h"
#include "config/OConfigurationDocument.h"
#include "config/OConfigurator.h"
#include "foundation/VeltEnvironment.h"
#include "tests/support/FakePlatform.h"

namespace {

const TEnvironment& Environment() {
    static const TFakePlatform platform;
    static const TEnvironment environment({}, platform);
    return environment;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    TConfigurationData first(Environment());
    std::string response = text;
    ReadEncodingDictionary(response, first, nullptr);

    try {
        ReadConfigurationDocument(text, first);
    } catch (const EConfigurator&) {
        return 0;
    } catch (const EConfigurationData&) {
        return 0;
    }
    const std::string composed = ComposeConfigurationDocument(first);
    TConfigurationData second(Environment());
    ReadConfigurationDocument(composed, second);
    if (!(second._rData == first._rData)) std::abort();
    if (ComposeConfigurationDocument(second) != composed) std::abort();
    return 0;
}
