#include "config/OConfigurationDocument.h"

#include <charconv>
#include <sstream>

#include "config/ConfigurationXml.h"
#include "config/OConfigurator.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltUtilsBooleanOperations.h"
#include "foundation/VeltUtilsStringOperations.h"

namespace {

const std::string kErrorPrefix = "TConfigurator error: ";
const char* const kProgramAttribute = "ZELKOTRANSFER";
constexpr std::int32_t kDefaultPackageMaxSize = 512;
const std::string kAnyFileMask = R"(^[^\.][a-z0-9_\x20\-\.]*)";

[[noreturn]] void Fail(const std::string& what) { throw EConfigurator(kErrorPrefix + what); }

// Only the exact "yes" is true.
bool IsYes(const std::string& text) { return text == "yes"; }

// The mask of rules that bring none: "*.*" and "*" take every name, "*.ext" (letters
// only) the names ending in ext; anything else falls back to every name.
std::string DefaultMaskOf(const std::string& pattern) {
    if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0 && IsAlphabeticOnly(pattern.substr(2))) {
        return kAnyFileMask + "(" + pattern.substr(2) + ")$";
    }
    return kAnyFileMask;
}

// A node of the document together with its path, so that every complaint names the node.
struct TNode {
    pugi::xml_node node;
    std::string path;
};

class TDocumentReader {
public:
    explicit TDocumentReader(TConfigurationData& configuration) : _data(configuration._rData) {}

    void Read(const std::string& text) {
        ClearLists();
        pugi::xml_document document;
        if (!LoadConfigurationXml(document, text)) Fail("while parsing configuration file");
        const TNode root{document.document_element(), "configuration"};
        if (std::string(root.node.name()) != "configuration") Fail("configuration file-invalid root node");
        if (std::string(root.node.attribute("program").value()) != kProgramAttribute) {
            Fail("configuration file-invalid root attribute");
        }
        _data.sSetupAuthorization = RequiredText(root, "setup_password");
        ReadTransferProtocol(Required(root, "transfer_protocol"));
        ReadCollectingRules(Required(root, "collecting_rules"));
        ReadProgramSettings(Required(root, "program_settings"));
        _data.rSupport.lDebugModeInLog = RequiredYesNo(Required(root, "support_settings"), "debugmode_inlog");
    }

private:
    void ClearLists() {
        auto& ftp = _data.rFtpTransfer;
        for (TStringList* list : {&ftp.slHostNames, &ftp.slHostPorts, &ftp.slKnownNames, &ftp.slKnownCerts,
                                  &ftp.slKnownFingers, &ftp.slKnownFingersSha1, &ftp.slKnownServerSubjects,
                                  &ftp.slKnownServerIssuers}) {
            list->clear();
        }
        auto& rules = _data.rWatchingRules;
        for (TStringList* list : {&rules.slCRSTypes, &rules.slDataDirs, &rules.slBakDirs, &rules.slDataFileMask}) {
            list->clear();
        }
    }

    void ReadTransferProtocol(const TNode& protocol) {
        const std::int32_t code = Number(protocol.path + "@upload_protocol", RequiredAttribute(protocol, "upload_protocol"));
        _data.ptUploadProtocol = TConfigurationData::ProtocolCode2ProtocolType(code);
        if (_data.ptUploadProtocol == tptHttp) {
            ReadHttp(Required(protocol, "http"));
        } else {
            ReadFtp(Required(protocol, "ftp"));
        }
    }

    void ReadHttp(const TNode& http) {
        auto& base = _data.rHttpTransfer.rBase;
        base.sUrl = RequiredText(http, "url");
        base.sPort = RequiredText(http, "port");
        base.sLogin = RequiredText(http, "login");
        base.sPassword = RequiredText(http, "password");
        base.sEncryptionKey = http.node.child("encryptionkey").text().get();
        auto& cert = _data.rHttpTransfer.rCert;
        cert.sKnownUrl = RequiredText(http, "known_url");
        cert.sKnownCert = RequiredHex(http, "known_cert");
        cert.sKnownFinger = RequiredHex(http, "known_finger");
        cert.sKnownFingerSha1 = RequiredHex(http, "known_fingersha1");
        cert.sKnownServerSubject = RequiredHex(http, "known_server_subject");
        cert.sKnownServerIssuer = RequiredHex(http, "known_server_issuer");
        _data.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload =
            IsYes(http.node.child("checkfor").attribute("validcert_onuwatchandpload").value());

        auto& proxy = _data.rHttpTransfer.rProxy;
        const TNode proxyNode = Required(http, "proxy");
        proxy.lProxyActive = IsYes(RequiredAttribute(proxyNode, "active"));
        if (proxy.lProxyActive) {
            ReadProxySettings(Required(proxyNode, "settings"), proxy.lProxyIEType, proxy.sProxyHost, proxy.sProxyPort,
                              proxy.sProxyLogin, proxy.sProxyPassword);
        }
    }

