#include "common/Reaction.h"
#include "support/TestEnvironment.h"

#include <QSignalSpy>
#include <qcoro/qcorotimer.h>

#include <chrono>

using namespace std::chrono_literals;
using oculo::Reaction;

namespace {

class Source : public QObject {
    Q_OBJECT
public:
    void change(int v) {
        value = v;
        Q_EMIT changed();
    }
    int value = 0;
Q_SIGNALS:
    void changed();
    void otherChanged();
};

} // namespace

class TestReaction : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runsQueuedAndFoldsBursts() {
        QObject owner;
        Source source;
        QList<int> seen;
        std::chrono::milliseconds pause = 0ms;
        auto* reaction = new Reaction(&owner, [&]() -> QCoro::Task<> {
            const int v = source.value;
            if (pause > 0ms) {
                co_await QCoro::sleepFor(pause);
            }
            seen.append(v);
        });
        reaction->on(&source, &Source::changed).on(&source, &Source::otherChanged);

        source.change(1);
        QVERIFY2(seen.isEmpty(), "a reaction never runs inline with the change");
        source.change(2);
        Q_EMIT source.otherChanged();
        source.change(3);
        QTRY_COMPARE(reaction->completedRuns(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(seen, QList<int>{3});

        // Re-armed after the run: the next change runs again.
        source.change(4);
        QTRY_COMPARE(reaction->completedRuns(), 2);
        QCOMPARE(seen, (QList<int>{3, 4}));

        // Changes during a suspended run get exactly one more run.
        pause = 30ms;
        seen.clear();
        source.change(1);
        QTRY_VERIFY(reaction->isRunning());
        source.change(2);
        source.change(3);
        QTRY_COMPARE(reaction->completedRuns(), 4);
        QTest::qWait(100);
        QCOMPARE(reaction->completedRuns(), 4);
        QCOMPARE(seen, (QList<int>{1, 3}));
    }

    void endsQuietlyWithItsOwner() {
        Source source;
        int started = 0;
        int finished = 0;
        auto owner = std::make_unique<QObject>();
        auto* reaction = new Reaction(owner.get(), [&]() -> QCoro::Task<> {
            ++started;
            co_await QCoro::sleepFor(20ms);
            ++finished;
        });
        reaction->on(&source, &Source::changed);

        // Destroyed while a run is suspended: the run finishes without touching it,
        // and nothing runs for later changes.
        source.change(1);
        QTRY_VERIFY(reaction->isRunning());
        owner.reset();
        QTRY_COMPARE(finished, 1);
        source.change(2);
        QCoreApplication::processEvents();
        QCOMPARE(started, 1);

        // Destroyed while a run is only scheduled: nothing runs.
        auto owner2 = std::make_unique<QObject>();
        (new Reaction(owner2.get(), [&]() -> QCoro::Task<> {
            ++started;
            co_return;
        }))->on(&source, &Source::changed);
        source.change(3);
        owner2.reset();
        QCoreApplication::processEvents();
        QCOMPARE(started, 1);
    }
};

OCULO_TEST_MAIN(TestReaction)
#include "test_reaction.moc"
