// The main window as created and after start-up, checked against its layout table.

#include "app/mainwindow.h"
#include "display/lamp.h"
#include "display/lineobject.h"
#include "display/scopesurface.h"
#include "tests/testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

using namespace lumatrax;

namespace {

// The x of a slider's groove, where a click pages the value (tick marks take the rest).
int grooveColumn(QSlider* slider)
{
    return test::sliderPart(slider, QStyle::SC_SliderGroove).center().x();
}

} // namespace

class TestMainWindowLayout : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyWidgetSitsAtItsPlace_data();
    void everyWidgetSitsAtItsPlace();
    void windowIsFixedWithItsCaption();
    void slidersRunFromMinimumAtTheTop_data();
    void slidersRunFromMinimumAtTheTop();
    void lampsStartWithTheirColours_data();
    void lampsStartWithTheirColours();
    void guideCaptionsAreBold();
    void connectionGroupCoversTheRunGroup();
    void focusMovesInTableOrder();
    void disabledGroupsIgnoreClicks();
    void timersRunFromCreation();
    void startUpFillsTimebaseListAndLaysOutGeometry();
    void defaultPutsBothGuideSlidersBackToTheMiddle();
    void statusStaysReadableWhileItsGroupIsDisabled();

private:
    // An instrument that never answers: start-up opens the port, and the window stays as the
    // operator sees it before any answer.
    std::unique_ptr<test::Rig> m_rig;
    MainWindow* m_window = nullptr;
};

void TestMainWindowLayout::init()
{
    m_rig = std::make_unique<test::Rig>(3, true, VirtualInstrument::AckBehaviour::never());
    m_window = m_rig->window.get();
}

void TestMainWindowLayout::cleanup()
{
    QVERIFY(m_rig->messages.texts.isEmpty());
    m_rig.reset();
    m_window = nullptr;
}

void TestMainWindowLayout::everyWidgetSitsAtItsPlace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hidden");

    auto row = [](const char* name, const char* cls, const char* container, const char* caption,
                  int l, int t, int w, int h, bool enabled = true, bool hidden = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromLatin1(container) << QString::fromUtf8(caption)
                            << QRect(l, t, w, h) << enabled << hidden;
    };
    row("cmdClose", "QPushButton", "frmMain", "Close", 8760, 6000, 975, 375);
    row("Report", "QPushButton", "frmMain", "Report", 6000, 6000, 975, 375);
    row("Frame6", "QGroupBox", "frmMain", "Status", 240, 5880, 5655, 615);
    row("Label7", "QLabel", "Frame6", "ACCEPT", 3360, 240, 735, 255);
    row("shpMiddle", "lumatrax::Lamp", "Frame6", "", 2880, 240, 375, 255);
    row("Label5", "QLabel", "Frame6", "REJECT", 1440, 240, 615, 255);
    row("shpHigher", "lumatrax::Lamp", "Frame6", "", 960, 240, 375, 255);
    row("Frame5", "QGroupBox", "frmMain", "Guide", 7680, 4080, 2175, 1815);
    row("cmdDef", "QPushButton", "Frame5", "Def", 120, 1320, 495, 255);
    row("sliderOff", "QSlider", "Frame5", "", 1440, 120, 615, 1575);
    row("sliderPos", "QSlider", "Frame5", "", 600, 120, 435, 1575);
    row("Label4", "QLabel", "Frame5", "Low", 1080, 360, 375, 255);
    row("Label3", "QLabel", "Frame5", "High", 120, 360, 495, 255);
    row("Frame4", "QGroupBox", "frmMain", "Horizontal", 7680, 3360, 2175, 735);
    row("cmbHorizontal", "QComboBox", "Frame4", "", 120, 240, 1095, 315);
    row("Label2", "QLabel", "Frame4", "SEC/DIV", 1320, 240, 735, 255);
    row("Frame3", "QGroupBox", "frmMain", "", 5880, 5040, 1575, 855, true, true);
    row("cmdPort", "QPushButton", "Frame3", "Port", 840, 240, 615, 255);
    row("cmdRetry", "QPushButton", "Frame3", "Retry", 120, 240, 615, 255);
    row("Frame2", "QGroupBox", "frmMain", "", 240, 5040, 7215, 855, false);
    row("cmdRun", "QPushButton", "Frame2", "RUN/STOP", 240, 240, 1335, 375);
    row("lblMsg", "QLabel", "Frame2", "Searching ...", 3120, 360, 3375, 255);
    row("shpStatus", "lumatrax::Lamp", "Frame2", "", 1800, 360, 855, 135);
    row("Frame1", "QGroupBox", "frmMain", "Trigger", 7680, 240, 2175, 3135, false);
    row("cmdZero", "QPushButton", "Frame1", "Zero", 1080, 1440, 735, 255);
    row("optFalling", "QRadioButton", "Frame1", "Falling", 1080, 840, 855, 255);
    row("optRising", "QRadioButton", "Frame1", "Rising", 1080, 480, 855, 255);
    row("SliderTriggerLevel", "QSlider", "Frame1", "", 480, 360, 375, 2295);
    row("shpTr", "lumatrax::Lamp", "Frame1", "", 1680, 2760, 255, 255);
    row("Label1", "QLabel", "Frame1", "Trigger Level", 240, 2760, 1095, 255);
    row("pic", "lumatrax::ScopeSurface", "frmMain", "", 240, 240, 7215, 4815);
}

