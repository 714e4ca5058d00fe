// Text helpers shared by every layer. Text is 8-bit; positions handed in and
// out are 1-based, and 0 means "not found". "Blanks" are the bytes 0 to 32
// (space and the control characters), as the trimming rules of the protocols
// treat them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using TStringList = std::vector<std::string>;

// The text before the first exact occurrence of Delim; Text keeps what follows
// the delimiter. Without an occurrence the token is the whole text and Text
// becomes empty.
std::string CutToken(std::string& Text, std::string_view Delim);

// Position of the last occurrence of Sub beginning at or before Start,
// ignoring letter case (-1 = from the end). A start beyond
// length(Text) - length(Sub) + 1 is lowered to it.
int64_t ReversePos(std::string_view Sub, std::string_view Text, int64_t Start = -1);

// Position of the first exact occurrence of Sub within the first Size bytes of
// Buffer; 0 when Sub is empty, longer than Size, or absent.
int64_t FindInBuffer(std::string_view Sub, const char* Buffer, int64_t Size);

// 0-based index of the first entry equal to Text, or -1.
int IndexOfText(std::string_view Text, const TStringList& List, bool CaseSensitive);

// 1 to 12 when the upper-cased text is exactly JAN ... DEC, else 0.
int MonthNumber(std::string_view Text);

inline bool IsDigitChar(char C) { return C >= '0' && C <= '9'; }
inline bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

std::string Trim(std::string_view Text);
std::string TrimLeft(std::string_view Text);
std::string TrimRight(std::string_view Text);

// ASCII letter case only: 8-bit text in an unknown code page keeps its other bytes.
std::string UpperCase(std::string_view Text);
std::string LowerCase(std::string_view Text);
bool SameText(std::string_view A, std::string_view B);
bool StartsText(std::string_view Prefix, std::string_view Text);  // ignoring case

std::string ReplaceAll(std::string_view Text, std::string_view From, std::string_view To);

// The standard text-to-integer conversion: leading blanks are skipped, one
// sign is allowed, and "$", "x" or "0x" (either case) make the rest
// hexadecimal. Anything else (an empty text, a trailing character, a value
// out of range) fails.
bool TryStrToInt64(std::string_view Text, int64_t& Value);
bool TryStrToInt(std::string_view Text, int32_t& Value);
int64_t StrToInt64Def(std::string_view Text, int64_t Default);
int32_t StrToIntDef(std::string_view Text, int32_t Default);
// Raise EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(std::string_view Text);
int64_t StrToInt64(std::string_view Text);

// Splits received text into lines: a line ends at CR LF, LF or CR; a final
// line without an end is kept, an empty text gives no lines.
TStringList SplitLines(std::string_view Text);

// Files.
bool FileExists(const std::string& FileName);
// Size in bytes; raises EFOpenError when the file cannot be opened for reading.
int64_t FileSizeOf(const std::string& FileName);

// True on the process's main thread.
bool OnMainThread();
