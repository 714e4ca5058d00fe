// A row canvas that records what a row drawing handler draws, so that tests
// can check the fills and texts without reading pixels.
#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <vector>

#include "appcontrols.h"

class TRecordingCanvas : public TRowCanvas {
 public:
  struct TFill {
    QRect Rect;
    QColor Color;
  };
  struct TText {
    QPoint At;
    QString Text;
    QColor Color;
  };
  std::vector<TFill> Fills;
  std::vector<TText> Texts;

  void FillRect(const QRect& ARect) override { Fills.push_back({ARect, BrushColor}); }
  void TextOut(int AX, int AY, const QString& AText) override { Texts.push_back({{AX, AY}, AText, FontColor}); }
};
