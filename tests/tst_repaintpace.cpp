// The repaint pace that the screen and the lamps share: what shows on the screen after each
// change, read back from the window's pixels, with the pace's clock stepped by hand. Only posted
// events are delivered between the steps, so the pace's fallback timer never runs in between:
// what shows follows from the steps alone, whatever the machine's load.

#include "display/lamp.h"
#include "display/repaintpace.h"

#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTest>

#include <memory>
#include <optional>

using namespace lumatrax;
using namespace std::chrono_literals;
using std::chrono::milliseconds;

namespace {

const QColor kBlack(0, 0, 0);
const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);

// A pace whose clock moves only when the test moves it.
class SteppedPace : public RepaintPace
{
public:
    using RepaintPace::RepaintPace;
    milliseconds time{1000};

protected:
    [[nodiscard]] milliseconds now() const override { return time; }
};

// The colour a lamp shows on the screen: the window's pixels as last put there.
QColor shown(const Lamp& lamp)
{
    const QWidget* window = lamp.window();
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(window->winId()).toImage();
    const QPoint centre = lamp.mapTo(window, lamp.rect().center()) * window->devicePixelRatio();
    return screen.pixelColor(centre);
}

// Delivers what is posted (the pace's repaint at a turn's end, then the window's), but no timer.
void deliverPosted()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();
}

} // namespace

class TestRepaintPace : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void aRequestRepaintsAtOnceAfterAQuietSpellElseAtTheFallback_data();
    void aRequestRepaintsAtOnceAfterAQuietSpellElseAtTheFallback();

    void aChangeShowsAtOnceAfterAQuietSpellAndWaitsForTheTurnWithinAnInterval();
    void lampsOnOnePaceShowTheirChangesTogether();
    void aLampGivenNoPaceRepaintsOnItsOwn();
    void aWaitingRepaintMovesToTheNewPace();
    void aLampOutlivingItsPaceStillRepaints();

private:
    std::unique_ptr<QWidget> m_window;
    Lamp* m_a = nullptr;
    Lamp* m_b = nullptr;
    SteppedPace* m_pace = nullptr;
};

void TestRepaintPace::init()
{
    m_window = std::make_unique<QWidget>();
    m_window->resize(160, 60);
    m_pace = new SteppedPace(m_window.get());
    m_a = new Lamp(QStringLiteral("a"), Lamp::Shape::RoundedRectangle, kBlack, m_window.get());
    m_a->setGeometry(10, 10, 40, 40);
    m_b = new Lamp(QStringLiteral("b"), Lamp::Shape::RoundedSquare, kBlack, m_window.get());
    m_b->setGeometry(80, 10, 40, 40);
    m_a->setRepaintPace(m_pace);
    m_b->setRepaintPace(m_pace);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_COMPARE(shown(*m_a), kBlack);
    QTRY_COMPARE(shown(*m_b), kBlack);
}

void TestRepaintPace::cleanup()
{
    m_window.reset();
}

void TestRepaintPace::aRequestRepaintsAtOnceAfterAQuietSpellElseAtTheFallback_data()
{
    QTest::addColumn<std::optional<milliseconds>>("sinceRepaint");
    QTest::addColumn<milliseconds>("delay");
    QTest::newRow("never repainted") << std::optional<milliseconds>() << 0ms;
    QTest::newRow("just repainted") << std::optional(0ms) << 36ms;
    QTest::newRow("10 ms ago") << std::optional(10ms) << 26ms;
    QTest::newRow("27 ms ago") << std::optional(27ms) << 9ms;
    QTest::newRow("28 ms ago, a little early") << std::optional(28ms) << 0ms;
    QTest::newRow("an interval ago") << std::optional(32ms) << 0ms;
    QTest::newRow("a second ago") << std::optional(1000ms) << 0ms;
}

void TestRepaintPace::aRequestRepaintsAtOnceAfterAQuietSpellElseAtTheFallback()
{
    QFETCH(std::optional<milliseconds>, sinceRepaint);
    QFETCH(milliseconds, delay);
    QCOMPARE(RepaintPace::requestDelay(sinceRepaint).count(), delay.count());
}

void TestRepaintPace::aChangeShowsAtOnceAfterAQuietSpellAndWaitsForTheTurnWithinAnInterval()
{
    m_a->setColour(kGreen); // the pace never repainted: at once
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen);

    m_pace->time += 10ms;
    m_a->setColour(kRed);
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen); // waits for the interval
    m_pace->time += 17ms;
    m_b->setColour(kRed);
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen); // a turn ending too early leaves both waiting
    QCOMPARE(shown(*m_b), kBlack);
    m_pace->time += 1ms;
    m_b->setColour(kGreen);
    deliverPosted();
    QCOMPARE(shown(*m_a), kRed);
    QCOMPARE(shown(*m_b), kGreen);

    m_pace->time += 40ms; // quiet since
    m_a->setColour(kGreen);
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen);

    // With no more turns, the fallback timer repaints what waits.
    m_a->setColour(kRed);
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen);
    QTRY_COMPARE(shown(*m_a), kRed);
}

void TestRepaintPace::lampsOnOnePaceShowTheirChangesTogether()
{
    // Set one after the other in one turn, after a quiet spell: neither shows before the other.
    m_a->setColour(kGreen);
    m_b->setColour(kRed);
    deliverPosted();
    QCOMPARE(shown(*m_a), kGreen);
    QCOMPARE(shown(*m_b), kRed);

    // Left to the fallback timer, they change together too.
    m_pace->time += 1ms;
    m_a->setColour(kBlack);
    m_b->setColour(kGreen);
    bool apart = false;
    QVERIFY(QTest::qWaitFor([&] {
        const bool a = shown(*m_a) == kBlack;
        const bool b = shown(*m_b) == kGreen;
        apart |= a != b;
        return a && b;
    }));
    QVERIFY(!apart);
}

void TestRepaintPace::aLampGivenNoPaceRepaintsOnItsOwn()
{
    Lamp lamp(QStringLiteral("c"), Lamp::Shape::RoundedRectangle, kBlack, m_window.get());
    lamp.setGeometry(130, 10, 20, 20);
    lamp.show();
    QTRY_COMPARE(shown(lamp), kBlack);
    lamp.setColour(kGreen);
    deliverPosted();
    QCOMPARE(shown(lamp), kGreen);
    lamp.setColour(kRed);
    QTRY_COMPARE(shown(lamp), kRed);
}

void TestRepaintPace::aWaitingRepaintMovesToTheNewPace()
{
    m_a->setColour(kGreen);
    deliverPosted();
    m_b->setColour(kRed); // waits on the shared pace
    deliverPosted();
    QCOMPARE(shown(*m_b), kBlack);
    SteppedPace fresh;
    m_b->setRepaintPace(&fresh); // never repainted: at once
    deliverPosted();
    QCOMPARE(shown(*m_b), kRed);
    m_b->setRepaintPace(m_pace);
}

void TestRepaintPace::aLampOutlivingItsPaceStillRepaints()
{
    auto pace = std::make_unique<SteppedPace>();
    m_b->setRepaintPace(pace.get());
    m_b->setColour(kGreen);
    deliverPosted();
    m_b->setColour(kRed); // waits
    pace.reset();
    deliverPosted();
    QCOMPARE(shown(*m_b), kGreen);
    m_b->setColour(kBlack); // on a pace of its own, never repainted: at once
    deliverPosted();
    QCOMPARE(shown(*m_b), kBlack);
}

QTEST_MAIN(TestRepaintPace)
#include "tst_repaintpace.moc"