void TestMainWindowLayout::everyWidgetSitsAtItsPlace()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(bool, enabled);
    QFETCH(bool, hidden);

    auto* w = m_window->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->parentWidget()->objectName(), container);
    QCOMPARE(w->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    QCOMPARE(w->isEnabledTo(w->parentWidget()), enabled); // children go with their group
    QCOMPARE(w->isHidden(), hidden);

    if (auto* b = qobject_cast<QAbstractButton*>(w))
        QCOMPARE(b->text(), caption);
    else if (auto* l = qobject_cast<QLabel*>(w))
        QCOMPARE(l->text(), caption);
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        QCOMPARE(g->title(), caption);
}

void TestMainWindowLayout::windowIsFixedWithItsCaption()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("frmMain"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Lumatrax - Ver.1.1       ~ Vorn ~"));
    QCOMPARE(m_window->size(), QSize(666, 436));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!m_window->windowIcon().isNull());
    QVERIFY(m_window->windowIcon().availableSizes().contains(QSize(16, 16)));
    QVERIFY(m_window->windowIcon().availableSizes().contains(QSize(32, 32)));
}

void TestMainWindowLayout::slidersRunFromMinimumAtTheTop_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("largeStep");
    QTest::newRow("sliderPos") << "sliderPos" << 100 << 50 << 10;
    QTest::newRow("sliderOff") << "sliderOff" << 100 << 50 << 10;
    QTest::newRow("SliderTriggerLevel") << "SliderTriggerLevel" << 50 << 25 << 5;
}

void TestMainWindowLayout::slidersRunFromMinimumAtTheTop()
{
    QFETCH(QString, name);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(int, largeStep);
    auto* s = m_window->findChild<QSlider*>(name);
    QVERIFY(s);
    QCOMPARE(s->orientation(), Qt::Vertical);
    QCOMPARE(s->minimum(), 0);
    QCOMPARE(s->maximum(), maximum);
    QCOMPARE(s->value(), value);
    QCOMPARE(s->pageStep(), largeStep);
    QCOMPARE(s->singleStep(), 1);

    // The minimum is at the top: a click above the thumb pages toward the minimum.
    for (QWidget* p = s->parentWidget(); p; p = p->parentWidget())
        p->setEnabled(true);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    const int groove = grooveColumn(s);
    QTest::mouseClick(s, Qt::LeftButton, {}, QPoint(groove, s->height() / 8));
    QCOMPARE(s->value(), value - largeStep);
    QTest::mouseClick(s, Qt::LeftButton, {}, QPoint(groove, s->height() * 7 / 8));
    QCOMPARE(s->value(), value);

    QTest::keyClick(s, Qt::Key_Up);
    QCOMPARE(s->value(), value - 1);
}

