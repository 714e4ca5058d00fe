// The windows fit their texts: with the faces the package depends on, every
// caption of both windows fits inside its control and covers no other
// control. ctest runs this program at QT_SCALE_FACTOR 1 and 2.
#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

#include "appcontrols.h"
#include "mainf.h"
#include "remessadados_u.h"

namespace {

std::string Text(const QRect& ARect) {
  return QStringLiteral("%1,%2 %3x%4").arg(ARect.x()).arg(ARect.y()).arg(ARect.width()).arg(ARect.height()).toStdString();
}

std::string NameOf(const QWidget* AWidget) {
  return (AWidget->objectName().isEmpty() ? QString::fromLatin1(AWidget->metaObject()->className())
                                          : AWidget->objectName())
      .toStdString();
}

// The caption's rectangle in the parent's coordinates, as the control draws it.
QRect CaptionRect(const QWidget* AControl) {
  QRect Area;
  QSize Size;
  Qt::Alignment Alignment;
  if (const auto* Button = qobject_cast<const QAbstractButton*>(AControl)) {
    Area = CaptionArea(Button);
    Size = CaptionSize(Button);
    Alignment = qobject_cast<const QPushButton*>(AControl) != nullptr ? Qt::AlignCenter
                                                                      : (Qt::AlignLeft | Qt::AlignVCenter);
  } else {
    const auto* Label = qobject_cast<const QLabel*>(AControl);
    Area = Label->contentsRect();
    Size = Label->fontMetrics().size(Qt::TextShowMnemonic, Label->text());
    Alignment = Label->alignment();
  }
  return QStyle::alignedRect(Qt::LeftToRight, Alignment, Size, Area).translated(AControl->pos());
}

// Every shown caption of AWindow's buttons, check boxes and labels lies
// inside its control's caption area and off every other shown control of
// the same parent.
void ExpectCaptionsFit(QWidget* AWindow) {
  int Checked = 0;
  for (QWidget* Control : AWindow->findChildren<QWidget*>()) {
    const bool Captioned = qobject_cast<QAbstractButton*>(Control) != nullptr || qobject_cast<QLabel*>(Control) != nullptr;
    if (!Captioned || !Control->isVisibleTo(AWindow)) continue;
    const auto* Button = qobject_cast<QAbstractButton*>(Control);
    if ((Button != nullptr ? Button->text() : qobject_cast<QLabel*>(Control)->text()).isEmpty()) continue;
    ++Checked;
    const QRect Caption = CaptionRect(Control);
    const QRect Area = Button != nullptr ? CaptionArea(Button).translated(Control->pos())
                                         : Control->contentsRect().translated(Control->pos());
    EXPECT_TRUE(Area.contains(Caption)) << NameOf(Control) << ": caption " << Text(Caption) << " outside "
                                        << Text(Area);
    for (QWidget* Other : Control->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (Other == Control || !Other->isVisibleTo(AWindow)) continue;
      EXPECT_FALSE(Caption.intersects(Other->geometry()))
          << NameOf(Control) << ": caption " << Text(Caption) << " covered by " << NameOf(Other) << " "
          << Text(Other->geometry());
    }
  }
  EXPECT_GT(Checked, 4);
}

class LayoutTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // As the program does when no style is asked for.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  }
  void SetUp() override { f_remessadados = SendFiles.get(); }
  void TearDown() override { f_remessadados = nullptr; }

  std::unique_ptr<Tf_remessadados> SendFiles = std::make_unique<Tf_remessadados>();
};

}  // namespace

TEST_F(LayoutTest, RunsAtTheScaleAskedFor) {
  // Not vacuous: the scale of the run is the one ctest set.
  const double Asked = qEnvironmentVariableIsEmpty("QT_SCALE_FACTOR") ? 1.0 : qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
  SendFiles->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(SendFiles.get()));
  EXPECT_DOUBLE_EQ(SendFiles->devicePixelRatio(), Asked);
}