    void ReadProxySettings(const TNode& settings, bool& ieType, std::string& host, std::string& port,
                           std::string& login, std::string& password) {
        ieType = IsYes(RequiredAttribute(settings, "ie_type"));
        if (ieType) return;
        host = RequiredText(settings, "host");
        port = RequiredText(settings, "port");
        login = RequiredText(settings, "login");
        password = RequiredText(settings, "password");
    }

    void ReadFtp(const TNode& ftpNode) {
        auto& ftp = _data.rFtpTransfer;
        ftp.sLogin = RequiredText(ftpNode, "login");
        ftp.sIdent = RequiredText(ftpNode, "ident");
        ftp.sPassword = RequiredText(ftpNode, "password");
        ftp.iConnTimeout = RequiredNumber(ftpNode, "conn_timeout");
        if (const pugi::xml_node passive = ftpNode.node.child("passive")) ftp.lPassive = IsYes(passive.text().get());
        ftp.lSecure = RequiredYesNo(ftpNode, "secure");

        const TNode hostData = Required(ftpNode, "host_data");
        std::size_t index = 0;
        for (const pugi::xml_node& host : hostData.node.children("host")) {
            const TNode entry{host, hostData.path + "/host[" + std::to_string(++index) + "]"};
            // All values first, so that a failure never leaves the parallel lists uneven.
            std::string name = RequiredText(entry, "name");
            std::string port = RequiredText(entry, "port");
            ftp.slHostNames.push_back(std::move(name));
            ftp.slHostPorts.push_back(std::move(port));
        }
        if (!ftp.lSecure) return;
        index = 0;
        for (const pugi::xml_node& known : hostData.node.children("known_host")) {
            const TNode entry{known, hostData.path + "/known_host[" + std::to_string(++index) + "]"};
            std::string name = RequiredText(entry, "name");
            std::string cert = RequiredHex(entry, "cert");
            std::string finger = RequiredHex(entry, "finger");
            std::string fingerSha1 = RequiredHex(entry, "fingersha1");
            std::string subject = RequiredHex(entry, "server_subject");
            std::string issuer = RequiredHex(entry, "server_issuer");
            ftp.slKnownNames.push_back(std::move(name));
            ftp.slKnownCerts.push_back(std::move(cert));
            ftp.slKnownFingers.push_back(std::move(finger));
            ftp.slKnownFingersSha1.push_back(std::move(fingerSha1));
            ftp.slKnownServerSubjects.push_back(std::move(subject));
            ftp.slKnownServerIssuers.push_back(std::move(issuer));
        }
    }

    void ReadCollectingRules(const TNode& collecting) {
        auto& rules = _data.rWatchingRules;
        const pugi::xml_node defaultNode = collecting.node.child("file_mask");
        const std::string defaultMask = defaultNode ? DefaultMaskOf(defaultNode.text().get()) : std::string();
        std::size_t index = 0;
        for (const pugi::xml_node& rule : collecting.node.children("rule")) {
            const TNode entry{rule, collecting.path + "/rule[" + std::to_string(++index) + "]"};
            std::string crsType = RequiredText(entry, "crs_type");
            std::string dataDir = RequiredText(entry, "data_dir");
            std::string bakDir = RequiredText(entry, "bak_dir");
            std::string mask = defaultMask;
            bool include = true;
            if (const pugi::xml_node maskNode = rule.child("file_mask")) {
                mask = Base64Text(entry.path + "/file_mask", maskNode.text().get());
                include = IsYes(maskNode.attribute("include").value());
            }
            rules.slCRSTypes.push_back(std::move(crsType));
            rules.slDataDirs.push_back(std::move(dataDir));
            rules.slBakDirs.push_back(std::move(bakDir));
            rules.slDataFileMask.push_back(std::move(mask));
            rules.biDataFileMaskIncl.SetBit(rules.slDataFileMask.size() - 1, include);
        }
        rules.iCollectorInterval = RequiredNumber(collecting, "interval");
        const std::int32_t packageMaxSize = RequiredNumber(collecting, "file_maxsize");
        rules.iCollectorPackageMaxSize =
            packageMaxSize < 256 || packageMaxSize > 2048 ? kDefaultPackageMaxSize : packageMaxSize;
    }