void TestMainWindowLayout::lampsStartWithTheirColours_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QSize>("shapeSize");
    QTest::newRow("shpStatus red, fills its box")
        << "shpStatus" << QColor(255, 0, 0) << QSize(57, 9);
    QTest::newRow("shpTr grey") << "shpTr" << QColor(128, 128, 128) << QSize(17, 17);
    QTest::newRow("shpMiddle black, square") << "shpMiddle" << QColor(0, 0, 0) << QSize(17, 17);
    QTest::newRow("shpHigher black, square") << "shpHigher" << QColor(0, 0, 0) << QSize(17, 17);
}

void TestMainWindowLayout::lampsStartWithTheirColours()
{
    QFETCH(QString, name);
    QFETCH(QColor, colour);
    QFETCH(QSize, shapeSize);
    auto* lamp = m_window->findChild<Lamp*>(name);
    QVERIFY(lamp);
    QCOMPARE(lamp->colour(), colour);
    QCOMPARE(lamp->shapeRect().size(), shapeSize);
    // Centred in its box.
    QCOMPARE(lamp->shapeRect().center(), lamp->rect().center());

    const QImage image = lamp->grab().toImage();
    QCOMPARE(QColor(image.pixel(image.width() / 2, image.height() / 2)), colour);
}

void TestMainWindowLayout::guideCaptionsAreBold()
{
    m_window->ensurePolished();
    for (QLabel* label : m_window->findChildren<QLabel*>()) {
        label->ensurePolished();
        const bool bold = label->objectName() == "Label3" || label->objectName() == "Label4";
        QCOMPARE(label->font().bold(), bold);
        QCOMPARE(label->font().pointSizeF(), 8.25);
    }
}

void TestMainWindowLayout::connectionGroupCoversTheRunGroup()
{
    auto* frame2 = m_window->findChild<QWidget*>("Frame2");
    auto* frame3 = m_window->findChild<QWidget*>("Frame3");
    const QObjectList& siblings = m_window->children();
    QVERIFY(siblings.indexOf(frame3) > siblings.indexOf(frame2)); // later children lie above
    frame3->show();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QCOMPARE(frame2->geometry(), QRect(16, 336, 481, 57)); // unmoved
    // Where lblMsg runs past window x 5880 twips, the connection group hides it.
    auto* lblMsg = m_window->findChild<QWidget*>("lblMsg");
    const QPoint underBoth(420, 365);
    QVERIFY(lblMsg->geometry().translated(frame2->pos()).contains(underBoth));
    QWidget* top = m_window->childAt(underBoth);
    QVERIFY(top == frame3 || frame3->isAncestorOf(top));
}

void TestMainWindowLayout::focusMovesInTableOrder()
{
    const QStringList all = {"pic",           "SliderTriggerLevel",
                             "optRising",     "optFalling",
                             "cmdRun",        "cmdZero",
                             "cmdRetry",      "cmdPort",
                             "cmbHorizontal", "sliderPos",
                             "sliderOff",     "cmdDef",
                             "Report",        "cmdClose"};
    QWidget* w = m_window->findChild<QWidget*>("pic");
    for (int i = 1; i < all.size(); ++i) {
        w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || w->focusProxy())
            w = w->nextInFocusChain();
        QCOMPARE(w->objectName(), all.at(i));
    }

    // At start, disabled and hidden widgets are skipped.
    m_window->formLoad();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("pic"));
    QStringList reached;
    for (int i = 0; i < 7; ++i) {
        reached << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    // The editable combo's line edit takes the focus for its combo.
    for (QString& name : reached)
        if (name.isEmpty())
            name = QStringLiteral("cmbHorizontal");
    QCOMPARE(reached, (QStringList{"pic", "cmbHorizontal", "sliderPos", "sliderOff", "cmdDef",
                                   "Report", "cmdClose"}));
}

