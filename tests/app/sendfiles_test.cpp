#include <QApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

#include "adLabelEdit.h"
#include "appcontrols.h"
#include "appdialogs.h"
#include "mainf.h"
#include "remessadados_u.h"
#include "typednames.h"

namespace {

class SendFilesTest : public testing::Test {
 protected:
  void SetUp() override { f_remessadados = Window.get(); }

  // Runs ACheck on the modal client window once it is up, then closes it.
  static void WhenModal(std::function<void(TMainForm*)> ACheck) {
    QTimer::singleShot(0, [ACheck] {
      auto* Client = qobject_cast<TMainForm*>(QApplication::activeModalWidget());
      ASSERT_NE(Client, nullptr);
      ACheck(Client);
      Client->close();
    });
  }

  std::unique_ptr<Tf_remessadados> Window = std::make_unique<Tf_remessadados>();
};

}  // namespace

TEST_F(SendFilesTest, ControlsStandAsLaidOut) {
  EXPECT_EQ(Window->objectName(), "f_remessadados");
  EXPECT_EQ(Window->windowTitle(), "REMESSA DADOS");
  EXPECT_EQ(Window->size(), QSize(463, 259));
  EXPECT_EQ(Window->font().pixelSize(), 11);

  struct TControl {
    QWidget* Control;
    const char* Name;
    QRect Geometry;
    bool Hidden;
  };
  const TControl Controls[] = {
      {Window->empresa, "empresa", {8, 24, 436, 21}, false},
      {Window->NOMEARQUIVO, "NOMEARQUIVO", {8, 64, 436, 21}, false},
      {Window->BitBtn2, "BitBtn2", {8, 184, 105, 25}, false},
      {Window->BitBtn3, "BitBtn3", {112, 184, 113, 25}, false},
      {Window->BitBtn4, "BitBtn4", {328, 184, 113, 25}, false},
      {Window->ProgressBar1, "ProgressBar1", {8, 120, 436, 57}, false},
      {Window->iniciacopia, "iniciacopia", {704, 56, 169, 25}, true},
      {Window->Button1, "Button1", {304, 88, 75, 25}, true},
  };
  for (const TControl& Item : Controls) {
    EXPECT_EQ(Window->findChild<QWidget*>(Item.Name), Item.Control) << Item.Name;
    EXPECT_EQ(Item.Control->geometry(), Item.Geometry) << Item.Name;
    EXPECT_EQ(Item.Control->isHidden(), Item.Hidden) << Item.Name;
  }

  EXPECT_EQ(Window->empresa->text(), "");
  EXPECT_EQ(Window->NOMEARQUIVO->text(), "operacoes.exe");
  EXPECT_EQ(Window->BitBtn2->text(), "&DOWNLOAD");
  EXPECT_EQ(Window->BitBtn3->text(), "&UPLOAD");
  EXPECT_EQ(Window->BitBtn4->text(), "&SAIR");
  EXPECT_EQ(Window->iniciacopia->text(), "copia arquivos");
  EXPECT_EQ(Window->Button1->text(), "Button1");
  EXPECT_EQ(QKeySequence::mnemonic(Window->BitBtn2->text()), QKeySequence(Qt::ALT | Qt::Key_D));
  EXPECT_EQ(QKeySequence::mnemonic(Window->BitBtn3->text()), QKeySequence(Qt::ALT | Qt::Key_U));
  EXPECT_EQ(QKeySequence::mnemonic(Window->BitBtn4->text()), QKeySequence(Qt::ALT | Qt::Key_S));
  for (QPushButton* Button : {Window->BitBtn2, Window->BitBtn3, Window->BitBtn4}) {
    EXPECT_TRUE(Button->font().bold()) << Button->objectName().toStdString();
    EXPECT_FALSE(Button->isDefault()) << Button->objectName().toStdString();
  }

  // The bound captions: bold navy, 3 pixels above their fields.
  const TadBoundLabel* Empresa = Window->empresa->LabelDefs();
  EXPECT_EQ(Empresa->Caption(), "EMPRESA");
  EXPECT_EQ(Empresa->geometry(), QRect(8, 8, 60, 13));
  const TadBoundLabel* Nome = Window->NOMEARQUIVO->LabelDefs();
  EXPECT_EQ(Nome->Caption(), "NOME ARQUIVO");
  EXPECT_EQ(Nome->geometry(), QRect(8, 48, 97, 13));
  for (const TadBoundLabel* Caption : {Empresa, Nome}) {
    EXPECT_TRUE(Caption->font().bold());
    EXPECT_EQ(Caption->font().pixelSize(), 11);
    EXPECT_EQ(Caption->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  }

  // Before any operation the label reads "mensagem" and the bar is empty.
  EXPECT_EQ(Window->mensagem->objectName(), "mensagem");
  EXPECT_EQ(Window->mensagem->text(), "mensagem");
  EXPECT_EQ(Window->mensagem->pos(), QPoint(8, 96));
  EXPECT_EQ(Window->mensagem->size(), Window->mensagem->sizeHint());
  EXPECT_TRUE(Window->mensagem->font().bold());
  EXPECT_EQ(Window->mensagem->font().pixelSize(), 16);
  EXPECT_EQ(Window->mensagem->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(Window->ProgressBar1->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(Window->ProgressBar1->Max(), 100);
  EXPECT_EQ(Window->ProgressBar1->Position(), 0);
  EXPECT_EQ(Window->ProgressBar1->value(), 0);
}

TEST_F(SendFilesTest, TabRunsThroughTheFieldsAndTheVisibleButtons) {
  // The chain the Tab key follows: widgets that take focus by Tab and would be shown.
  std::vector<QWidget*> Order;
  QWidget* Current = Window->empresa;
  do {
    if ((Current->focusPolicy() & Qt::TabFocus) && Current->isVisibleTo(Window.get())) Order.push_back(Current);
    Current = Current->nextInFocusChain();
  } while (Current != Window->empresa && Order.size() < 20);
  const std::vector<QWidget*> Expected = {Window->empresa, Window->NOMEARQUIVO, Window->BitBtn2, Window->BitBtn3,
                                          Window->BitBtn4};
  EXPECT_EQ(Order, Expected);
}

TEST_F(SendFilesTest, TypedCapitalsBecomeLowerCase) {
  QTest::keyClicks(Window->empresa, " ACME Ltda ");
  EXPECT_EQ(Window->empresa->text(), " acme ltda ");  // spaces stay
  Window->NOMEARQUIVO->clear();
  QTest::keyClicks(Window->NOMEARQUIVO, "DADOS.ZIP");
  EXPECT_EQ(Window->NOMEARQUIVO->text(), "dados.zip");
}

TEST_F(SendFilesTest, MessageLabelTakesTheSizeOfItsText) {
  const int Before = Window->mensagem->width();
  Window->SetMensagem("AGUARDE, COPIANDO ARQUIVOS...");
  EXPECT_GT(Window->mensagem->width(), Before);
  EXPECT_EQ(Window->mensagem->size(), Window->mensagem->sizeHint());
}

// A client window reports to the window that made it, through its events;
// the program-wide pointer to this window plays no part.
TEST_F(SendFilesTest, ClientWindowsItMakesShowTheirStatusAndProgressHere) {
  f_remessadados = nullptr;
  TMainForm* Client = Window->NewClientWindow();
  Client->NetFTP1Status("Connected to 127.0.0.1.");
  EXPECT_EQ(Window->mensagem->text(), "Connected to 127.0.0.1.");
  Client->NetFTP1WorkBegin(WorkModeWrite, 4000);
  Client->NetFTP1Work(WorkModeWrite, 1000);
  EXPECT_EQ(Window->ProgressBar1->Max(), 4000);
  EXPECT_EQ(Window->ProgressBar1->Position(), 1000);
  EXPECT_EQ(Window->mensagem->text(), Client->StatusBar1->PanelText(1));
  Client->NetFTP1WorkEnd(WorkModeWrite);
  EXPECT_EQ(Window->ProgressBar1->Position(), 0);
  EXPECT_EQ(Window->mensagem->text(), "Transfer complete.");
  Window->FreeClientWindow(Client);
}

TEST_F(SendFilesTest, SairClosesTheWindow) {
  Window->show();
  Window->BitBtn4->click();
  EXPECT_FALSE(Window->isVisible());
}

TEST_F(SendFilesTest, HiddenButton1ShowsAFreshClientWindowModallyAndFreesIt) {
  Window->show();
  TMainForm* Shown = nullptr;
  bool Maximised = false;
  WhenModal([&](TMainForm* AClient) {
    Shown = AClient;
    Maximised = AClient->windowState() & Qt::WindowMaximized;
    EXPECT_EQ(MainForm, AClient);
    EXPECT_EQ(AClient->CurrentDirEdit->text(), "");
    EXPECT_EQ(Window->ClientWindowCount(), 1u);
  });
  Window->Button1Click(Window->Button1);
  EXPECT_NE(Shown, nullptr);
  EXPECT_TRUE(Maximised);
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
  EXPECT_EQ(MainForm, nullptr);  // no dangling reference to the freed window
  EXPECT_TRUE(Window->isVisible());
}

TEST_F(SendFilesTest, HiddenCopyButtonOpensThePublicFolderThenEndsTheProgram) {
  Window->show();
  QTest::keyClicks(Window->empresa, "Acme");
  Window->NOMEARQUIVO->setText("dados.zip");
  QString Folder;
  QString File;
  QString Message;
  WhenModal([&](TMainForm* AClient) {
    Folder = AClient->CurrentDirEdit->text();
    File = AClient->arquivo->text();
    Message = Window->mensagem->text();
  });
  Window->iniciacopiaClick(Window->iniciacopia);
  EXPECT_EQ(Folder, "/public_ftp/acme");
  EXPECT_EQ(File, "dados.zip");
  EXPECT_EQ(Message, "AGUARDE, COPIANDO ARQUIVOS...");
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
  EXPECT_FALSE(Window->isVisible());
}

// A file name is a plain name in the working folder, a company a folder below
// /corvatec/: anything else is refused by both buttons before a client window
// is made, so nothing is connected, read or written.
TEST_F(SendFilesTest, NamesThatLeaveTheirFolderAreRefusedBeforeConnecting) {
  const struct {
    const char* File;
    const char* Company;
    const char* Message;
  } Refused[] = {
      {"../x", "demo", "NOME ARQUIVO must be a plain file name, without \"/\" or \"\\\"."},
      {"/etc/x", "demo", "NOME ARQUIVO must be a plain file name, without \"/\" or \"\\\"."},
      {"sub/x", "demo", "NOME ARQUIVO must be a plain file name, without \"/\" or \"\\\"."},
      {"..\\x", "demo", "NOME ARQUIVO must be a plain file name, without \"/\" or \"\\\"."},
      {"..", "demo", "NOME ARQUIVO may not be \".\" or \"..\"."},
      {".", "demo", "NOME ARQUIVO may not be \".\" or \"..\"."},
      {"", "demo", "NOME ARQUIVO is empty: type the name of the file."},
      {"a\tb", "demo", "NOME ARQUIVO may not hold control characters."},
      {"a\x7f", "demo", "NOME ARQUIVO may not hold control characters."},
      {"x", "/etc", "EMPRESA may not start with \"/\"."},
      {"x", "..", "EMPRESA may not hold a \"..\" folder."},
      {"x", "demo/../../etc", "EMPRESA may not hold a \"..\" folder."},
      {"x", "demo/..", "EMPRESA may not hold a \"..\" folder."},
      {"x", "de\rmo", "EMPRESA may not hold control characters."},
  };
  QStringList Errors;
  ErrorBoxHook = [&](const QString& AMessage) { Errors << AMessage; };
  int Made = 0;
  Window->OnClientWindowCreated = [&](TMainForm*) { ++Made; };
  Window->show();
  for (const auto& Case : Refused) {
    SCOPED_TRACE(std::string(Case.File) + " | " + Case.Company);
    Window->NOMEARQUIVO->setText(QString::fromLatin1(Case.File));
    Window->empresa->setText(QString::fromLatin1(Case.Company));
    for (QPushButton* Button : {Window->BitBtn2, Window->BitBtn3}) {
      Errors.clear();
      QTest::mouseClick(Button, Qt::LeftButton);
      EXPECT_EQ(Errors, QStringList{QString::fromLatin1(Case.Message)});
    }
  }
  ErrorBoxHook = nullptr;
  EXPECT_EQ(Made, 0);
  EXPECT_EQ(Window->ClientWindowCount(), 0u);
  EXPECT_TRUE(Window->isVisible());

  // Blanks stay part of the names; dots inside a name or folder are no "..".
  for (const auto& [File, Company] : {std::pair{" dados .txt ", "demo"}, std::pair{"..x", "a..b/sub"},
                                      std::pair{"operacoes.exe", ""}})
    EXPECT_EQ(TypedNamesProblem(QString::fromLatin1(File), QString::fromLatin1(Company)), QString()) << File;
}