    void ReadProgramSettings(const TNode& settings) {
        auto& program = _data.rProgram;
        program.lWinstartRun = RequiredYesNo(settings, "winstart_run");
        const TNode startWatch = Required(settings, "start_watch");
        program.lStartWithWatch = IsYes(RequiredAttribute(startWatch, "state"));
        program.lStartInTray = program.lStartWithWatch && RequiredYesNo(startWatch, "intray");
        program.sPermittedIP = RequiredText(settings, "permitted_ip");
        program.iLogMaxSize = RequiredNumber(settings, "log_maxsize");
        const pugi::xml_node language = settings.node.child("helplanguage_id");
        program.iHelpLanguageId =
            language ? Number(settings.path + "/helplanguage_id", language.text().get()) : 0;
        ReadNewVersionCheck(Required(settings, "newver_check"));
    }

    void ReadNewVersionCheck(const TNode& check) {
        auto& newVersion = _data.rProgram.rNewVersion;
        newVersion.sSiteCheck = RequiredText(check, "site");
        const pugi::xml_node proxy = check.node.child("proxy");
        newVersion.lProxyActive = proxy && IsYes(proxy.attribute("active").value());
        if (newVersion.lProxyActive) {
            const TNode proxyNode{proxy, check.path + "/proxy"};
            ReadProxySettings(Required(proxyNode, "settings"), newVersion.lProxyIEType, newVersion.sProxyHost,
                              newVersion.sProxyPort, newVersion.sProxyLogin, newVersion.sProxyPassword);
        }
        const TNode limited = Required(check, "limited_time");
        newVersion.lLimitCheck = IsYes(RequiredAttribute(limited, "state"));
        newVersion.sLimitedCheckDays = newVersion.lLimitCheck ? RequiredText(limited, "days") : std::string();
        newVersion.sLimitedCheckHours = newVersion.lLimitCheck ? RequiredText(limited, "hours") : std::string();
    }

    static TNode Required(const TNode& parent, const char* name) {
        const pugi::xml_node child = parent.node.child(name);
        const std::string path = parent.path + "/" + name;
        if (!child) Fail("configuration file-missing node " + path);
        return {child, path};
    }

    static std::string RequiredAttribute(const TNode& parent, const char* name) {
        const pugi::xml_attribute attribute = parent.node.attribute(name);
        if (!attribute) Fail("configuration file-missing attribute " + parent.path + "@" + name);
        return attribute.value();
    }

    static std::string RequiredText(const TNode& parent, const char* name) {
        return Required(parent, name).node.text().get();
    }

    static bool RequiredYesNo(const TNode& parent, const char* name) { return IsYes(RequiredText(parent, name)); }

    static std::int32_t RequiredNumber(const TNode& parent, const char* name) {
        return Number(parent.path + "/" + name, RequiredText(parent, name));
    }

    static std::string RequiredHex(const TNode& parent, const char* name) {
        const std::string text = RequiredText(parent, name);
        try {
            return HexCodesToString(text);
        } catch (const EConvertError&) {
            Fail("configuration file-invalid hex text in node " + parent.path + "/" + name);
        }
    }

    // Decimal digits with an optional minus sign, nothing else, within 32 bits.
    static std::int32_t Number(const std::string& path, const std::string& text) {
        std::int32_t value = 0;
        const char* end = text.data() + text.size();
        const auto result = std::from_chars(text.data(), end, value);
        if (text.empty() || result.ec != std::errc() || result.ptr != end) {
            Fail("configuration file-invalid number in node " + path);
        }
        return value;
    }

    static std::string Base64Text(const std::string& path, const std::string& text) {
        std::string decoded;
        if (!Base64DecodeStrict(text, decoded)) Fail("configuration file-invalid base64 text in node " + path);
        return decoded;
    }

