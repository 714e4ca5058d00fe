#include "adLabelEdit.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>
#include <QValidator>

namespace {

QColor SystemColor(QPalette::ColorGroup AGroup, QPalette::ColorRole ARole) {
  return QApplication::palette().color(AGroup, ARole);
}

// Turns whatever enters the field (typed or pasted) into one letter case.
class TLetterCaseValidator : public QValidator {
 public:
  TLetterCaseValidator(QObject* AParent, TLetterCase ACase) : QValidator(AParent), FCase(ACase) {}

  State validate(QString& AInput, int&) const override {
    AInput = FCase == lcUpper ? AInput.toUpper() : AInput.toLower();
    return Acceptable;
  }

 private:
  TLetterCase FCase;
};

}  // namespace

TadWhenEnterFocus::TadWhenEnterFocus()
    : TadColorPair(QColor(166, 202, 240), SystemColor(QPalette::Active, QPalette::Text)) {}

TadWhenExitFocus::TadWhenExitFocus()
    : TadColorPair(SystemColor(QPalette::Active, QPalette::Base), SystemColor(QPalette::Active, QPalette::Text)) {}

TadWhenDisabled::TadWhenDisabled()
    : TadColorPair(SystemColor(QPalette::Active, QPalette::Base), SystemColor(QPalette::Disabled, QPalette::Text)) {}

void TadColors::Assign(const TadPersistent& ASource) {
  if (const auto* Source = dynamic_cast<const TadColors*>(&ASource)) {
    Active = Source->Active;
    WhenEnterFocus.Assign(Source->WhenEnterFocus);
    WhenExitFocus.Assign(Source->WhenExitFocus);
    WhenDisabled.Assign(Source->WhenDisabled);
  }
}

TadCustomLabelEdit::TadCustomLabelEdit(QWidget* AParent) : QLineEdit(AParent) {
  resize(145, 21);
  // The caption is the field's sibling, so that it can stand outside the field.
  FLabel = new TadBoundLabel(AParent);
  FLabel->setBuddy(this);
  QPalette Palette = FLabel->palette();
  Palette.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
  FLabel->setPalette(Palette);
  if (AParent == nullptr) FLabel->hide();
  connect(this, &QObject::objectNameChanged, this, [this](const QString& AName) {
    if (FLabel && FLabel->Caption() == FNameShown) FLabel->SetCaption(AName);
    FNameShown = AName;
  });
  PlaceLabel();
}

TadCustomLabelEdit::~TadCustomLabelEdit() { delete FLabel.data(); }

void TadCustomLabelEdit::SetLabelPosition(TadControlPosition AValue) {
  FLabelPosition = AValue;
  PlaceLabel();
}

void TadCustomLabelEdit::SetLabelSpacing(int AValue) {
  FLabelSpacing = AValue;
  PlaceLabel();
}

void TadCustomLabelEdit::SetAlign(TControlAlign AValue) {
  FAlign = AValue;
  PlaceLabel();
}

void TadCustomLabelEdit::SetCharCase(TLetterCase AValue) {
  FCharCase = AValue;
  if (AValue == lcAsTyped)
    setValidator(nullptr);
  else
    setValidator(new TLetterCaseValidator(this, AValue));
}

void TadCustomLabelEdit::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  setGeometry(ALeft, ATop, AWidth, AHeight);
  PlaceLabel();
}

bool TadCustomLabelEdit::FieldShown() const {
  return parentWidget() != nullptr ? isVisibleTo(parentWidget()) : !isHidden();
}

void TadCustomLabelEdit::ShowLabel() {
  // A caption without a parent would become a window of its own.
  if (FLabel && FLabel->parentWidget() != nullptr)
    FLabel->setVisible(FieldShown() && FLabelPosition != adNone);
}

