#include "link/portdialog.h"
#include "tests/testsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace lumatrax;

namespace {

// Answers the modal dialog from a timer once it is up.
void answer(std::function<void(QDialog*)> act)
{
    QTimer::singleShot(0, [act] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            act(d);
    });
}

} // namespace

// The port the window holds for the next Retry: what the port dialog is opened with.
int portInMemory(MainWindow& window)
{
    int current = -1;
    window.setPortChooser([&current](QWidget*, std::int16_t port) {
        current = port;
        return std::optional<std::int16_t>();
    });
    window.findChild<QPushButton*>("cmdPort")->click();
    return current;
}

class TestPortDialog : public QObject
{
    Q_OBJECT
private slots:
    void laidOutAsDesigned();
    void listHoldsEveryPortAndSelectsTheCurrent_data();
    void listHoldsEveryPortAndSelectsTheCurrent();
    void okHandsBackTheChoiceCancelAndEscapeDoNot();
    void typedTextSelectsTheEntryItNamesOrNone_data();
    void typedTextSelectsTheEntryItNamesOrNone();
    void okStoresAndWritesInTheStartDirectory();
    void cancelLeavesTheFileByteForByte();
    void failedWriteIsReported();
};

void TestPortDialog::laidOutAsDesigned()
{
    PortDialog dialog(3, nullptr);
    QCOMPARE(dialog.objectName(), QStringLiteral("frmPort"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select Port"));
    QCOMPARE(dialog.size(), QSize(209, 136));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(
        !(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

    const struct
    {
        const char* name;
        QRect twips;
    } places[] = {{"cmdOK", {1680, 1560, 1215, 375}},
                  {"cmdCancel", {240, 1560, 1215, 375}},
                  {"cmbPort", {1200, 1080, 1335, 315}},
                  {"Label1", {360, 1080, 975, 255}},
                  {"Label2", {120, 120, 2895, 855}}};
    for (const auto& p : places) {
        auto* w = dialog.findChild<QWidget*>(p.name);
        QVERIFY2(w, p.name);
        QCOMPARE(w->geometry(), QRect(p.twips.x() / 15, p.twips.y() / 15, p.twips.width() / 15,
                                      p.twips.height() / 15));
    }
    auto* ok = dialog.findChild<QPushButton*>("cmdOK");
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(dialog.findChild<QPushButton*>("cmdCancel")->text(), QStringLiteral("Cancel"));
    QVERIFY(dialog.findChild<QComboBox*>("cmbPort")->isEditable());
    QCOMPARE(dialog.findChild<QLabel*>("Label1")->text(), QStringLiteral("Port ID:"));
    auto* label2 = dialog.findChild<QLabel*>("Label2");
    QVERIFY(label2->wordWrap());
    QCOMPARE(label2->text(),
             QStringLiteral("PortID is the port number specified in the Control Panel - Device "
                            "Manager -  Ports (COM & LPT) , where the device is registered."));
    QCOMPARE(ok->nextInFocusChain()->objectName(), QStringLiteral("cmdCancel"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), ok);
}

void TestPortDialog::listHoldsEveryPortAndSelectsTheCurrent_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("index");
    QTest::newRow("COM1") << 1 << 0;
    QTest::newRow("COM3") << 3 << 2;
    QTest::newRow("COM255") << 255 << 254;
    QTest::newRow("0 selects none") << 0 << -1;
    QTest::newRow("negative selects none") << -4 << -1;
    QTest::newRow("past 255 selects none") << 300 << -1;
}

void TestPortDialog::listHoldsEveryPortAndSelectsTheCurrent()
{
    QFETCH(int, current);
    QFETCH(int, index);
    for (int opening = 0; opening < 2; ++opening) {
        PortDialog dialog(std::int16_t(current), nullptr);
        auto* list = dialog.findChild<QComboBox*>("cmbPort");
        QCOMPARE(list->count(), 255);
        QCOMPARE(list->itemText(0), QStringLiteral("COM1"));
        QCOMPARE(list->itemText(11), QStringLiteral("COM12"));
        QCOMPARE(list->itemText(254), QStringLiteral("COM255"));
        QCOMPARE(list->currentIndex(), index);
        QCOMPARE(int(dialog.chosenPort()), index + 1);
    }
}

void TestPortDialog::okHandsBackTheChoiceCancelAndEscapeDoNot()
{
    answer([](QDialog* d) {
        d->findChild<QComboBox*>("cmbPort")->setCurrentIndex(11);
        d->findChild<QPushButton*>("cmdOK")->click();
    });
    QCOMPARE(PortDialog::choose(3, nullptr), std::optional<std::int16_t>(12));

    answer([](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); });
    QCOMPARE(PortDialog::choose(5, nullptr), std::optional<std::int16_t>(5));

    answer([](QDialog* d) { d->findChild<QPushButton*>("cmdCancel")->click(); });
    QCOMPARE(PortDialog::choose(3, nullptr), std::nullopt);

    answer([](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    QCOMPARE(PortDialog::choose(3, nullptr), std::nullopt);

    answer([](QDialog* d) { d->close(); }); // the window's close box
    QCOMPARE(PortDialog::choose(3, nullptr), std::nullopt);

    answer([](QDialog* d) { d->findChild<QPushButton*>("cmdOK")->click(); });
    QCOMPARE(PortDialog::choose(0, nullptr), std::optional<std::int16_t>(0)); // nothing selected
}

void TestPortDialog::typedTextSelectsTheEntryItNamesOrNone_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("port"); // 0: no entry selected
    QTest::newRow("com7") << "com7" << 7;
    QTest::newRow("blanks around, mixed case") << "  cOm7 " << 7;
    QTest::newRow("COM255") << "COM255" << 255;
    QTest::newRow("7") << "7" << 0;
    QTest::newRow("COM0") << "COM0" << 0;
    QTest::newRow("COM256") << "COM256" << 0;
    QTest::newRow("blank inside") << "COM 7" << 0;
    QTest::newRow("leading zero") << "COM07" << 0;
    QTest::newRow("emptied") << "" << 0;
}

void TestPortDialog::typedTextSelectsTheEntryItNamesOrNone()
{
    QFETCH(QString, typed);
    QFETCH(int, port);
    answer([&](QDialog* d) {
        auto* list = d->findChild<QComboBox*>("cmbPort");
        list->lineEdit()->setFocus();
        list->lineEdit()->selectAll();
        QTest::keyClick(list->lineEdit(), Qt::Key_Delete);
        QTest::keyClicks(list->lineEdit(), typed);
        QCOMPARE(list->currentText(), typed); // the field shows what was typed
        QCOMPARE(list->currentIndex(), port - 1);
        d->findChild<QPushButton*>("cmdOK")->click();
    });
    QCOMPARE(PortDialog::choose(3, nullptr), std::optional<std::int16_t>(port));
}

void TestPortDialog::okStoresAndWritesInTheStartDirectory()
{
    test::Rig rig(6, false);
    rig.window->formLoad();
    QCOMPARE(rig.messages.titles, QStringList{"Communication Error!"});
    rig.window->setPortChooser([](QWidget*, std::int16_t current) {
        return current == 6 ? std::optional<std::int16_t>(12) : std::nullopt;
    });
    // The process's current directory moved on; the file still goes to the start directory.
    QTemporaryDir elsewhere;
    QDir::setCurrent(elsewhere.path());
    rig.window->findChild<QPushButton*>("cmdPort")->click();
    QCOMPARE(rig.dir.readConfig(), QByteArray("\x31\x32\x0D\x0A"));
    QVERIFY(!QFile::exists(configFilePath(elsewhere.path())));
    QCOMPARE(portInMemory(*rig.window), 12);
    // The status label keeps the old number until the next Retry.
    QCOMPARE(rig.window->findChild<QLabel*>("lblMsg")->text(),
             QStringLiteral("COM6 ... Device not found!"));
}

void TestPortDialog::cancelLeavesTheFileByteForByte()
{
    test::Rig rig(6, false);
    rig.dir.writeConfig("6 , anything after\r\nmore\r\n");
    rig.window->formLoad();
    rig.window->setPortChooser([](QWidget*, std::int16_t) { return std::nullopt; });
    rig.window->findChild<QPushButton*>("cmdPort")->click();
    QCOMPARE(rig.dir.readConfig(), QByteArray("6 , anything after\r\nmore\r\n"));
    QCOMPARE(portInMemory(*rig.window), 6);
}

void TestPortDialog::failedWriteIsReported()
{
    test::Rig rig(6, false);
    rig.window->formLoad();
    rig.messages.titles.clear();
    rig.messages.texts.clear();
    // A directory where the file should be: the write cannot succeed, even for root.
    QFile::remove(rig.dir.configPath());
    QVERIFY(QDir(rig.dir.path()).mkdir("Lumatrax.cfg"));
    rig.window->setPortChooser([](QWidget*, std::int16_t) { return std::int16_t(9); });
    rig.window->findChild<QPushButton*>("cmdPort")->click();
    QCOMPARE(rig.messages.texts.size(), 1);
    QVERIFY2(rig.messages.texts[0].contains(rig.dir.configPath()),
             qPrintable(rig.messages.texts[0]));
    QCOMPARE(portInMemory(*rig.window), 9); // in memory for the next Retry
}

QTEST_MAIN(TestPortDialog)
#include "tst_portdialog.moc"
