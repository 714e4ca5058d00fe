// The question a window asks when a server's certificate does not verify:
// trust it for that host and port (its fingerprint goes into the trust
// store), or, when another certificate is stored for it, replace that one
// (asked twice, the second time as an explicit confirmation).
#pragma once

#include <QString>
#include <functional>
#include <stdexcept>
#include <string>

class ENetTLSCertificateRefused;
class QWidget;

enum TTrustQuestionKind : int {
  tqNewCertificate,      // nothing stored for the host and port
  tqChangedCertificate,  // another fingerprint is stored: a warning
  tqConfirmReplace,      // the second, explicit confirmation of a replacement
};

struct TTrustQuestion {
  TTrustQuestionKind Kind = tqNewCertificate;
  QString Title;
  QString Text;
  QString AcceptCaption;  // the button that answers yes; the other one is "Cancel"
};

// The user did not trust the certificate: the operation ends here.
class ECertificateNotTrusted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Answers true for the accepting button.
using TTrustPrompt = std::function<bool(const TTrustQuestion& AQuestion)>;

// The questions, for the refused certificate ARefused; AStored is the
// fingerprint stored for its host and port (changed and confirm only).
TTrustQuestion NewCertificateQuestion(const ENetTLSCertificateRefused& ARefused);
TTrustQuestion ChangedCertificateQuestion(const ENetTLSCertificateRefused& ARefused, const std::string& AStored);
TTrustQuestion ConfirmReplaceQuestion(const ENetTLSCertificateRefused& ARefused, const std::string& AStored);

// The modal box over AParent (a hidden window's question shows on its own);
// "Cancel" is the default button.
bool ShowTrustQuestion(QWidget* AParent, const TTrustQuestion& AQuestion);
