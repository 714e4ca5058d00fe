// Where a numeric reply ends (RFC 959, 4.2): the text rule on its own, so the
// connection's reply reading and the tests share one statement of it.
#pragma once

#include <string>

// A reply is one line "nnn text", or several: the first is "nnn-text", and
// the reply runs up to and including the line that begins with the same code
// followed by a blank ("nnn text"). Lines in between may begin with anything,
// other codes included.
//
//   211-Features:
//    MDTM
//   150 not the end
//   211 End

// True when a reply's first line opens a multi-line reply ("211-Features:").
bool OpensMultiLineReply(const std::string& AFirstLine);

// True when ALine is the last line of the multi-line reply that AFirstLine
// opened. Lines arrive as received less their trailing blanks, so a final line
// made of the code and a blank arrives as the bare code ("226"); a short line
// ends the reply only when it is that bare code (a short text line such as
// "Hi!" or " CCC" inside a banner or a feature list does not). A line that
// begins with a blank never ends it: RFC 959 lets a server indent a text line
// that begins with digits (" 220 x" inside a "220-" banner).
bool ClosesMultiLineReply(const std::string& AFirstLine, const std::string& ALine);
