#include "appcontrols.h"

#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <climits>

QFont WindowFont() {
  QFont Font;
  // The design's face is not found on Linux; asked for alone, its name gets
  // fontconfig's substitute (DejaVu Sans), which is wider.
  Font.setFamilies({"Liberation Sans", "Arial", "DejaVu Sans Condensed", "DejaVu Sans"});
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(11);
  return Font;
}

QFont ListingFont() {
  QFont Font;
  Font.setFamilies({"Liberation Mono", "Courier New", "DejaVu Sans Mono"});
  Font.setStyleHint(QFont::TypeWriter);
  Font.setFixedPitch(true);
  Font.setPixelSize(13);
  return Font;
}

int ListRowHeight(const QFont& AFont) { return std::max(13, QFontMetrics(AFont).height()); }

namespace {

QStyleOptionButton ButtonOption(const QAbstractButton* AButton) {
  QStyleOptionButton Option;
  Option.initFrom(AButton);
  Option.text = AButton->text();
  if (const auto* Push = qobject_cast<const QPushButton*>(AButton)) {
    if (Push->isDefault()) Option.features |= QStyleOptionButton::DefaultButton;
    if (Push->autoDefault()) Option.features |= QStyleOptionButton::AutoDefaultButton;
    if (Push->isFlat()) Option.features |= QStyleOptionButton::Flat;
  }
  return Option;
}

}  // namespace

QRect CaptionArea(const QAbstractButton* AButton) {
  const QStyleOptionButton Option = ButtonOption(AButton);
  const bool Push = qobject_cast<const QPushButton*>(AButton) != nullptr;
  return AButton->style()->subElementRect(Push ? QStyle::SE_PushButtonContents : QStyle::SE_CheckBoxContents,
                                          &Option, AButton);
}

QSize CaptionSize(const QAbstractButton* AButton) {
  return AButton->fontMetrics().size(Qt::TextShowMnemonic, AButton->text());
}

void WidenToCaption(QAbstractButton* AButton) {
  const int Missing = CaptionSize(AButton).width() - CaptionArea(AButton).width();
  if (Missing > 0) AButton->resize(AButton->width() + Missing, AButton->height());
}

namespace {

// The first punctuation character of a date or time format, if any.
char SeparatorOf(const QString& AFormat, char ADefault) {
  for (const QChar c : AFormat)
    if (!c.isLetter() && !c.isSpace() && c.unicode() < 0x80) return static_cast<char>(c.unicode());
  return ADefault;
}

}  // namespace

TDisplaySeparators SystemSeparators() {
  const QLocale Locale = QLocale::system();
  TDisplaySeparators Result;
  Result.Date = SeparatorOf(Locale.dateFormat(QLocale::ShortFormat), '/');
  Result.Time = SeparatorOf(Locale.timeFormat(QLocale::ShortFormat), ':');
  const QString Decimal = Locale.decimalPoint();
  if (Decimal.size() == 1 && Decimal.at(0).unicode() < 0x80) Result.Decimal = static_cast<char>(Decimal.at(0).unicode());
  return Result;
}

// ---- TBevelPanel ----

TBevelPanel::TBevelPanel(QWidget* AParent) : QWidget(AParent) {}

void TBevelPanel::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  QRect Rect = rect();
  const auto Bevel = [&](TBevelCut ACut) {
    if (ACut == bcNone) return;
    const QColor Light = palette().color(QPalette::Light);
    const QColor Shadow = palette().color(QPalette::Dark);
    Painter.setPen(ACut == bcRaised ? Light : Shadow);
    Painter.drawLine(Rect.topLeft(), Rect.topRight());
    Painter.drawLine(Rect.topLeft(), Rect.bottomLeft());
    Painter.setPen(ACut == bcRaised ? Shadow : Light);
    Painter.drawLine(Rect.bottomLeft(), Rect.bottomRight());
    Painter.drawLine(Rect.topRight(), Rect.bottomRight());
    Rect.adjust(1, 1, -1, -1);
  };
  Bevel(BevelOuter);
  Bevel(BevelInner);
  if (!Caption.isEmpty()) {
    Painter.setPen(palette().color(QPalette::WindowText));
    Painter.drawText(Rect, static_cast<int>(CaptionAlignment | Qt::AlignVCenter), Caption);
  }
}

// ---- TResizeBar ----

TResizeBar::TResizeBar(QWidget* AParent) : QWidget(AParent) { setCursor(Qt::SizeVerCursor); }

void TResizeBar::mousePressEvent(QMouseEvent* AEvent) {
  if (AEvent->button() != Qt::LeftButton) return;
  FDragging = true;
  FStartY = static_cast<int>(AEvent->globalPosition().y());
  if (OnDragStart) OnDragStart();
}

void TResizeBar::mouseMoveEvent(QMouseEvent* AEvent) {
  if (FDragging && OnDrag) OnDrag(static_cast<int>(AEvent->globalPosition().y()) - FStartY);
}

