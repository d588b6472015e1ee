#include "common/Reaction.h"
#include "support/TestEnvironment.h"

#include <QPointer>
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
        auto* reaction = new Reaction(&owner, [&]() -> QCoro::Task<> {
            seen.append(source.value);
            co_return;
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
    }

    void changeDuringSuspendedRunGetsOneMoreRun() {
        QObject owner;
        Source source;
        QList<int> seen;
        auto* reaction = new Reaction(&owner, [&]() -> QCoro::Task<> {
            const int v = source.value;
            co_await QCoro::sleepFor(30ms);
            seen.append(v);
        });
        reaction->on(&source, &Source::changed);

        source.change(1);
        QTRY_VERIFY(reaction->isRunning());
        source.change(2);
        source.change(3);
        QTRY_COMPARE(reaction->completedRuns(), 2);
        QTest::qWait(100);
        QCOMPARE(reaction->completedRuns(), 2);
        QCOMPARE(seen, (QList<int>{1, 3}));
    }

    void endsQuietlyWithItsOwner() {
        Source source;
        int runs = 0;
        auto owner = std::make_unique<QObject>();
        QPointer<QObject> watched = owner.get();
        auto* reaction = new Reaction(owner.get(), [&, watched]() -> QCoro::Task<> {
            co_await QCoro::sleepFor(20ms);
            if (watched) {
                ++runs;
            }
        });
        reaction->on(&source, &Source::changed);

        // Destroyed while a run is scheduled: nothing runs.
        source.change(1);
        owner.reset();
        QTest::qWait(60);
        QCOMPARE(runs, 0);

        // Destroyed while a run is suspended: the run finishes without touching it.
        auto owner2 = std::make_unique<QObject>();
        QPointer<QObject> watched2 = owner2.get();
        int finished = 0;
        auto* second = new Reaction(owner2.get(), [&, watched2]() -> QCoro::Task<> {
            co_await QCoro::sleepFor(20ms);
            ++finished;
        });
        second->on(&source, &Source::changed);
        source.change(2);
        QTRY_VERIFY(second->isRunning());
        owner2.reset();
        QTRY_COMPARE(finished, 1);
        source.change(3);
        QTest::qWait(60);
        QCOMPARE(finished, 1);
    }
};

OCULO_TEST_MAIN(TestReaction)
#include "test_reaction.moc"
