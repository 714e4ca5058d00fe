#include "typednames.h"

#include <QStringList>
#include <algorithm>

namespace {

bool HoldsControlCharacters(const QString& AText) {
  return std::any_of(AText.begin(), AText.end(), [](QChar AChar) { return AChar.category() == QChar::Other_Control; });
}

}  // namespace

QString TypedNamesProblem(const QString& AFileName, const QString& ACompany) {
  if (AFileName.isEmpty()) return QStringLiteral("NOME ARQUIVO is empty: type the name of the file.");
  if (HoldsControlCharacters(AFileName)) return QStringLiteral("NOME ARQUIVO may not hold control characters.");
  if (AFileName.contains(QLatin1Char('/')) || AFileName.contains(QLatin1Char('\\')))
    return QStringLiteral("NOME ARQUIVO must be a plain file name, without \"/\" or \"\\\".");
  if (AFileName == QLatin1String(".") || AFileName == QLatin1String(".."))
    return QStringLiteral("NOME ARQUIVO may not be \".\" or \"..\".");
  if (HoldsControlCharacters(ACompany)) return QStringLiteral("EMPRESA may not hold control characters.");
  if (ACompany.startsWith(QLatin1Char('/'))) return QStringLiteral("EMPRESA may not start with \"/\".");
  if (ACompany.split(QLatin1Char('/')).contains(QStringLiteral("..")))
    return QStringLiteral("EMPRESA may not hold a \"..\" folder.");
  return QString();
}
