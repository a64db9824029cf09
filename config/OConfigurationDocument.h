#pragma once
// The configuration document: the XML form of the configuration data inside the
// configuration file. Only the section of the protocol in use is stored.
#include <string>

#include "config/OConfigurationData.h"

// Fills the data from the document. Clears the FTP lists and the rule lists first; what
// was read before a failure stays. Raises EConfigurator for every way the document can be
// wrong (the message names the node), EConfigurationData for an unknown protocol code.
void ReadConfigurationDocument(const std::string& document, TConfigurationData& configuration);

// The document of the data, UTF-8 with an XML declaration.
std::string ComposeConfigurationDocument(const TConfigurationData& configuration);
