// The text rules of the FTP extensions the client speaks: the feature list
// (RFC 2389), extended passive and active mode (RFC 2428) and UTF-8 names
// (RFC 2640). Bytes in, values out: no I/O here.
#pragma once

#include <cstdint>
#include <string>

#include "NetText.h"

// The features listed in a reply to "FEAT", one per entry as the server
// wrote it, without the leading blank:
//   211-Features:
//    MDTM
//    REST STREAM
//    UTF8
//   211 End
// gives MDTM, REST STREAM and UTF8. AText holds the reply's lines without
// their codes; any code but 211 (a server without FEAT answers 500 or 502)
// gives no features, as does a one-line 211.
TStringList FeaturesOfReply(int32_t ACode, const TStringList& AText);

// Whether the list names the feature: its first word, in any letter case
// ("REST STREAM" names REST).
bool ListsFeature(const TStringList& AFeatures, const std::string& AFeature);

// The port of a 229 reply, "229 Entering Extended Passive Mode (|||6446|)":
// between the parentheses, a delimiter character, then three fields (network
// protocol, network address, port) each ended by the delimiter. The first two
// are empty in the usual reply and never used: the data connection goes to
// the host the control connection reached. Without parentheses the last word
// is read the same way. False when no port 1 to 65535 stands there.
bool TryExtendedPassivePort(const TStringList& AText, int32_t& APort);

// The argument of "EPRT" for a local address and port: "|1|192.0.2.5|5001|"
// for IPv4, "|2|2001:db8::5|5001|" for IPv6 (an IPv4-mapped IPv6 address is
// announced as the IPv4 one it stands for, a zone is left out).
std::string ExtendedPortArgument(const std::string& AIP, int32_t APort);
