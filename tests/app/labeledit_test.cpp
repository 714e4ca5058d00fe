#include "adLabelEdit.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QPointer>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QColor SkyBlue(166, 202, 240);

QColor Back(const QWidget* AWidget) { return AWidget->palette().color(QPalette::Active, QPalette::Base); }
QColor Fore(const QWidget* AWidget) { return AWidget->palette().color(QPalette::Active, QPalette::Text); }

void Send(QWidget* AWidget, QEvent::Type AType) {
  if (AType == QEvent::FocusIn || AType == QEvent::FocusOut) {
    QFocusEvent Event(AType, Qt::TabFocusReason);
    QApplication::sendEvent(AWidget, &Event);
  } else if (AType == QEvent::Enter) {
    QEnterEvent Event(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(AWidget, &Event);
  } else {
    QEvent Event(AType);
    QApplication::sendEvent(AWidget, &Event);
  }
}

class LabelEditTest : public testing::Test {
 protected:
  void SetUp() override {
    Parent.resize(500, 300);
    Field->SetBounds(100, 100, 145, 21);
    Caption()->resize(50, 13);
  }
  TadBoundLabel* Caption() const { return Field->LabelDefs(); }

  QWidget Parent;
  TadLabelEdit* Field = new TadLabelEdit(&Parent);
};

}  // namespace