void TadCustomLabelEdit::PlaceLabel() {
  if (!FLabel) return;
  ShowLabel();

  const bool RightJustified =
      FLabelPosition == adAboveRight || FLabelPosition == adBelowRight || FLabelPosition == adLeft;
  FLabel->setAlignment((RightJustified ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);

  // A caption beside a field that is stuck to an edge follows it there; a
  // field stuck to the left or right edge leaves its caption's alignment alone.
  switch (FAlign) {
    case caNone:
      FLabel->Align = caNone;
      break;
    case caTop:
    case caBottom:
    case caClient:
      switch (FLabelPosition) {
        case adAboveLeft:
        case adAboveRight:
          FLabel->Align = caTop;
          break;
        case adBelowLeft:
        case adBelowRight:
          FLabel->Align = caBottom;
          break;
        case adLeft:
          FLabel->Align = FAlign == caClient ? caLeft : caNone;
          break;
        case adRight:
          FLabel->Align = FAlign == caClient ? caRight : caNone;
          break;
        case adNone:
          FLabel->Align = caNone;
          break;
      }
      break;
    case caLeft:
    case caRight:
      break;
  }

  const QRect Field = geometry();
  const int w = FLabel->width();
  const int h = FLabel->height();
  const int s = FLabelSpacing;
  switch (FLabelPosition) {
    case adAboveLeft:
      FLabel->move(Field.left(), Field.top() - h - s);
      break;
    case adAboveRight:
      FLabel->move(Field.left() + Field.width() - w, Field.top() - h - s);
      break;
    case adBelowLeft:
      FLabel->move(Field.left(), Field.top() + Field.height() + s);
      break;
    case adBelowRight:
      FLabel->move(Field.left() + Field.width() - w, Field.top() + Field.height() + s);
      break;
    case adLeft:
      FLabel->move(Field.left() - w - s, Field.top() + (Field.height() - h) / 2);
      break;
    case adRight:
      FLabel->move(Field.left() + Field.width() + s, Field.top() + (Field.height() - h) / 2);
      break;
    case adNone:
      break;
  }
}

void TadCustomLabelEdit::setVisible(bool AVisible) {
  QLineEdit::setVisible(AVisible);
  ShowLabel();
}

bool TadCustomLabelEdit::event(QEvent* AEvent) {
  const bool Result = QLineEdit::event(AEvent);
  if (AEvent->type() == QEvent::ParentChange && FLabel) {
    FLabel->setParent(parentWidget());
    PlaceLabel();
  }
  return Result;
}

void TadCustomLabelEdit::changeEvent(QEvent* AEvent) {
  QLineEdit::changeEvent(AEvent);
  if (!FLabel) return;
  if (AEvent->type() == QEvent::EnabledChange) FLabel->setEnabled(isEnabled());
  if (AEvent->type() == QEvent::LayoutDirectionChange) FLabel->setLayoutDirection(layoutDirection());
}

void TadCustomLabelEdit::ApplyColors(const TadColorPair& APair) {
  QPalette Palette = palette();
  for (const QPalette::ColorGroup Group : {QPalette::Active, QPalette::Inactive}) {
    Palette.setColor(Group, QPalette::Base, APair.BackColor);
    Palette.setColor(Group, QPalette::Text, APair.TextColor);
  }
  setPalette(Palette);
}

void TadCustomLabelEdit::focusInEvent(QFocusEvent* AEvent) {
  QLineEdit::focusInEvent(AEvent);
  if (Colors.Active) ApplyColors(Colors.WhenEnterFocus);
}

void TadCustomLabelEdit::focusOutEvent(QFocusEvent* AEvent) {
  QLineEdit::focusOutEvent(AEvent);
  if (Colors.Active) ApplyColors(Colors.WhenExitFocus);
}

void TadCustomLabelEdit::enterEvent(QEnterEvent* AEvent) {
  QLineEdit::enterEvent(AEvent);
  if (Colors.Active) ApplyColors(Colors.WhenEnterFocus);
}

void TadCustomLabelEdit::leaveEvent(QEvent* AEvent) {
  QLineEdit::leaveEvent(AEvent);
  if (Colors.Active) ApplyColors(Colors.WhenExitFocus);
}

void TadCustomLabelEdit::moveEvent(QMoveEvent* AEvent) {
  QLineEdit::moveEvent(AEvent);
  PlaceLabel();
}

void TadCustomLabelEdit::resizeEvent(QResizeEvent* AEvent) {
  QLineEdit::resizeEvent(AEvent);
  PlaceLabel();
}
