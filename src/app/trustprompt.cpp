#include "trustprompt.h"

#include <QMessageBox>
#include <QPushButton>

#include "NetExceptions.h"
#include "appdialogs.h"

namespace {

QString Server(const ENetTLSCertificateRefused& ARefused) {
  return FromNetText(ARefused.Host) + QLatin1Char(':') + QString::number(ARefused.Port);
}

QString Particulars(const ENetTLSCertificateRefused& ARefused) {
  return QStringLiteral("Server: %1\nSubject: %2\nIssuer: %3\nValid from: %4\nValid until: %5\nNot verified: %6\n")
      .arg(Server(ARefused), FromNetText(ARefused.Subject), FromNetText(ARefused.Issuer),
           FromNetText(ARefused.ValidFrom), FromNetText(ARefused.ValidUntil), FromNetText(ARefused.Reasons));
}

}  // namespace

TTrustQuestion NewCertificateQuestion(const ENetTLSCertificateRefused& ARefused) {
  TTrustQuestion Question;
  Question.Kind = tqNewCertificate;
  Question.Title = QStringLiteral("Unverified certificate");
  Question.Text = QStringLiteral("The certificate of %1 could not be verified.\n\n").arg(Server(ARefused)) +
                  Particulars(ARefused) +
                  QStringLiteral("SHA-256 fingerprint: %1\n\n"
                                 "Compare the fingerprint with the one the server's administrator gives you. "
                                 "Trust this certificate for %2 and connect?")
                      .arg(FromNetText(ARefused.Fingerprint), Server(ARefused));
  Question.AcceptCaption = QStringLiteral("Trust and connect");
  return Question;
}

TTrustQuestion ChangedCertificateQuestion(const ENetTLSCertificateRefused& ARefused, const std::string& AStored) {
  TTrustQuestion Question;
  Question.Kind = tqChangedCertificate;
  Question.Title = QStringLiteral("Certificate changed");
  Question.Text = QStringLiteral("WARNING: the certificate of %1 is not the one you trusted before. "
                                 "Someone may be intercepting the connection, or the server has a new "
                                 "certificate.\n\n")
                      .arg(Server(ARefused)) +
                  Particulars(ARefused) +
                  QStringLiteral("Trusted fingerprint: %1\nOffered fingerprint: %2\n\n"
                                 "The connection was refused.")
                      .arg(FromNetText(AStored), FromNetText(ARefused.Fingerprint));
  Question.AcceptCaption = QStringLiteral("Replace the trusted certificate...");
  return Question;
}

TTrustQuestion ConfirmReplaceQuestion(const ENetTLSCertificateRefused& ARefused, const std::string& AStored) {
  TTrustQuestion Question;
  Question.Kind = tqConfirmReplace;
  Question.Title = QStringLiteral("Replace trusted certificate");
  Question.Text = QStringLiteral("Replace the trusted fingerprint of %1\n%2\nwith\n%3\nand connect? "
                                 "Do this only if you know that the server's certificate has changed.")
                      .arg(Server(ARefused), FromNetText(AStored), FromNetText(ARefused.Fingerprint));
  Question.AcceptCaption = QStringLiteral("Replace and connect");
  return Question;
}

bool ShowTrustQuestion(QWidget* AParent, const TTrustQuestion& AQuestion) {
  QMessageBox Box(AQuestion.Kind == tqNewCertificate ? QMessageBox::Question : QMessageBox::Warning, AQuestion.Title,
                  AQuestion.Text, QMessageBox::NoButton, AParent != nullptr && AParent->isVisible() ? AParent : nullptr);
  QPushButton* Accept = Box.addButton(AQuestion.AcceptCaption, QMessageBox::AcceptRole);
  QPushButton* Cancel = Box.addButton(QMessageBox::Cancel);
  Box.setDefaultButton(Cancel);
  Box.setEscapeButton(Cancel);
  Box.exec();
  return Box.clickedButton() == Accept;
}
