// Receipts of transfers: one JSON object per transfer on a line of its own,
// appended to a file, saying what was sent or fetched, how large it is, its
// SHA-256 and what the server said about it.
//
//   {"time": "2026-12-08T10:15:00Z", "direction": "download", "company": "acme",
//    "server": "ftp.example.com:21", "remote_path": "/corvatec/acme/a.bin",
//    "local_path": "/home/u/a.bin", "bytes": 1048576, "sha256": "…",
//    "remote_size": 1048576, "remote_mtime": "2026-12-01T08:00:00Z",
//    "server_digest": {"algorithm": "SHA-256", "command": "HASH", "value": "…"},
//    "result": "ok", "error": null}
//
// File names are bytes. Those that form UTF-8 are written as they are; every
// byte that is no part of valid UTF-8 is written as the escape \udc80 to
// \udcff (0x80 to 0xFF in the low half of that range: a lone surrogate, which
// no text contains, so the bytes can be told apart and restored; Python
// reads them back with the "surrogateescape" error handler).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TNetFTPServerDigest {
  std::string Algorithm;  // "SHA-256", "SHA-1", "MD5", "CRC32"
  std::string Command;    // "HASH", "XSHA256", "XSHA1", "XMD5", "XCRC"
  std::string Value;      // lower-case hex
};

// What is known of one transfer. Empty texts and negative numbers are
// unknown and written as null.
struct TNetFTPReceipt {
  std::string Time;  // UTC, ISO 8601: when the transfer ended
  bool Download = true;
  std::optional<std::string> Company;
  std::string Server;      // "host:port" ("[::1]:21" for an IPv6 address)
  std::string RemotePath;  // as the client named it to the server
  std::string LocalPath;
  int64_t Bytes = -1;      // the local file's size once the transfer ended
  std::string Sha256;      // of the whole local file
  int64_t RemoteSize = -1; // "SIZE" after the transfer; -1: not given (unchecked)
  std::string RemoteModified;  // "MDTM" as ISO 8601
  std::optional<TNetFTPServerDigest> ServerDigest;  // none: the server offers none
  bool Ok = false;
  std::string Error;       // the failure's message when not Ok
};

// A JSON string literal (quotes included) for bytes, escaped as above.
std::string JSONString(std::string_view ABytes);

// The receipt as one line of JSON, without the line end.
std::string ReceiptLine(const TNetFTPReceipt& AReceipt);

// "host:port", with the host in brackets when it is an IPv6 address.
std::string ServerOfReceipt(const std::string& AHost, int32_t APort);

// The current time, UTC, as "2026-12-08T10:15:00Z".
std::string UtcTimeText();

// Completes the receipt of a command that ran (or failed) a transfer:
// the time, when the command failed before its transfer began; the failure,
// AError (or "Transfer not completed." when that is empty), unless the
// transfer itself ended well, which a failure after it does not undo; and
// the local file's size and SHA-256 when the transfer left them unknown (it
// failed before its data phase, or it did not hash) and the file exists.
void FinishReceipt(TNetFTPReceipt& AReceipt, const std::string& AError);

// Appends the receipt's line and a line end to the file, creating the file
// but no folder, and flushes it to the disk. Raises EFOpenError when the
// file cannot be opened, EInOutError when the write fails.
void AppendReceipt(const std::string& AFileName, const TNetFTPReceipt& AReceipt);