    TConfigurationDataRecord& _data;
};

// Builds the document in schema order.
class TDocumentWriter {
public:
    explicit TDocumentWriter(const TConfigurationData& configuration) : _data(configuration._rData) {}

    std::string Compose() {
        pugi::xml_document document;
        pugi::xml_node declaration = document.append_child(pugi::node_declaration);
        declaration.append_attribute("version") = "1.0";
        declaration.append_attribute("encoding") = "UTF-8";
        pugi::xml_node root = document.append_child("configuration");
        root.append_attribute("program") = kProgramAttribute;
        Text(root, "setup_password", _data.sSetupAuthorization);
        WriteTransferProtocol(root.append_child("transfer_protocol"));
        WriteCollectingRules(root.append_child("collecting_rules"));
        WriteProgramSettings(root.append_child("program_settings"));
        Text(root.append_child("support_settings"), "debugmode_inlog", BooleanToYesNo(_data.rSupport.lDebugModeInLog));
        try {
            std::ostringstream text;
            document.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
            return text.str();
        } catch (const std::exception&) {
            Fail("while parsing configuration file");
        }
    }

private:
    void WriteTransferProtocol(pugi::xml_node protocol) {
        protocol.append_attribute("upload_protocol") =
            std::to_string(TConfigurationData::ProtocolType2ProtocolCode(_data.ptUploadProtocol)).c_str();
        if (_data.ptUploadProtocol == tptHttp) {
            WriteHttp(protocol.append_child("http"));
        } else {
            WriteFtp(protocol.append_child("ftp"));
        }
    }

    void WriteHttp(pugi::xml_node http) {
        const auto& base = _data.rHttpTransfer.rBase;
        Text(http, "url", base.sUrl);
        Text(http, "port", base.sPort);
        Text(http, "login", base.sLogin);
        Text(http, "password", base.sPassword);
        Text(http, "encryptionkey", base.sEncryptionKey);
        const auto& cert = _data.rHttpTransfer.rCert;
        Text(http, "known_url", cert.sKnownUrl);
        Text(http, "known_cert", StringToHexCodes(cert.sKnownCert));
        Text(http, "known_finger", StringToHexCodes(cert.sKnownFinger));
        Text(http, "known_fingersha1", StringToHexCodes(cert.sKnownFingerSha1));
        Text(http, "known_server_subject", StringToHexCodes(cert.sKnownServerSubject));
        Text(http, "known_server_issuer", StringToHexCodes(cert.sKnownServerIssuer));
        http.append_child("checkfor").append_attribute("validcert_onuwatchandpload") =
            BooleanToYesNo(_data.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload).c_str();
        const auto& proxy = _data.rHttpTransfer.rProxy;
        WriteProxy(http.append_child("proxy"), proxy.lProxyActive, proxy.lProxyIEType, proxy.sProxyHost,
                   proxy.sProxyPort, proxy.sProxyLogin, proxy.sProxyPassword);
    }

    void WriteProxy(pugi::xml_node proxy, bool active, bool ieType, const std::string& host, const std::string& port,
                    const std::string& login, const std::string& password) {
        proxy.append_attribute("active") = BooleanToYesNo(active).c_str();
        if (!active) return;
        pugi::xml_node settings = proxy.append_child("settings");
        settings.append_attribute("ie_type") = BooleanToYesNo(ieType).c_str();
        if (ieType) return;
        Text(settings, "host", host);
        Text(settings, "port", port);
        Text(settings, "login", login);
        Text(settings, "password", password);
    }

