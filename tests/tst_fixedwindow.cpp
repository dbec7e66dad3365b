// The window kit: a fixed client area in twips under a title bar with only the close box, for a
// main window (a top-level QWidget) and a form (a QDialog) alike, and the first place, centred
// on the screen or on the owner.

#include "display/fixedwindow.h"

#include <QDialog>
#include <QScreen>
#include <QTest>

using namespace lumatrax;

Q_DECLARE_METATYPE(Centring)

class TestFixedWindow : public QObject
{
    Q_OBJECT
private slots:
    void windowIsFixedAndCentred_data();
    void windowIsFixedAndCentred();
};

void TestFixedWindow::windowIsFixedAndCentred_data()
{
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<bool>("owned");
    QTest::addColumn<Centring>("centring");
    QTest::newRow("main window on the screen") << false << false << Centring::OnScreen;
    QTest::newRow("form on its owner's screen") << true << true << Centring::OnScreen;
    QTest::newRow("form on its owner") << true << true << Centring::OnOwner;
    QTest::newRow("form without an owner: on the screen") << true << false << Centring::OnOwner;
}

void TestFixedWindow::windowIsFixedAndCentred()
{
    QFETCH(bool, dialog);
    QFETCH(bool, owned);
    QFETCH(Centring, centring);
    QWidget owner(nullptr, Qt::Window);
    owner.setGeometry(40, 30, 500, 400); // off the screen's centre
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    QWidget* parent = owned ? &owner : nullptr;
    std::unique_ptr<QWidget> window(dialog ? new QDialog(parent) : new QWidget(parent, Qt::Window));

    makeFixedWindow(window.get(), 3135, 2040);
    centreWindow(window.get(), centring);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QCOMPARE(window->windowType(), dialog ? Qt::Dialog : Qt::Window);
    QCOMPARE(window->size(), QSize(209, 136));
    QCOMPARE(window->minimumSize(), window->maximumSize());
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    const QRect target = owned && centring == Centring::OnOwner
                             ? owner.frameGeometry()
                             : owner.screen()->availableGeometry();
    const QPointF offCentre = QRectF(window->frameGeometry()).center() - QRectF(target).center();
    QVERIFY2(qAbs(offCentre.x()) <= 1 && qAbs(offCentre.y()) <= 1,
             qPrintable(QStringLiteral("%1, %2").arg(offCentre.x()).arg(offCentre.y())));
}

QTEST_MAIN(TestFixedWindow)
#include "tst_fixedwindow.moc"
