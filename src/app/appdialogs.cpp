#include "appdialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <exception>

TErrorBoxHook ErrorBoxHook;
TInputBoxHook InputBoxHook;

void ShowErrorBox(const QString& AMessage) {
  if (ErrorBoxHook) {
    ErrorBoxHook(AMessage);
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationDisplayName(), AMessage);
}

void RunHandler(const std::function<void()>& AHandler) noexcept {
  QString Message;
  try {
    AHandler();
    return;
  } catch (const std::exception& E) {
    Message = QString::fromLocal8Bit(E.what());
  } catch (...) {
    Message = QStringLiteral("Unexpected failure.");
  }
  try {
    ShowErrorBox(Message);
  } catch (...) {
    // Nothing is left to tell the user with.
  }
}

QString InputBox(const QString& ACaption, const QString& APrompt, const QString& ADefault) {
  QString Value = ADefault;
  if (InputBoxHook) return InputBoxHook(ACaption, APrompt, Value) ? Value : ADefault;
  bool Accepted = false;
  const QString Answer =
      QInputDialog::getText(QApplication::activeWindow(), ACaption, APrompt, QLineEdit::Normal, ADefault, &Accepted);
  return Accepted ? Answer : ADefault;
}

std::string ToNetText(const QString& AText) { return AText.toLocal8Bit().toStdString(); }

QString FromNetText(const std::string& AText) {
  return QString::fromLocal8Bit(AText.data(), static_cast<qsizetype>(AText.size()));
}
