// The FTP control session: connecting, greeting, login and the simple
// commands that need no data connection (RFC 959, 4.1).
#include "NetFTP.h"

#include "NetExceptions.h"
#include "NetFTPFacts.h"
#include "NetFTPReplyRules.h"
#include "NetScope.h"

TNetFTP::TNetFTP(TNetBaseComponent* AOwner)
    : TNetTCPClient(AOwner),
      FListingLines(std::make_unique<TStringList>()),
      FLoginReply(std::make_unique<TNetRFCReply>()),
      FProxySettings(std::make_unique<TNetFtpProxySettings>()) {
  Port = 21;
}

TNetFTP::~TNetFTP() {
  // A transfer's data connection goes first; then the owned records, in the
  // order they were documented, before the connection's own clean-up.
  FDataConnection.reset();
  FListingLines.reset();
  FLoginReply.reset();
  FParsedListing.reset();
  FProxySettings.reset();
}

void TNetFTP::CheckArgument(const std::string& AValue, const char* AWhat) const {
  if (AValue.find_first_of("\r\n") != std::string::npos) throw ENetInvalidCommandArgument(AWhat);
}

void TNetFTP::OpenSession(bool AAutoLogin, int32_t ATimeout) {
  // Through an FTP proxy the control connection goes to the proxy; Host and
  // Port stay the server's, which the proxy login names.
  const bool viaProxy = FProxySettings->ProxyType != fpcmNone && !FProxySettings->Host.empty();
  FControlHost = viaProxy ? FProxySettings->Host : Host;
  FControlPort = viaProxy ? FProxySettings->Port : Port;
  FFeatures.clear();
  FFeaturesAsked = false;
  FUTF8Names = false;
  FEPSVRefused = false;
  FPORTRefused = false;
  TNetScopeExit closeOnFailure([this] { CloseConnection(); });
  FHashOptsSent = false;
  FHashRefused = false;
  PrepareControlTLS();
  OpenConnectionTo(FControlHost, FControlPort, ATimeout);
  ApplyKeepAlive(*this);
  ReadReply({220});
  GreetingReply.Assign(LastReply);
  NegotiateControlTLS();
  if (AAutoLogin) {
    Login();
    if (OnAfterClientLogin) OnAfterClientLogin(this);
    if (SendCommand("SYST", {200, 215, 500}) == 500) {
      FSystemDescription = "Unknown";
    } else {
      FSystemDescription = LastReply.Text.empty() ? std::string() : LastReply.Text.front();
    }
    if (UseFEAT) RequestFeatures();
    if (UsesMachineListings()) ChooseListingFacts();
    ReportStatus(ftpReady, {"Connection established"});
  }
  closeOnFailure.Release();
}

// The proxy account: "USER" and, when asked for, "PASS" of the account at the
// proxy; nothing without a proxy user name.
void TNetFTP::ProxyAccountStep() {
  if (FProxySettings->UserName.empty()) return;
  if (SendCommand("USER " + FProxySettings->UserName, {230, 331}) == 331)
    SendCommand("PASS " + FProxySettings->Password, {230});
}

// The server account: "USER" and, when asked for, "PASS". A 230 to "USER"
// logs in without a password. There is no account step: 332 is refused.
void TNetFTP::ServerAccountStep() {
  if (SendCommand("USER " + Username, {230, 331}) == 331) SendCommand("PASS " + Password, {230});
}

void TNetFTP::Login() {
  CheckArgument(Username, "The user name");
  CheckArgument(Password, "The password");
  CheckArgument(Host, "The host name");
  CheckArgument(FProxySettings->UserName, "The proxy user name");
  CheckArgument(FProxySettings->Password, "The proxy password");

  switch (FProxySettings->ProxyType) {
    case fpcmNone:
      ServerAccountStep();
      break;
    case fpcmUserSite:
      ProxyAccountStep();
      if (SendCommand("USER " + Username + "@" + Host, {230, 331}) == 331) SendCommand("PASS " + Password, {230});
      break;
    case fpcmSite:
      ProxyAccountStep();
      SendCommand("SITE " + Host, TReplyCodes{});
      ServerAccountStep();
      break;
    case fpcmOpen:
      ProxyAccountStep();
      SendCommand("OPEN " + Host, TReplyCodes{});
      ServerAccountStep();
      break;
    case fpcmUserPass:
      if (SendCommand(FormatMessage("USER %s@%s@%s", {Username, FProxySettings->UserName, Host}), {230, 331}) ==
          331) {
        if (FProxySettings->Password.empty()) {
          SendCommand("PASS " + Password, {230});
        } else {
          SendCommand("PASS " + Password + "@" + FProxySettings->Password, {230});
        }
      }
      break;
    case fpcmTransparent:
      ProxyAccountStep();
      ServerAccountStep();
      break;
    case fpcmHttpProxyWithFtp:
      throw ENetException("Command not supported.");
  }
  FLoginReply->Assign(LastReply);
  ProtectDataChannel();
  SendTransferType();
}

