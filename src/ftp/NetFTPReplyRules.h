// What the FTP client reads out of the text of a reply (RFC 959, 4.2 and
// 5.4; passive mode as in RFC 1579; the feature list, RFC 2389; extended
// passive and active mode, RFC 2428; UTF-8 names, RFC 2640; the file's time,
// RFC 3659; the server's digest of a file): the rules on
// their own, text in and value out, so the commands that use them and the
// tests share them. Each takes the reply's text lines as TNetRFCReply::Text
// holds them (code and separator removed).
#pragma once

#include <cstdint>
#include <string>

#include "NetText.h"

// The address a passive-mode reply announces.
struct TNetFTPHostPort {
  std::string Host;
  int32_t Port = 0;
};

// From the first line of a 227 reply: four address fields and the port as
// high and low byte.
//   227 Entering Passive Mode (192,168,1,20,19,137).   -> 192.168.1.20, 5001
// Some servers leave out the parentheses; the fields are then what follows
// the last blank:
//   227 Entering Passive Mode 192,168,1,20,19,137
// The address fields are joined as they stand. Raises EConvertError "'%s' is
// not a valid integer value" for a port field that is not a number, and
// ENetProtocolReplyError (code 227) for any number outside 0 to 255.
TNetFTPHostPort PassiveAddressOfReply(const TStringList& AReplyText);

// From the first line of a 257 reply: the text between its first two double
// quotes, empty when there are not two.
//   257 "/pub/incoming" is the current directory   -> /pub/incoming
// A doubled quote inside the path ends it there:
//   257 "/a""b" created   -> /a
std::string QuotedDirectoryOfReply(const TStringList& AReplyText);

// From a 213 reply to "SIZE": the whole text (lines joined with CR LF),
// trimmed, less everything up to and including its first blank, read as a
// 64-bit number; -1 when it is not one. The number is read by the standard
// conversion, so "$1F" and "0x1F" read as hexadecimal.
//   213 1048576   -> 1048576
//   213 12 bytes  -> -1
int64_t SizeOfReply(const TStringList& AReplyText);

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

// How the server can be asked for a file's digest, chosen from its
// features: "HASH" with SHA-256, else with SHA-1 (the algorithms listed
// after HASH, separated by ";", the current one marked "*"; OptsCommand is
// "OPTS HASH SHA-256" when another one is current), else "XSHA256",
// "XSHA1", "XMD5", "XCRC" in that order. Command empty: none offered.
struct TNetFTPDigestChoice {
  std::string Algorithm;    // "SHA-256", "SHA-1", "MD5", "CRC32"
  std::string Command;      // "HASH", "XSHA256", ...
  std::string OptsCommand;  // sent once before the first HASH, or empty
};
TNetFTPDigestChoice ServerDigestOfFeatures(const TStringList& AFeatures);

// The digest in a reply to "HASH" or one of the X commands: the first word
// of the first line that is AHexLength hex digits, in lower case; empty when
// there is none.
//   213 SHA-256 0-49 169cd22282da7f147cb491e559e9dd... a.bin  -> 169cd222...
//   250 7E3A2B1C                                         -> 7e3a2b1c
std::string DigestOfReply(const TStringList& AText, int AHexLength);

// The time of a 213 reply to "MDTM" (RFC 3659: UTC, YYYYMMDDHHMMSS with
// optional fraction) as ISO 8601; empty when the text is no such time.
//   213 20261208101500      -> 2026-12-08T10:15:00Z
//   213 20261208101500.250  -> 2026-12-08T10:15:00.250Z
std::string ModifiedTimeOfReply(const TStringList& AText);
