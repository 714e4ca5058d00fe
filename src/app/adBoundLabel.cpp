#include "adBoundLabel.h"

TadBoundLabel::TadBoundLabel(QWidget* AParent) : QLabel(AParent) {
  setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void TadBoundLabel::SetCaption(const QString& ACaption) {
  setText(ACaption);
  if (AutoSize) adjustSize();
}