void TResizeBar::mouseReleaseEvent(QMouseEvent* AEvent) {
  if (AEvent->button() == Qt::LeftButton) FDragging = false;
}

// ---- TPanelStatusBar ----

TPanelStatusBar::TPanelStatusBar(QWidget* AParent, std::vector<int> AWidths)
    : QWidget(AParent), FWidths(std::move(AWidths)), FTexts(FWidths.size()) {}

QRect TPanelStatusBar::PanelRect(int AIndex) const {
  int Left = 0;
  for (int i = 0; i < AIndex; ++i) Left += FWidths[static_cast<size_t>(i)];
  const int Width = AIndex + 1 == PanelCount() ? std::max(0, width() - Left) : FWidths[static_cast<size_t>(AIndex)];
  return QRect(Left, 0, Width, height());
}

void TPanelStatusBar::SetPanelText(int AIndex, const QString& AText) {
  FTexts.at(static_cast<size_t>(AIndex)) = AText;
  update(PanelRect(AIndex));
}

void TPanelStatusBar::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  const QColor Light = palette().color(QPalette::Light);
  const QColor Shadow = palette().color(QPalette::Dark);
  for (int i = 0; i < PanelCount(); ++i) {
    const QRect Rect = PanelRect(i).adjusted(0, 2, -2, 0);
    Painter.setPen(Shadow);
    Painter.drawLine(Rect.topLeft(), Rect.topRight());
    Painter.drawLine(Rect.topLeft(), Rect.bottomLeft());
    Painter.setPen(Light);
    Painter.drawLine(Rect.bottomLeft(), Rect.bottomRight());
    Painter.drawLine(Rect.topRight(), Rect.bottomRight());
    Painter.setPen(palette().color(QPalette::WindowText));
    Painter.drawText(Rect.adjusted(3, 1, -1, -1), Qt::AlignLeft | Qt::AlignVCenter, FTexts[static_cast<size_t>(i)]);
  }
}

// ---- TWideProgressBar ----

TWideProgressBar::TWideProgressBar(QWidget* AParent) : QProgressBar(AParent) {
  setTextVisible(false);
  ShowValues();
}

void TWideProgressBar::SetMax(int64_t AMax) {
  FMax = std::max<int64_t>(0, AMax);
  ShowValues();
}

void TWideProgressBar::SetPosition(int64_t APosition) {
  FPosition = APosition;
  ShowValues();
}

void TWideProgressBar::ShowValues() {
  // Counts beyond the int range are shifted until the maximum fits; below it
  // the bar shows them as they are. A bar whose range is 0..0 would turn into
  // a busy indicator, so an empty maximum shows as an empty bar of range 1.
  int Shift = 0;
  while ((FMax >> Shift) > INT_MAX) ++Shift;
  const int64_t Position = std::clamp<int64_t>(FPosition, 0, FMax);
  setRange(0, std::max(1, static_cast<int>(FMax >> Shift)));
  setValue(static_cast<int>(Position >> Shift));
}

// ---- Row drawing ----

TPainterCanvas::TPainterCanvas(QPainter& APainter, const QFont& AFont) : FPainter(APainter), FFont(AFont) {}

void TPainterCanvas::FillRect(const QRect& ARect) { FPainter.fillRect(ARect, BrushColor); }

void TPainterCanvas::TextOut(int AX, int AY, const QString& AText) {
  FPainter.setFont(FFont);
  FPainter.setPen(FontColor);
  FPainter.drawText(AX, AY + QFontMetrics(FFont).ascent(), AText);
}

TOwnerDrawDelegate::TOwnerDrawDelegate(QObject* AParent, int ARowHeight, TDrawItemHandler AHandler)
    : QStyledItemDelegate(AParent), FRowHeight(ARowHeight), FHandler(std::move(AHandler)) {}

void TOwnerDrawDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                               const QModelIndex& AIndex) const {
  APainter->save();
  TPainterCanvas Canvas(*APainter, AOption.font);
  Canvas.BrushColor = AOption.palette.color(QPalette::Base);
  Canvas.FontColor = AOption.palette.color(QPalette::Text);
  try {
    FHandler(Canvas, AIndex.row(), AOption.rect, (AOption.state & QStyle::State_Selected) != 0);
  } catch (...) {
    // A row that cannot be drawn stays blank. An error box here would be
    // painted over by the next repaint, which fails again.
  }
  APainter->restore();
  if (AOption.state & QStyle::State_HasFocus) {
    QStyleOptionFocusRect Focus;
    Focus.QStyleOption::operator=(AOption);
    Focus.backgroundColor = AOption.palette.color(QPalette::Highlight);
    const QWidget* View = AOption.widget;
    QStyle* Style = View != nullptr ? View->style() : nullptr;
    if (Style != nullptr) Style->drawPrimitive(QStyle::PE_FrameFocusRect, &Focus, APainter, View);
  }
}

QSize TOwnerDrawDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return QSize(0, FRowHeight);
}
