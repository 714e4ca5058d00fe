// Controls the two windows are built from beyond the library's stock ones:
// bevelled panels, the bar that resizes the trace list, the status bar with
// fixed panels, a progress bar for 64-bit counts, and owner-drawn list rows.
#pragma once

#include <QColor>
#include <QFont>
#include <QProgressBar>
#include <QStyledItemDelegate>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "displaytext.h"

class QAbstractButton;
class QPainter;

// The windows are drawn for "MS Sans Serif" 8 pt (11 pixels at 96 dpi) and
// "Courier" 10 pt (13 pixels). Metric-compatible faces come first (Debian's
// fonts-liberation2, which the package depends on): Liberation Sans has
// Arial's widths, Liberation Mono those of Courier New. Other families only
// stand in when those are missing; they are wider and clip.
QFont WindowFont();
QFont ListingFont();

// Rows of an owner-drawn list: 13 pixels as designed, or the font's height
// when that is more, so that descenders are not cut off.
int ListRowHeight(const QFont& AFont);

// The rectangle, in the button's own coordinates, where the style draws the
// caption of a push button or a check box, and the size of the caption
// itself in the button's font (the "&" of an access key takes no room).
QRect CaptionArea(const QAbstractButton* AButton);
QSize CaptionSize(const QAbstractButton* AButton);

// Widens the button, keeping its left edge, when its caption is wider than
// its caption area; designed widths that fit stay as they are.
void WidenToCaption(QAbstractButton* AButton);

// Date, time and decimal separators of the user's locale; '/', ':' and '.'
// where the locale gives none that fits one character.
TDisplaySeparators SystemSeparators();

enum TBevelCut : int { bcNone, bcLowered, bcRaised };

// A panel with an outer and an inner one-pixel bevel and an optional caption.
// Set the fields before the panel is shown, or call update() afterwards.
class TBevelPanel : public QWidget {
 public:
  explicit TBevelPanel(QWidget* AParent);

  TBevelCut BevelOuter = bcRaised;
  TBevelCut BevelInner = bcNone;
  QString Caption;
  Qt::Alignment CaptionAlignment = Qt::AlignHCenter;

  // Pixels the bevels take at each edge; children aligned to an edge sit inside.
  int BevelSize() const { return (BevelOuter != bcNone ? 1 : 0) + (BevelInner != bcNone ? 1 : 0); }

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
};

// A thin horizontal bar that the user drags up or down.
class TResizeBar : public QWidget {
 public:
  explicit TResizeBar(QWidget* AParent);

  std::function<void()> OnDragStart;
  // Pixels moved downwards since the drag started (negative: upwards).
  std::function<void(int ADelta)> OnDrag;

 protected:
  void mousePressEvent(QMouseEvent* AEvent) override;
  void mouseMoveEvent(QMouseEvent* AEvent) override;
  void mouseReleaseEvent(QMouseEvent* AEvent) override;

 private:
  bool FDragging = false;
  int FStartY = 0;
};

// A status bar with panels of fixed widths; the last one runs to the right end.
class TPanelStatusBar : public QWidget {
 public:
  TPanelStatusBar(QWidget* AParent, std::vector<int> AWidths);

  int PanelCount() const { return static_cast<int>(FWidths.size()); }
  QRect PanelRect(int AIndex) const;
  QString PanelText(int AIndex) const { return FTexts.at(static_cast<size_t>(AIndex)); }
  void SetPanelText(int AIndex, const QString& AText);

 protected:
  void paintEvent(QPaintEvent* AEvent) override;

 private:
  std::vector<int> FWidths;
  std::vector<QString> FTexts;
};

// A progress bar that keeps a 64-bit maximum and position and maps both onto
// the library's int range. A negative maximum counts as 0; a position
// outside 0..maximum shows as the nearer end.
class TWideProgressBar : public QProgressBar {
 public:
  explicit TWideProgressBar(QWidget* AParent);

  int64_t Max() const { return FMax; }
  void SetMax(int64_t AMax);
  int64_t Position() const { return FPosition; }
  void SetPosition(int64_t APosition);

 private:
  void ShowValues();

  int64_t FMax = 100;
  int64_t FPosition = 0;
};

// What a row drawing handler draws with: a fill colour, a text colour, filled
// rectangles and texts placed by their top-left corner. Texts are not clipped
// to any column; whatever is filled later covers them.
class TRowCanvas {
 public:
  virtual ~TRowCanvas() = default;

  QColor BrushColor;
  QColor FontColor;

  virtual void FillRect(const QRect& ARect) = 0;
  virtual void TextOut(int AX, int AY, const QString& AText) = 0;
};

class TPainterCanvas : public TRowCanvas {
 public:
  TPainterCanvas(QPainter& APainter, const QFont& AFont);

  void FillRect(const QRect& ARect) override;
  void TextOut(int AX, int AY, const QString& AText) override;

 private:
  QPainter& FPainter;
  QFont FFont;
};

// Draws row AIndex into ARect.
using TDrawItemHandler = std::function<void(TRowCanvas& ACanvas, int AIndex, const QRect& ARect, bool ASelected)>;

// Rows of a fixed height, each drawn by a handler; the focused row gets the
// style's focus frame on top.
class TOwnerDrawDelegate : public QStyledItemDelegate {
 public:
  TOwnerDrawDelegate(QObject* AParent, int ARowHeight, TDrawItemHandler AHandler);

  void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;
  QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;

 private:
  int FRowHeight;
  TDrawItemHandler FHandler;
};
