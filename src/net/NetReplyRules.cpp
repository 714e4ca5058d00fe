#include "NetReplyRules.h"

#include "NetText.h"

namespace {

// The code a reply's first line begins with: its first three characters.
std::string_view ReplyCode(const std::string& AFirstLine) { return std::string_view(AFirstLine).substr(0, 3); }

}  // namespace

bool OpensMultiLineReply(const std::string& AFirstLine) { return AFirstLine.size() > 3 && AFirstLine[3] == '-'; }

bool ClosesMultiLineReply(const std::string& AFirstLine, const std::string& ALine) {
  const std::string_view code = ReplyCode(AFirstLine);
  if (ALine.size() < 4) return SameText(ALine, code);
  return SameText(std::string_view(ALine).substr(0, 3), code) && ALine[3] == ' ';
}
