// The labelled edit field: a single-line edit that carries its own caption
// label, placed beside the field wherever the field moves, and that changes
// its colours while it has the focus or the mouse.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QPointer>

#include "adBoundLabel.h"

enum TadControlPosition : int { adNone, adAboveLeft, adAboveRight, adBelowLeft, adBelowRight, adLeft, adRight };

// What typed letters become.
enum TLetterCase : int { lcAsTyped, lcUpper, lcLower };

// Values that can be copied from an object of the same class; copying from
// an object of another class is ignored.
class TadPersistent {
 public:
  virtual ~TadPersistent() = default;
  virtual void Assign(const TadPersistent& ASource) = 0;
};

class TadColorPair : public TadPersistent {
 public:
  QColor BackColor;
  QColor TextColor;

 protected:
  TadColorPair(const QColor& ABackColor, const QColor& ATextColor) : BackColor(ABackColor), TextColor(ATextColor) {}
  template <class T>
  void CopyFrom(const TadPersistent& ASource) {
    if (const auto* Source = dynamic_cast<const T*>(&ASource)) {
      BackColor = Source->BackColor;
      TextColor = Source->TextColor;
    }
  }
};

// Sky blue behind the window text colour.
class TadWhenEnterFocus : public TadColorPair {
 public:
  TadWhenEnterFocus();
  void Assign(const TadPersistent& ASource) override { CopyFrom<TadWhenEnterFocus>(ASource); }
};

// The window colours.
class TadWhenExitFocus : public TadColorPair {
 public:
  TadWhenExitFocus();
  void Assign(const TadPersistent& ASource) override { CopyFrom<TadWhenExitFocus>(ASource); }
};

// The window background behind grey text. Held and copied; no state change applies it.
class TadWhenDisabled : public TadColorPair {
 public:
  TadWhenDisabled();
  void Assign(const TadPersistent& ASource) override { CopyFrom<TadWhenDisabled>(ASource); }
};

class TadColors : public TadPersistent {
 public:
  bool Active = true;  // off: entry and exit leave the colours alone
  TadWhenEnterFocus WhenEnterFocus;
  TadWhenExitFocus WhenExitFocus;
  TadWhenDisabled WhenDisabled;

  void Assign(const TadPersistent& ASource) override;
};

class TadCustomLabelEdit : public QLineEdit {
 public:
  explicit TadCustomLabelEdit(QWidget* AParent = nullptr);
  ~TadCustomLabelEdit() override;

  // The caption label: it belongs to this field and goes with it. Null once
  // the label was destroyed on its own. Its caption starts as the field's
  // object name and follows renames while it still equals the old name.
  TadBoundLabel* LabelDefs() const { return FLabel; }

  TadControlPosition LabelPosition() const { return FLabelPosition; }
  void SetLabelPosition(TadControlPosition AValue);
  int LabelSpacing() const { return FLabelSpacing; }
  void SetLabelSpacing(int AValue);
  TControlAlign Align() const { return FAlign; }
  void SetAlign(TControlAlign AValue);
  TLetterCase CharCase() const { return FCharCase; }
  void SetCharCase(TLetterCase AValue);

  TadColors Colors;
  QString About = QStringLiteral("Version 1.2");

  // Moves and sizes the field and places the caption at once (a field that
  // is not shown yet gets its move and resize events only when shown).
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

  // The caption is shown and hidden with the field.
  void setVisible(bool AVisible) override;

 protected:
  bool event(QEvent* AEvent) override;
  void changeEvent(QEvent* AEvent) override;
  void focusInEvent(QFocusEvent* AEvent) override;
  void focusOutEvent(QFocusEvent* AEvent) override;
  void enterEvent(QEnterEvent* AEvent) override;
  void leaveEvent(QEvent* AEvent) override;
  void moveEvent(QMoveEvent* AEvent) override;
  void resizeEvent(QResizeEvent* AEvent) override;

 private:
  bool FieldShown() const;
  void ShowLabel();
  void PlaceLabel();
  void ApplyColors(const TadColorPair& APair);

  QPointer<TadBoundLabel> FLabel;
  TadControlPosition FLabelPosition = adAboveLeft;
  int FLabelSpacing = 3;
  TControlAlign FAlign = caNone;
  TLetterCase FCharCase = lcAsTyped;
  QString FNameShown;
};

// The field with every property above in use.
class TadLabelEdit : public TadCustomLabelEdit {
 public:
  using TadCustomLabelEdit::TadCustomLabelEdit;
};
