// What the FTP client reads out of the text of a reply (RFC 959, 4.2 and
// 5.4; passive mode as in RFC 1579): the rules on their own, text in and
// value out, so the commands that use them and the tests share them. Each
// takes the reply's text lines as TNetRFCReply::Text holds them (code and
// separator removed).
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