TEST_F(LabelEditTest, Defaults) {
  TadLabelEdit Loose;
  EXPECT_EQ(Loose.width(), 145);
  EXPECT_EQ(Loose.LabelPosition(), adAboveLeft);
  EXPECT_EQ(Loose.LabelSpacing(), 3);
  EXPECT_EQ(Loose.About, "Version 1.2");
  EXPECT_TRUE(Loose.Colors.Active);
  EXPECT_EQ(Loose.Colors.WhenEnterFocus.BackColor, SkyBlue);
  EXPECT_EQ(Loose.Colors.WhenExitFocus.BackColor, QApplication::palette().color(QPalette::Base));
  EXPECT_EQ(Loose.Colors.WhenDisabled.TextColor, QApplication::palette().color(QPalette::Disabled, QPalette::Text));
  // A field without a parent keeps its caption out of sight, not as a window.
  EXPECT_EQ(Loose.LabelDefs()->parentWidget(), nullptr);
  EXPECT_TRUE(Loose.LabelDefs()->isHidden());

  EXPECT_EQ(Caption()->parentWidget(), &Parent);
  EXPECT_EQ(Caption()->buddy(), Field);  // its access key focuses the field
  EXPECT_EQ(Caption()->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_TRUE(Caption()->alignment() & Qt::AlignVCenter);
}

TEST_F(LabelEditTest, CaptionStartsAsTheFieldsName) {
  Field->setObjectName("empresa");
  EXPECT_EQ(Caption()->Caption(), "empresa");
  Field->setObjectName("cliente");
  EXPECT_EQ(Caption()->Caption(), "cliente");
  Caption()->SetCaption("EMPRESA");
  Field->setObjectName("other");
  EXPECT_EQ(Caption()->Caption(), "EMPRESA");
}

TEST_F(LabelEditTest, CaptionStandsWhereThePositionSays) {
  // Field 100,100 145 x 21; caption 50 x 13; spacing 3.
  struct TCase {
    TadControlPosition Position;
    QPoint At;
    bool RightJustified;
  };
  const TCase Cases[] = {
      {adAboveLeft, {100, 84}, false},  {adAboveRight, {195, 84}, true}, {adBelowLeft, {100, 124}, false},
      {adBelowRight, {195, 124}, true}, {adLeft, {47, 104}, true},       {adRight, {248, 104}, false},
  };
  for (const TCase& Case : Cases) {
    Field->SetLabelPosition(Case.Position);
    EXPECT_EQ(Field->LabelPosition(), Case.Position);
    EXPECT_EQ(Caption()->pos(), Case.At) << "position " << Case.Position;
    EXPECT_EQ(Caption()->size(), QSize(50, 13)) << "position " << Case.Position;
    EXPECT_EQ((Caption()->alignment() & Qt::AlignRight) != 0, Case.RightJustified) << "position " << Case.Position;
  }
}

TEST_F(LabelEditTest, CaptionFollowsMovesSpacingAndHalvesTowardZero) {
  Field->SetBounds(10, 50, 200, 21);
  EXPECT_EQ(Caption()->pos(), QPoint(10, 34));
  Field->SetLabelSpacing(7);
  EXPECT_EQ(Caption()->pos(), QPoint(10, 30));
  Field->SetLabelPosition(adRight);
  EXPECT_EQ(Caption()->pos(), QPoint(217, 54));  // 50 + (21 - 13) / 2
  Caption()->resize(50, 30);
  Field->SetBounds(10, 50, 200, 21);
  EXPECT_EQ(Caption()->pos(), QPoint(217, 46));  // (21 - 30) / 2 is -4, not -5

  // Moves made by the library (here while shown) place it as well.
  Parent.show();
  Field->SetLabelPosition(adBelowLeft);
  Field->move(20, 20);
  EXPECT_EQ(Caption()->pos(), QPoint(20, 48));
  Field->resize(100, 40);
  EXPECT_EQ(Caption()->pos(), QPoint(20, 67));
}

TEST_F(LabelEditTest, NoneHidesTheCaptionAndAnotherPositionShowsItAgain) {
  Parent.show();
  EXPECT_TRUE(Caption()->isVisible());
  Field->SetLabelPosition(adNone);
  EXPECT_FALSE(Caption()->isVisible());
  Field->SetBounds(30, 30, 145, 21);
  EXPECT_FALSE(Caption()->isVisible());
  Field->SetLabelPosition(adBelowRight);
  EXPECT_TRUE(Caption()->isVisible());
  EXPECT_EQ(Caption()->pos(), QPoint(125, 54));
}

TEST_F(LabelEditTest, ColoursFollowFocusAndMouse) {
  const QColor ExitBack = Field->Colors.WhenExitFocus.BackColor;
  Send(Field, QEvent::FocusIn);
  EXPECT_EQ(Back(Field), SkyBlue);
  EXPECT_EQ(Fore(Field), Field->Colors.WhenEnterFocus.TextColor);
  Send(Field, QEvent::FocusOut);
  EXPECT_EQ(Back(Field), ExitBack);

  Send(Field, QEvent::Enter);
  EXPECT_EQ(Back(Field), SkyBlue);
  Send(Field, QEvent::Leave);
  EXPECT_EQ(Back(Field), ExitBack);

  // The mouse leaving a focused field restores the exit colours all the same.
  Send(Field, QEvent::FocusIn);
  Send(Field, QEvent::Leave);
  EXPECT_EQ(Back(Field), ExitBack);

  Field->Colors.WhenEnterFocus.BackColor = Qt::yellow;
  Field->Colors.WhenEnterFocus.TextColor = Qt::darkGreen;
  Send(Field, QEvent::Enter);
  EXPECT_EQ(Back(Field), QColor(Qt::yellow));
  EXPECT_EQ(Fore(Field), QColor(Qt::darkGreen));
}

TEST_F(LabelEditTest, InactiveColoursAreLeftAlone) {
  Field->Colors.Active = false;
  const QColor Before = Back(Field);
  Send(Field, QEvent::FocusIn);
  EXPECT_EQ(Back(Field), Before);
  Send(Field, QEvent::Enter);
  EXPECT_EQ(Back(Field), Before);
  Field->Colors.WhenExitFocus.BackColor = Qt::red;
  Send(Field, QEvent::Leave);
  Send(Field, QEvent::FocusOut);
  EXPECT_EQ(Back(Field), Before);
}

TEST(LabelEditColors, AssignCopiesOnlyFromItsOwnClass) {
  TadColors Source;
  Source.Active = false;
  Source.WhenEnterFocus.BackColor = Qt::red;
  Source.WhenExitFocus.TextColor = Qt::green;
  Source.WhenDisabled.BackColor = Qt::blue;
  TadColors Target;
  Target.Assign(Source);
  EXPECT_FALSE(Target.Active);
  EXPECT_EQ(Target.WhenEnterFocus.BackColor, QColor(Qt::red));
  EXPECT_EQ(Target.WhenExitFocus.TextColor, QColor(Qt::green));
  EXPECT_EQ(Target.WhenDisabled.BackColor, QColor(Qt::blue));

  TadColors Fresh;
  Fresh.Assign(Source.WhenEnterFocus);  // a pair is no colour set
  EXPECT_TRUE(Fresh.Active);
  EXPECT_EQ(Fresh.WhenEnterFocus.BackColor, SkyBlue);
  Fresh.WhenExitFocus.Assign(Source.WhenEnterFocus);  // nor is it another pair
  EXPECT_EQ(Fresh.WhenExitFocus.BackColor, TadWhenExitFocus().BackColor);
  Fresh.WhenEnterFocus.Assign(Source.WhenEnterFocus);
  EXPECT_EQ(Fresh.WhenEnterFocus.BackColor, QColor(Qt::red));
}

TEST_F(LabelEditTest, CaptionFollowsVisibilityEnabledStateAndDirection) {
  Parent.show();
  Field->hide();
  EXPECT_FALSE(Caption()->isVisible());
  Field->show();
  EXPECT_TRUE(Caption()->isVisible());
  Field->setEnabled(false);
  EXPECT_FALSE(Caption()->isEnabled());
  Field->setEnabled(true);
  EXPECT_TRUE(Caption()->isEnabled());
  Field->setLayoutDirection(Qt::RightToLeft);
  EXPECT_EQ(Caption()->layoutDirection(), Qt::RightToLeft);

  // A caption switched off stays off when the field is shown again.
  Field->SetLabelPosition(adNone);
  Field->hide();
  Field->show();
  EXPECT_FALSE(Caption()->isVisible());
}

TEST_F(LabelEditTest, PositionSetWhileHiddenIsKept) {
  Parent.show();
  Field->hide();
  Field->SetLabelPosition(adBelowLeft);
  EXPECT_EQ(Field->LabelPosition(), adBelowLeft);
  EXPECT_FALSE(Caption()->isVisible());
  Field->show();
  EXPECT_TRUE(Caption()->isVisible());
  EXPECT_EQ(Caption()->pos(), QPoint(100, 124));
}

TEST_F(LabelEditTest, CaptionMovesToTheFieldsNewParent) {
  QWidget Other;
  Other.resize(300, 200);
  Other.show();
  Field->setParent(&Other);
  EXPECT_EQ(Caption()->parentWidget(), &Other);
  Field->show();  // a widget that changes parent is hidden until shown
  EXPECT_TRUE(Caption()->isVisible());
  EXPECT_EQ(Caption()->pos(), QPoint(100, 84));

  TadLabelEdit* Loose = new TadLabelEdit;
  Loose->setParent(&Other);
  Loose->show();
  EXPECT_EQ(Loose->LabelDefs()->parentWidget(), &Other);
  EXPECT_TRUE(Loose->LabelDefs()->isVisible());
}

TEST_F(LabelEditTest, CaptionAndFieldLiveAndDieTogether) {
  QPointer<TadBoundLabel> Label = Caption();
  delete Label.data();
  EXPECT_EQ(Field->LabelDefs(), nullptr);
  Field->SetBounds(1, 2, 3, 4);  // nothing left to place
  Field->SetLabelPosition(adLeft);

  auto* Second = new TadLabelEdit(&Parent);
  QPointer<TadBoundLabel> SecondLabel = Second->LabelDefs();
  delete Second;
  EXPECT_TRUE(SecondLabel.isNull());
}

TEST_F(LabelEditTest, CaptionAlignmentFollowsTheFields) {
  struct TCase {
    TControlAlign Field;
    TadControlPosition Position;
    TControlAlign Caption;
  };
  const TCase Cases[] = {
      {caNone, adAboveLeft, caNone},   {caTop, adAboveRight, caTop},     {caBottom, adBelowLeft, caBottom},
      {caTop, adLeft, caNone},         {caClient, adLeft, caLeft},       {caClient, adRight, caRight},
      {caBottom, adRight, caNone},     {caClient, adNone, caNone},       {caClient, adBelowRight, caBottom},
  };
  for (const TCase& Case : Cases) {
    Field->SetAlign(Case.Field);
    Field->SetLabelPosition(Case.Position);
    EXPECT_EQ(Caption()->Align, Case.Caption) << Case.Field << "/" << Case.Position;
  }
  // A field stuck to the left or right edge leaves the caption's alignment alone.
  Field->SetAlign(caTop);
  Field->SetLabelPosition(adAboveLeft);
  Field->SetAlign(caLeft);
  Field->SetLabelPosition(adBelowLeft);
  EXPECT_EQ(Caption()->Align, caTop);
}

TEST_F(LabelEditTest, LowerCaseTurnsTypedAndPastedCapitalsToLowerCase) {
  Field->SetCharCase(lcLower);
  QTest::keyClicks(Field, "ACME Ltda");
  EXPECT_EQ(Field->text(), "acme ltda");
  Field->insert(QStringLiteral(" ÇÃO"));
  EXPECT_EQ(Field->text(), QStringLiteral("acme ltda ção"));
  Field->SetCharCase(lcAsTyped);
  QTest::keyClicks(Field, "X");
  EXPECT_EQ(Field->text(), QStringLiteral("acme ltda çãoX"));
}