void TestMainWindowLayout::disabledGroupsIgnoreClicks()
{
    m_window->formLoad();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    for (const char* name : {"cmdRun", "cmdZero", "optFalling"}) {
        auto* b = m_window->findChild<QAbstractButton*>(name);
        QSignalSpy clicked(b, &QAbstractButton::clicked);
        QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(clicked.count(), 0);
    }
    QVERIFY(m_window->findChild<QRadioButton*>("optRising")->isChecked());
    auto* level = m_window->findChild<QSlider*>("SliderTriggerLevel");
    QTest::mouseClick(level, Qt::LeftButton, {}, QPoint(grooveColumn(level), level->height() / 8));
    QCOMPARE(level->value(), 25);

    // The guide group works from the start.
    auto* def = m_window->findChild<QPushButton*>("cmdDef");
    QSignalSpy defClicked(def, &QAbstractButton::clicked);
    QTest::mouseClick(def, Qt::LeftButton);
    QCOMPARE(defClicked.count(), 1);
}

void TestMainWindowLayout::timersRunFromCreation()
{
    for (const char* name : {"tmrFirst", "tmrScan"}) {
        auto* t = m_window->findChild<QTimer*>(name);
        QVERIFY2(t, name);
        QVERIFY(t->isActive());
        QCOMPARE(t->interval(), 1000);
    }
}

void TestMainWindowLayout::startUpFillsTimebaseListAndLaysOutGeometry()
{
    auto* combo = m_window->findChild<QComboBox*>("cmbHorizontal");
    QCOMPARE(combo->count(), 0);
    QVERIFY(combo->isEditable());
    m_window->formLoad();

    QCOMPARE(combo->count(), 9);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(combo->currentText(), QString::fromUtf16(u"40\u00B5s"));
    QCOMPARE(combo->itemText(8), QStringLiteral("20ms"));

    auto line = [this](const char* name, int index = -1) {
        for (LineObject* l : m_window->findChildren<LineObject*>(QLatin1String(name)))
            if (index < 0 || l->property("index").toInt() == index)
                return l;
        return static_cast<LineObject*>(nullptr);
    };
    QCOMPARE(line("Trigger")->ends(), (LineEnds{7440.0f, 2697.5f, 7560.0f, 2697.5f}));
    QCOMPARE(line("x_axis", 0)->ends(), (LineEnds{0.0f, 481.5f, 7215.0f, 481.5f}));
    QCOMPARE(line("y_axis", 8)->ends(), (LineEnds{6493.5f, 0.0f, 6493.5f, 4815.0f}));
    QCOMPARE(line("x_axis", 4)->widthPixels(), 2);
    QCOMPARE(line("y_axis", 4)->widthPixels(), 2);
    QCOMPARE(line("x_axis", 3)->widthPixels(), 1);
    QCOMPARE(line("x_axis", 0)->colour(), QColor(0, 192, 0));
    QCOMPARE(m_window->findChildren<LineObject*>("x_axis").size(), 9);
    QCOMPARE(m_window->findChildren<LineObject*>("y_axis").size(), 9);
}

void TestMainWindowLayout::defaultPutsBothGuideSlidersBackToTheMiddle()
{
    m_window->formLoad();
    m_window->findChild<QSlider*>("sliderPos")->setValue(80);
    m_window->findChild<QSlider*>("sliderOff")->setValue(10);
    m_window->findChild<QPushButton*>("cmdDef")->click();
    QCOMPARE(m_window->findChild<QSlider*>("sliderPos")->value(), 50);
    QCOMPARE(m_window->findChild<QSlider*>("sliderOff")->value(), 50);
}

void TestMainWindowLayout::statusStaysReadableWhileItsGroupIsDisabled()
{
    m_window->formLoad();
    m_window->show();
    QVERIFY(!m_window->findChild<QGroupBox*>("Frame2")->isEnabled());
    auto* status = m_window->findChild<QLabel*>("lblMsg");
    QCOMPARE(status->text(), QStringLiteral("COM3"));
    // The darkest pixel of the text is the normal text colour, not the disabled grey.
    const QImage text = status->grab().toImage();
    int darkest = 255;
    for (int y = 0; y < text.height(); ++y)
        for (int x = 0; x < text.width(); ++x)
            darkest = std::min(darkest, qGray(text.pixel(x, y)));
    QCOMPARE(darkest, qGray(status->palette().color(QPalette::Active, QPalette::WindowText).rgb()));
}

QTEST_MAIN(TestMainWindowLayout)
#include "tst_mainwindowlayout.moc"
