// What the send-files window accepts as names before it connects: the file
// name is a plain name in the working folder (and in the company's folder on
// the server), the company one folder or a path below /corvatec/. A typed
// "../x" or "/etc/x" would otherwise write (or read and send) a file outside
// the working folder.
#pragma once

#include <QString>
#include <stdexcept>

// A name refused before anything is connected; the message says why.
class ETypedNameRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why AFileName (NOME ARQUIVO) or ACompany (EMPRESA) is refused, or empty
// when both are fine. The file name may not be empty, "." or "..", nor hold
// "/", "\" or control characters; the company may not start with "/", nor
// hold a ".." folder or control characters. Blanks stay part of the names.
QString TypedNamesProblem(const QString& AFileName, const QString& ACompany);