    void WriteFtp(pugi::xml_node ftpNode) {
        const auto& ftp = _data.rFtpTransfer;
        Text(ftpNode, "login", ftp.sLogin);
        Text(ftpNode, "ident", ftp.sIdent);
        Text(ftpNode, "password", ftp.sPassword);
        Text(ftpNode, "conn_timeout", std::to_string(ftp.iConnTimeout));
        Text(ftpNode, "passive", BooleanToYesNo(ftp.lPassive));
        Text(ftpNode, "secure", BooleanToYesNo(ftp.lSecure));
        pugi::xml_node hostData = ftpNode.append_child("host_data");
        for (std::size_t i = 0; i < ftp.slHostNames.size(); ++i) {
            pugi::xml_node host = hostData.append_child("host");
            Text(host, "name", ftp.slHostNames[i]);
            Text(host, "port", Entry(ftp.slHostPorts, i));
        }
        if (!ftp.lSecure) return;
        for (std::size_t i = 0; i < ftp.slKnownNames.size(); ++i) {
            pugi::xml_node known = hostData.append_child("known_host");
            Text(known, "name", ftp.slKnownNames[i]);
            Text(known, "cert", StringToHexCodes(Entry(ftp.slKnownCerts, i)));
            Text(known, "finger", StringToHexCodes(Entry(ftp.slKnownFingers, i)));
            Text(known, "fingersha1", StringToHexCodes(Entry(ftp.slKnownFingersSha1, i)));
            Text(known, "server_subject", StringToHexCodes(Entry(ftp.slKnownServerSubjects, i)));
            Text(known, "server_issuer", StringToHexCodes(Entry(ftp.slKnownServerIssuers, i)));
        }
    }

    void WriteCollectingRules(pugi::xml_node collecting) {
        const auto& rules = _data.rWatchingRules;
        for (std::size_t i = 0; i < rules.slCRSTypes.size(); ++i) {
            pugi::xml_node rule = collecting.append_child("rule");
            Text(rule, "crs_type", rules.slCRSTypes[i]);
            Text(rule, "data_dir", Entry(rules.slDataDirs, i));
            Text(rule, "bak_dir", Entry(rules.slBakDirs, i));
            pugi::xml_node mask = Text(rule, "file_mask", Base64Encode(Entry(rules.slDataFileMask, i)));
            mask.append_attribute("include") = BooleanToYesNo(rules.biDataFileMaskIncl.Bit(i)).c_str();
        }
        Text(collecting, "interval", std::to_string(rules.iCollectorInterval));
        Text(collecting, "file_maxsize", std::to_string(rules.iCollectorPackageMaxSize));
    }

    void WriteProgramSettings(pugi::xml_node settings) {
        const auto& program = _data.rProgram;
        Text(settings, "winstart_run", BooleanToYesNo(program.lWinstartRun));
        pugi::xml_node startWatch = settings.append_child("start_watch");
        startWatch.append_attribute("state") = BooleanToYesNo(program.lStartWithWatch).c_str();
        if (program.lStartWithWatch) Text(startWatch, "intray", BooleanToYesNo(program.lStartInTray));
        Text(settings, "permitted_ip", program.sPermittedIP);
        Text(settings, "log_maxsize", std::to_string(program.iLogMaxSize));
        Text(settings, "helplanguage_id", std::to_string(program.iHelpLanguageId));

        const auto& newVersion = program.rNewVersion;
        pugi::xml_node check = settings.append_child("newver_check");
        Text(check, "site", newVersion.sSiteCheck);
        WriteProxy(check.append_child("proxy"), newVersion.lProxyActive, newVersion.lProxyIEType, newVersion.sProxyHost,
                   newVersion.sProxyPort, newVersion.sProxyLogin, newVersion.sProxyPassword);
        pugi::xml_node limited = check.append_child("limited_time");
        limited.append_attribute("state") = BooleanToYesNo(newVersion.lLimitCheck).c_str();
        if (!newVersion.lLimitCheck) return;
        Text(limited, "days", newVersion.sLimitedCheckDays);
        Text(limited, "hours", newVersion.sLimitedCheckHours);
    }

    // Appends an element with the value as its text; empty values are written too.
    static pugi::xml_node Text(pugi::xml_node parent, const char* name, const std::string& value) {
        pugi::xml_node element = parent.append_child(name);
        element.text().set(value.c_str());
        return element;
    }

    // The parallel lists should be even; a short one gives empty texts rather than a crash.
    static const std::string& Entry(const TStringList& list, std::size_t index) {
        static const std::string empty;
        return index < list.size() ? list[index] : empty;
    }

    const TConfigurationDataRecord& _data;
};

}  // namespace

void ReadConfigurationDocument(const std::string& document, TConfigurationData& configuration) {
    TDocumentReader(configuration).Read(document);
}

std::string ComposeConfigurationDocument(const TConfigurationData& configuration) {
    return TDocumentWriter(configuration).Compose();
}