void TNetFTP::RequestFeatures() {
  FFeaturesAsked = true;
  const int16_t code = SendCommand("FEAT", TReplyCodes{});
  FFeatures = FeaturesOfReply(code, LastReply.Text);
  FUTF8Names = ListsFeature(FFeatures, "UTF8");
  if (FUTF8Names) SendCommand("OPTS UTF8 ON", TReplyCodes{});
}

bool TNetFTP::HasFeature(const std::string& AFeature) const { return ListsFeature(FFeatures, AFeature); }

void TNetFTP::ChooseListingFacts() {
  for (const std::string& feature : FFeatures) {
    const std::string wanted = WantedFactsOfFeature(feature);
    if (!wanted.empty()) SendCommand("OPTS MLST " + wanted, TReplyCodes{});
  }
}

void TNetFTP::SendTransferType() { SendCommand(FTransferType == ftASCII ? "TYPE A" : "TYPE I", {200}); }

void TNetFTP::SetTransferType(TNetFTPTransferType AValue) {
  if (AValue == FTransferType || FDataConnection) return;
  FTransferType = AValue;
  if (IsConnected()) SendTransferType();
}

void TNetFTP::Quit() {
  if (IsConnected()) WriteLine("QUIT");
  CloseConnection();
}

void TNetFTP::ChangeDirectory(const std::string& ADirectory) {
  CheckArgument(ADirectory, "The folder name");
  SendCommand("CWD " + ADirectory, {200, 250});
}

// Sends PWD; the folder is the quoted path of the 257 reply (QuotedDirectoryOfReply).
std::string TNetFTP::CurrentDirectory() {
  SendCommand("PWD", {257});
  return QuotedDirectoryOfReply(LastReply.Text);
}

void TNetFTP::MakeDirectory(const std::string& ADirectory) {
  CheckArgument(ADirectory, "The folder name");
  SendCommand("MKD " + ADirectory, {257});
}

void TNetFTP::RemoveDirectory(const std::string& ADirectory) {
  CheckArgument(ADirectory, "The folder name");
  SendCommand("RMD " + ADirectory, {250});
}

void TNetFTP::RemoveFile(const std::string& AName) {
  CheckArgument(AName, "The file name");
  SendCommand("DELE " + AName, {250});
}

// Sends SIZE; any reply but 213 gives -1, without an error. Sizes are
// 64-bit, so a file of any size reports right (SizeOfReply).
int64_t TNetFTP::FileSize(const std::string& AName) {
  CheckArgument(AName, "The file name");
  if (UsesMachineListings()) {
    std::string size;
    int64_t value = 0;
    return FactOfLine(FactsOf(AName), "size", size) && TryFactNumber(size, value) ? value : -1;
  }
  if (SendCommand("SIZE " + AName, TReplyCodes{}) != 213) return -1;
  return SizeOfReply(LastReply.Text);
}

// Sends MDTM; the 213 reply holds the time in UTC, "213 20240301140533".
TDateTime TNetFTP::FileModified(const std::string& AName) {
  CheckArgument(AName, "The file name");
  std::string stamp;
  if (UsesMachineListings()) {
    if (!FactOfLine(FactsOf(AName), "modify", stamp)) return 0;
  } else {
    if (SendCommand("MDTM " + AName, TReplyCodes{}) != 213 || LastReply.Text.empty()) return 0;
    stamp = Trim(LastReply.Text.front());
  }
  TDateTime value;
  return TryFactTime(stamp, value) ? value : 0;
}

// Sends MLST; the facts stand on the reply's second line.
std::string TNetFTP::FactsOf(const std::string& AName) {
  if (SendCommand("MLST " + AName, TReplyCodes{}) != 250) return std::string();
  return FactsLineOfReply(LastReply.Text);
}

int16_t TNetFTP::RawCommand(const std::string& ACommand) { return SendCommand(ACommand, TReplyCodes{}); }

bool TNetFTP::ResumeSupported() {
  if (FResumeProbed) return FResumeSupported;
  FResumeProbed = true;
  FResumeSupported = SendCommand("REST 1", TReplyCodes{}) == 350;
  SendCommand("REST 0", TReplyCodes{});  // back to the start for the next transfer
  return FResumeSupported;
}

// --- Listing

void TNetFTP::SetOnParseCustomListFormat(TNetOnParseCustomListFormat AValue) {
  FOnParseCustomListFormat = std::move(AValue);
  if (FParsedListing) FParsedListing->OnParseCustomListFormat = FOnParseCustomListFormat;
}

void TNetFTP::PrepareListing() {
  std::unique_ptr<TNetFTPListItems> list;
  if (OnCreateFTPList) OnCreateFTPList(this, list);
  if (!list) list = std::make_unique<TNetFTPListItems>();
  list->OnParseCustomListFormat = FOnParseCustomListFormat;
  FParsedListing = std::move(list);
}

TNetFTPListItems& TNetFTP::ParsedListing() {
  if (!FParsedListing) {
    PrepareListing();
    if (FMachineListing) {
      FParsedListing->ListingFormat = flfMachine;
      FParsedListing->ReadListing(*FListingLines);
    } else {
      FParsedListing->LoadListing(*FListingLines, this, OnCheckListFormat);
    }
  }
  return *FParsedListing;
}
