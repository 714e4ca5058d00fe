// The caption label that a labelled edit field carries with it.
#pragma once

#include <QLabel>

// How a control is aligned within its parent (none, or stuck to an edge or
// filling the client area). The windows here place their controls by fixed
// geometry; the labelled edit keeps its caption's alignment in step with its
// own.
enum TControlAlign : int { caNone, caTop, caBottom, caLeft, caRight, caClient };

class TadBoundLabel : public QLabel {
 public:
  explicit TadBoundLabel(QWidget* AParent = nullptr);

  QString Caption() const { return text(); }
  // Sets the text; with AutoSize the label then takes the size of its text.
  void SetCaption(const QString& ACaption);

  bool AutoSize = true;
  TControlAlign Align = caNone;
};