TEST_F(LayoutTest, TheMetricCompatibleFacesAreInstalledAndPicked) {
  // fonts-liberation2 (scripts/install-deps, and a dependency of the package).
  EXPECT_EQ(QFontInfo(WindowFont()).family(), "Liberation Sans");
  EXPECT_EQ(QFontInfo(ListingFont()).family(), "Liberation Mono");
}

TEST_F(LayoutTest, SendFilesWindowCaptionsFit) {
  SendFiles->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(SendFiles.get()));
  ExpectCaptionsFit(SendFiles.get());
  // The designed outer size, frame included.
  EXPECT_EQ(SendFiles->frameGeometry().size(), QSize(463, 259));
  // The buttons' row lies inside the window.
  EXPECT_LE(SendFiles->BitBtn4->geometry().right(), SendFiles->width() - 1);
  EXPECT_LE(SendFiles->BitBtn4->geometry().bottom(), SendFiles->height() - 1);
}

TEST_F(LayoutTest, ClientWindowCaptionsFit) {
  TMainForm Form;
  Form.setWindowState(Qt::WindowNoState);
  Form.resize(721, 602);
  Form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
  Form.AbortButton->show();
  ExpectCaptionsFit(&Form);

  // The captions the buttons take later.
  for (const char* Caption : {"Disconnect", "Connect"}) {
    Form.ConnectButton->setText(QString::fromLatin1(Caption));
    ExpectCaptionsFit(&Form);
  }
  for (const char* Caption : {"Change dir", "Download"}) {
    Form.DownloadButton->setText(QString::fromLatin1(Caption));
    ExpectCaptionsFit(&Form);
  }

  // "Current directory is: " is painted on Panel3 itself, left of its controls.
  const QFontMetrics Metrics = Form.Panel3->fontMetrics();
  const QRect PanelCaption(Form.Panel3->BevelSize(), 0, Metrics.horizontalAdvance(Form.Panel3->Caption.trimmed()),
                           Form.Panel3->height());
  for (QWidget* Control : Form.Panel3->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    EXPECT_FALSE(PanelCaption.intersects(Control->geometry())) << NameOf(Control);
  EXPECT_LE(Metrics.height(), Form.Panel3->height() - 2 * Form.Panel3->BevelSize());
}

TEST_F(LayoutTest, HeaderSectionsHoldTheirCaptionsAndTheModifiedColumnItsDates) {
  TMainForm Form;
  QHeaderView* Header = Form.HeaderControl1;
  const int Margins = 2 * Header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, Header);
  for (int i = 0; i < Header->count(); ++i) {
    const QString Caption = Header->model()->headerData(i, Qt::Horizontal).toString();
    EXPECT_LE(Header->fontMetrics().horizontalAdvance(Caption) + Margins, Header->sectionSize(i)) << Caption.toStdString();
    EXPECT_LE(Header->fontMetrics().height() + Margins, Header->height()) << Caption.toStdString();
  }
  // The column text is drawn at the section's left edge and cut at the next one.
  EXPECT_LE(QFontMetrics(ListingFont()).horizontalAdvance(QStringLiteral("12/31/2000 23:59")), Header->sectionSize(3));
}

TEST_F(LayoutTest, ListRowsAreTallEnoughForDescenders) {
  TMainForm Form;
  for (QListWidget* List : {Form.DirectoryListBox, Form.DebugListBox}) {
    List->addItem(QStringLiteral("Directory gjpqy"));
    const QFontMetrics Metrics(List->font());
    EXPECT_GE(List->sizeHintForRow(0), Metrics.ascent() + Metrics.descent()) << NameOf(List);
    EXPECT_GE(List->sizeHintForRow(0), 13) << NameOf(List);  // never less than designed
  }
}

TEST_F(LayoutTest, PasswordIsMaskedWithAsterisks) {
  TMainForm Form;
  EXPECT_EQ(Form.PasswordEdit->displayText(), QString(Form.PasswordEdit->text().size(), QLatin1Char('*')));
}
