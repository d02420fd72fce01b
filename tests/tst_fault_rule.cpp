#include "fault/FaultRule.h"
#include "fault/FaultRules.h"
#include "fault/FaultSchedule.h"
#include "fault/FaultStage.h"
#include "log/LogManager.h"
#include "protocol/FrameView.h"
#include "protocol/UnitReply.h"
#include "protocol/WireFormat.h"
#include "transport/LineWriter.h"
#include "transport/MemoryTransport.h"

#include <QtTest>

#include <algorithm>
#include <functional>
#include <vector>

// The rule grammar, its messages and canonical texts; the seeded draws; rule ids and removal.
class TestFaultRule : public QObject
{
    Q_OBJECT

    static QString ids(const FaultRules& faults)
    {
        QStringList list;
        for (const FaultRules::RuleStatus& status : faults.rules())
            list << QStringLiteral("%1 %2 fired %3 %4")
                        .arg(status.id)
                        .arg(status.text)
                        .arg(status.fired)
                        .arg(status.state);
        return list.join(QStringLiteral("; "));
    }

    static UnitRequest request(unsigned char cmd)
    {
        UnitRequest request;
        request.command = cmd;
        return request;
    }

    static void requests(FaultStage& stage, int count, unsigned char cmd = 2)
    {
        // No target: the gate numbers and fires, nothing is answered.
        for (int i = 0; i < count; ++i)
            stage.pass(request(cmd));
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("rule");
        // The canonical text of a good rule, or the whole message of a refused one.
        QTest::addColumn<bool>("good");
        QTest::addColumn<QString>("expected");

        const auto good = [](const char* tag, const char* rule, const char* text) {
            QTest::newRow(tag) << QString::fromUtf8(rule) << true << QString::fromUtf8(text);
        };
        const auto bad = [](const char* tag, const char* rule, const char* message) {
            QTest::newRow(tag) << QString::fromUtf8(rule) << false << QString::fromUtf8(message);
        };
        good("name", "get-time:drop@3", "get-time:drop@3");
        good("decimal code", "2:drop", "get-time:drop");
        good("hex code", "0x0C:delay=250", "get-file-records:delay=250");
        good("any", " *:delay=100-300@p=0.25 ", "*:delay=100-300@p=0.25");
        good("equal range ends", "4:delay=7-7", "get-factory-serial-number:delay=7");
        good("split", "get-time:split=3:20@2-4", "get-time:split=3:20@2-4");
        good("noise every", "21:noise=8@every=5", "import-sensor-mode-data:noise=8@every=5");
        good("wrong command", "get-time:wrong-command=131", "get-time:wrong-command=0x83");
        good("wrong address", "get-time:wrong-address=0xbeef", "get-time:wrong-address=0xBEEF");
        good("stall", "*:stall=500@1", "*:stall=500@1");
        good("record", "record:truncate=20@5", "record:truncate=20@5");
        good("stop-after", "record:stop-after=0", "record:stop-after=0");
        good("chance edges", "get-time:duplicate@p=1", "get-time:duplicate@p=1");

        // Timelines: alone or after the counted form, printed back in one order and the largest whole unit.
        good("after for", "*:drop@after=2s,for=3s", "*:drop@after=2s,for=3s");
        good("counted then for", "get-time:delay=800@every=2,for=10s", "get-time:delay=800@every=2,for=10s");
        good("for alone", "get-time:drop@for=500ms", "get-time:drop@for=500ms");
        good("for before after", "get-time:drop@for=1.5s,after=250ms", "get-time:drop@after=250ms,for=1.5s");
        good("minutes", "*:drop@after=1m", "*:drop@after=1m");
        good("units folded", "*:drop@after=60000ms,for=0.5m", "*:drop@after=1m,for=30s");
        good("fraction trimmed", "*:drop@after=1.250s,for=007s", "*:drop@after=1.25s,for=7s");
        good("a day", "*:drop@after=1440m,for=86400000ms", "*:drop@after=1440m,for=1440m");
        good("after zero", "get-time:drop@after=0s", "get-time:drop");
        good("after zero with for", "get-time:drop@after=0ms,for=1ms", "get-time:drop@for=1ms");
        good("chance timeline", "*:noise=4@p=0.5,after=2s", "*:noise=4@p=0.5,after=2s");
        good("range timeline", "get-time:drop@2-4,after=1s,for=2s", "get-time:drop@2-4,after=1s,for=2s");
        good("stall timeline", "*:stall=500@1,after=1s", "*:stall=500@1,after=1s");
        good("record timeline", "record:drop@5,for=2s", "record:drop@5,for=2s");
        good("stop-after timeline", "record:stop-after=3@for=2s", "record:stop-after=3@for=2s");
        // The line itself: events counted or on a timeline, states on a timeline only.
        good("vanish timeline", "line:vanish=2000@after=3s", "line:vanish=2000@after=3s");
        good("vanish counted", "line:vanish=500@every=4", "line:vanish=500@every=4");
        good("break nth", "line:break=250@3", "line:break=250@3");
        good("garble window", "line:garble=0.01@for=2s", "line:garble=0.01@for=2s");
        good("modem window", "line:modem=dsr-off@after=1s,for=2s", "line:modem=dsr-off@after=1s,for=2s");
        good("modem cts", "line:modem=cts-off", "line:modem=cts-off");
        good("modem dcd", "line:modem=dcd-off", "line:modem=dcd-off");

        bad("empty", "", "fault rule \"\": expected TARGET:ACTION[@WHEN]");
        bad("no action", "get-time", "fault rule \"get-time\": expected TARGET:ACTION[@WHEN]");
        bad("no target", ":drop", "fault rule \":drop\": expected TARGET:ACTION[@WHEN]");
        bad("unknown action", "get-time:dorp", "fault rule \"get-time:dorp\": unknown action \"dorp\"");
        bad("unknown target", "get-tea:drop",
            "fault rule \"get-tea:drop\": unknown target \"get-tea\" (a command code 1-21 or 0x01-0x15, a "
            "command name such as get-time, *, record or line)");
        bad("code 22", "22:drop",
            "fault rule \"22:drop\": unknown target \"22\" (a command code 1-21 or "
            "0x01-0x15, a command name such as get-time, *, record or line)");
        bad("value on drop", "get-time:drop=3",
            "fault rule \"get-time:drop=3\": action \"drop\" takes no value");
        bad("missing value", "get-time:delay",
            "fault rule \"get-time:delay\": action \"delay\" needs a value (delay=MS or delay=MIN-MAX)");
        bad("delay text", "get-time:delay=soon",
            "fault rule \"get-time:delay=soon\": delay: \"soon\" is not MS or MIN-MAX, milliseconds from 0 "
            "to 3600000");
        bad("delay reversed", "get-time:delay=9-3",
            "fault rule \"get-time:delay=9-3\": delay: \"9-3\" is not a range: MAX is below MIN");
        bad("split one piece", "get-time:split=1:5",
            "fault rule \"get-time:split=1:5\": split: \"1:5\" is not K:MS, 2 to 1000 pieces, 0 to 60000 ms "
            "apart");
        bad("noise none", "get-time:noise=0",
            "fault rule \"get-time:noise=0\": noise: \"0\" is not a byte count from 1 to 10240");
        bad("wrong command 256", "get-time:wrong-command=256",
            "fault rule \"get-time:wrong-command=256\": wrong-command: \"256\" is not a command byte, 0 to "
            "255 or 0x00 to 0xFF");
        bad("negative truncate", "get-time:truncate=-1",
            "fault rule \"get-time:truncate=-1\": truncate: \"-1\" is not a byte count from 0 to 65535");
        bad("record delay", "record:delay=5",
            "fault rule \"record:delay=5\": action \"delay\" does not apply to record (drop, corrupt-crc, "
            "truncate=N, duplicate, stop-after=K)");
        bad("stop-after on a command", "get-time:stop-after=3",
            "fault rule \"get-time:stop-after=3\": action \"stop-after\" applies to record only");
        bad("stop-after with when", "record:stop-after=3@2",
            "fault rule \"record:stop-after=3@2\": stop-after takes no WHEN: it cuts every upload");
        bad("drop on line", "line:drop",
            "fault rule \"line:drop\": action \"drop\" does not apply to line (vanish=MS, break=MS, "
            "garble=P, "
            "modem=dsr-off or modem=cts-off or modem=dcd-off)");
        bad("vanish on a command", "get-time:vanish=5",
            "fault rule \"get-time:vanish=5\": action \"vanish\" applies to line only");
        bad("garble on record", "record:garble=0.5",
            "fault rule \"record:garble=0.5\": action \"garble\" does not apply to record (drop, "
            "corrupt-crc, "
            "truncate=N, duplicate, stop-after=K)");
        bad("vanish zero", "line:vanish=0",
            "fault rule \"line:vanish=0\": vanish: \"0\" is not a number of milliseconds from 1 to 3600000");
        bad("break too long", "line:break=60001",
            "fault rule \"line:break=60001\": break: \"60001\" is not a number of milliseconds from 1 to "
            "60000");
        bad("garble above 1", "line:garble=2",
            "fault rule \"line:garble=2\": garble: \"2\" is not a probability from 0 to 1");
        bad("modem ring", "line:modem=ri-off",
            "fault rule \"line:modem=ri-off\": modem: \"ri-off\" is not dsr-off, cts-off or dcd-off");
        bad("garble counted", "line:garble=0.1@3,for=1s",
            "fault rule \"line:garble=0.1@3,for=1s\": garble takes no counted WHEN: it lasts while the rule "
            "is "
            "active (after=, for=)");
        bad("when zero", "get-time:drop@0",
            "fault rule \"get-time:drop@0\": WHEN \"0\": expected N, N-M, every=K or p=P (N counts from 1)");
        bad("when reversed", "get-time:drop@5-2",
            "fault rule \"get-time:drop@5-2\": WHEN \"5-2\": the range ends before it starts");
        bad("when every 0", "get-time:drop@every=0",
            "fault rule \"get-time:drop@every=0\": WHEN \"every=0\": every=K needs K from 1");
        bad("when p above 1", "get-time:drop@p=1.5",
            "fault rule \"get-time:drop@p=1.5\": WHEN \"p=1.5\": p=P needs a probability from 0 to 1");
        bad("when empty", "get-time:drop@",
            "fault rule \"get-time:drop@\": nothing after \"@\" (N, N-M, every=K or p=P)");
        const auto badTimeline = [](const char* tag, const char* when, const char* what) {
            const QString rule = QStringLiteral("get-time:drop@") + QString::fromUtf8(when);
            QTest::newRow(tag) << rule << false
                               << QStringLiteral("fault rule \"%1\": WHEN \"%2\": %3")
                                      .arg(rule, QString::fromUtf8(when), QString::fromUtf8(what));
        };
        badTimeline("after huge", "after=99999999999999s",
                    "after=: \"99999999999999s\" is longer than 24 hours");
        badTimeline("after a day and a minute", "after=1441m", "after=: \"1441m\" is longer than 24 hours");
        badTimeline("for a day and a ms", "for=86400001ms", "for=: \"86400001ms\" is longer than 24 hours");
        badTimeline("two points", "after=1.5.5s",
                    "after=: \"1.5.5s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("for empty", "for=", "for=: \"\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("after twice", "after=2s,after=3s", "after= given twice");
        badTimeline("for twice", "for=2s,after=1s,for=2s", "for= given twice");
        badTimeline("for zero", "for=0s", "for=: \"0s\" would end the rule as it starts (1ms or more)");
        badTimeline("for zero minutes", "5,for=0.0m",
                    "for=: \"0.0m\" would end the rule as it starts (1ms or more)");
        badTimeline("negative", "after=-1s",
                    "after=: \"-1s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("no unit", "after=2", "after=: \"2\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("hours", "for=2h", "for=: \"2h\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("upper case unit", "for=2S",
                    "for=: \"2S\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("exponent", "for=1e3ms",
                    "for=: \"1e3ms\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("space", "for= 2s", "for=: \" 2s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("bare point", "after=.5s",
                    "after=: \".5s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("trailing point", "after=5.s",
                    "after=: \"5.s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("other digits", "after=\u0662s",
                    "after=: \"\u0662s\" is not a duration such as 250ms, 2s, 1.5s or 1m");
        badTimeline("finer than a ms", "after=1.0005s",
                    "after=: \"1.0005s\" is not a whole number of milliseconds");
        badTimeline("fraction of a ms", "for=0.5ms", "for=: \"0.5ms\" is not a whole number of milliseconds");
        badTimeline("counted after timeline", "after=2s,3",
                    "\"3\" is not after=DURATION or for=DURATION (N, N-M, every=K or p=P comes first)");
        badTimeline("two counted", "2,3",
                    "\"3\" is not after=DURATION or for=DURATION (N, N-M, every=K or p=P comes first)");
        badTimeline("empty part", "2,,for=1s", "an empty part between commas");
        badTimeline("trailing comma", "for=1s,", "an empty part between commas");
        badTimeline("leading comma", ",for=1s", "an empty part between commas");
        badTimeline("bad counted with timeline", "0,for=1s",
                    "expected N, N-M, every=K or p=P (N counts from 1)");
        bad("stop-after counted with timeline", "record:stop-after=3@2,for=1s",
            "fault rule \"record:stop-after=3@2,for=1s\": stop-after takes no WHEN: it cuts every upload");
        // Hostile text: escaped and cut, so the message keeps its reason and its size.
        bad("control character", "get-time:dr\x01op",
            "fault rule \"get-time:dr\\u0001op\": unknown action \"dr\\u0001op\"");
        const QString huge(100000, QLatin1Char('t'));
        QTest::newRow("huge target") << huge + QStringLiteral(":drop") << false
                                     << QStringLiteral(
                                            "fault rule \"%1…\" (100005 characters): unknown target "
                                            "\"%1…\" (100000 characters) (a command code 1-21 or "
                                            "0x01-0x15, a command name such as get-time, *, record or line)")
                                            .arg(QString(80, QLatin1Char('t')));
    }

    void parse()
    {
        QFETCH(QString, rule);
        QFETCH(bool, good);
        QFETCH(QString, expected);
        QString error = QStringLiteral("stale");
        const auto parsed = FaultRule::parse(rule, &error);
        QCOMPARE(parsed.has_value(), good);
        if (good) {
            QCOMPARE(parsed->text(), expected);
            QVERIFY(error.isEmpty());
            // The canonical text reads back as the same rule.
            QCOMPARE(FaultRule::parse(parsed->text(), nullptr)->text(), expected);
        } else {
            QCOMPARE(error, expected);
        }
    }

    void timelineTextsReadBack()
    {
        // Whatever unit the canonical text picks, it reads back as the same milliseconds.
        for (std::uint32_t ms :
             {1u, 999u, 1000u, 1001u, 1010u, 1500u, 59999u, 60000u, 61000u, 90000u, 86399999u, 86400000u}) {
            const auto rule = FaultRule::parse(QStringLiteral("*:drop@after=%1ms,for=%1ms").arg(ms), nullptr);
            QVERIFY(rule);
            const auto again = FaultRule::parse(rule->text(), nullptr);
            QVERIFY2(again, qPrintable(rule->text()));
            QCOMPARE(again->afterMs(), ms);
            QCOMPARE(again->forMs(), ms);
        }
    }

    void seededDrawsRepeat()
    {
        const auto run = [](std::uint32_t seed) {
            FaultSchedule schedule(seed);
            schedule.add(*FaultRule::parse(QStringLiteral("*:drop@p=0.5"), nullptr));
            QString pattern;
            for (int i = 0; i < 64; ++i)
                pattern += schedule.fireOnRequest(1).isEmpty() ? QLatin1Char('0') : QLatin1Char('1');
            const QByteArray noise = schedule.noise(256);
            return qMakePair(pattern, noise);
        };
        const auto first = run(7);
        QCOMPARE(run(7), first);
        QVERIFY(first.first.contains(QLatin1Char('0')) && first.first.contains(QLatin1Char('1')));
        QVERIFY(run(8).first != first.first);
        QCOMPARE(first.second.size(), 256);
        QVERIFY(!first.second.contains('\x5A'));

        // clear() starts the generator again, so a cleared run repeats too.
        FaultSchedule schedule(7);
        const std::uint32_t a = schedule.drawBetween(0, 1000000);
        schedule.clear();
        QCOMPARE(schedule.drawBetween(0, 1000000), a);
        QCOMPARE(schedule.drawBetween(9, 9), 9u);
    }

    void ruleIdsAndRemoval()
    {
        FaultStage stage;
        FaultRules& faults = *stage.rules();
        QString error;
        int a = 0, b = 0, c = 0;
        QVERIFY(faults.addRule(QStringLiteral("get-time:drop"), &error, &a));
        QVERIFY(faults.addRule(QStringLiteral("*:delay=5@every=2"), &error, &b));
        QVERIFY(!faults.addRule(QStringLiteral("get-time:dorp"), &error, &c));
        QCOMPARE(c, 0); // a refused rule takes no id
        QVERIFY(faults.addRule(QStringLiteral("get-time:corrupt-crc@3"), &error, &c));
        QCOMPARE(QList<int>({a, b, c}), QList<int>({1, 2, 3}));
        requests(stage, 2);
        QCOMPARE(ids(faults),
                 QStringLiteral("1 get-time:drop fired 2 active; 2 *:delay=5@every=2 fired 1 active; "
                                "3 get-time:corrupt-crc@3 fired 0 active"));

        // The middle rule goes; the last one keeps its match count, so its @3 is the next request.
        QSignalSpy changed(&faults, &FaultRules::rules_changed);
        QSignalSpy logged(LogManager::instance(), &LogManager::logAdded);
        QVERIFY(faults.removeRule(b));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(logged.count(), 1);
        QVERIFY2(logged.first().first().toString().endsWith(
                     QStringLiteral("fault rule removed: *:delay=5@every=2")),
                 qPrintable(logged.first().first().toString()));
        requests(stage, 1);
        requests(stage, 1, 3); // another command: only * rules would match
        QCOMPARE(ids(faults),
                 QStringLiteral("1 get-time:drop fired 3 active; 3 get-time:corrupt-crc@3 fired 1 active"));
        QCOMPARE(faults.listing(),
                 QStringList({QStringLiteral("fault rule 1: get-time:drop, fired 3"),
                              QStringLiteral("fault rule 2: get-time:corrupt-crc@3, fired 1")}));

        // Unknown ids, the removed one among them: refused, nothing changes, nothing is said.
        changed.clear();
        logged.clear();
        for (int unknown : {b, 0, -1, 4, 1 << 30})
            QVERIFY(!faults.removeRule(unknown));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(logged.count(), 0);
        QCOMPARE(faults.rules().size(), 2);

        // Ids survive clear() and are never used again, whichever way the rules come.
        faults.clear();
        QVERIFY(faults.addRule(QStringLiteral("get-time:drop"), &error, &a));
        QCOMPARE(a, 4);
        QVERIFY(
            faults.setRules({QStringLiteral("set-time:drop"), QStringLiteral("get-time:drop")}, 1, &error));
        QVERIFY(faults.takeScenarioRules({QStringLiteral("*:drop")}, std::nullopt, &error));
        QCOMPARE(ids(faults),
                 QStringLiteral("5 set-time:drop fired 0 active; 6 get-time:drop fired 0 active; "
                                "7 *:drop fired 0 active"));
        // Another scenario's rules replace those of the one before, with new ids.
        QVERIFY(faults.takeScenarioRules({QStringLiteral("*:drop"), QStringLiteral("get-time:truncate=3")},
                                         std::nullopt, &error));
        QList<int> after;
        for (const FaultRules::RuleStatus& status : faults.rules())
            after << status.id;
        QCOMPARE(after, QList<int>({5, 6, 8, 9}));
        QVERIFY(faults.removeRule(8));
        QVERIFY(!faults.removeRule(7));
    }

    void timelineWaitsActsEnds()
    {
        FaultStage stage;
        FaultRules& faults = *stage.rules();
        int delivered = 0;
        FaultStage::Target target;
        target.deliver = [&](const UnitRequest&) { ++delivered; };
        stage.setTarget(target);
        const auto timersIdle = [&] {
            const QList<QTimer*> timers = stage.findChildren<QTimer*>();
            return std::none_of(timers.cbegin(), timers.cend(), [](QTimer* t) { return t->isActive(); });
        };
        QString error;
        QVERIFY(faults.addRule(QStringLiteral("set-time:drop"), &error));
        QVERIFY2(timersIdle(), "a rule without a timeline arms no timer");

        // Each change of the list as it happens; on activation one request goes at once, so it
        // falls in the active window however slow the machine.
        QStringList seen;
        QList<qint64> seenMs;
        QElapsedTimer clock;
        bool inside = false;
        const auto watch = connect(&faults, &FaultRules::rules_changed, this, [&] {
            const QString state = faults.rules().last().state;
            if (inside || (!seen.isEmpty() && seen.last() == state))
                return;
            seen << state;
            seenMs << clock.elapsed();
            if (state == QLatin1String("active")) {
                inside = true;
                requests(stage, 1);
                inside = false;
            }
        });
        QSignalSpy ended(&faults, &FaultRules::rule_ended);
        QSignalSpy logged(LogManager::instance(), &LogManager::logAdded);
        const QString rule = QStringLiteral("get-time:drop@after=50ms,for=100ms");
        int id = 0;
        clock.start();
        QVERIFY(faults.addRule(rule, &error, &id));
        QCOMPARE(faults.rules().last().state, QStringLiteral("waiting"));
        QVERIFY(!timersIdle());
        // Waiting: never fires, counts nothing.
        requests(stage, 3);
        QCOMPARE(faults.rules().last().fired, std::uint64_t(0));
        QCOMPARE(faults.listing().last(), QStringLiteral("fault rule 2: %1, fired 0, waiting").arg(rule));
        QCOMPARE(faults.listing().first(), QStringLiteral("fault rule 1: set-time:drop, fired 0"));

        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
        QCOMPARE(seen,
                 QStringList({QStringLiteral("waiting"), QStringLiteral("active"), QStringLiteral("ended")}));
        // Never early (a millisecond's slack for the clocks' rounding); late is the machine's business.
        QVERIFY2(seenMs.at(1) >= 49 && seenMs.at(2) >= 149,
                 qPrintable(QStringLiteral("%1 %2").arg(seenMs.at(1)).arg(seenMs.at(2))));
        QCOMPARE(ended.first().first().toString(), rule);
        QStringList endLines;
        for (const QList<QVariant>& line : logged) {
            if (line.first().toString().contains(QStringLiteral(" ended")))
                endLines << line.first().toString();
        }
        QCOMPARE(endLines.size(), 1);
        QVERIFY2(endLines.first().endsWith(QStringLiteral("FAULT %1 ended").arg(rule)),
                 qPrintable(endLines.first()));

        // Ended: fires no more, stays listed until removed, and no timer runs.
        const int before = delivered;
        requests(stage, 2);
        QCOMPARE(delivered, before + 2);
        QCOMPARE(faults.rules().last().fired, std::uint64_t(1));
        QCOMPARE(faults.rules().last().state, QStringLiteral("ended"));
        QCOMPARE(faults.listing().last(), QStringLiteral("fault rule 2: %1, fired 1, ended").arg(rule));
        QVERIFY(timersIdle());
        QVERIFY(faults.removeRule(id));
        QCOMPARE(faults.rules().size(), 1);

        // A stall's freeze ends with its rule, however long the stall was to be.
        disconnect(watch);
        faults.clear();
        QVERIFY(faults.addRule(QStringLiteral("*:stall=3600000@1,for=50ms"), &error));
        delivered = 0;
        requests(stage, 2); // the first stalls the unit, the second is swallowed by the freeze
        QCOMPARE(delivered, 0);
        QTRY_COMPARE_WITH_TIMEOUT(faults.rules().last().state, QStringLiteral("ended"), 5000);
        requests(stage, 1);
        QCOMPARE(delivered, 1);
    }

    // What each action makes of a typed reply: the timed writes the stage hands its writer and
    // the fate it tells, rules stacked as on the line (a cut frame keeps its broken end).
    void shapeActions()
    {
        MemoryTransport line(QStringLiteral("memory"));
        LineWriter writer(&line);
        const QByteArray frame =
            FrameView::build(wire::kAddress, 2, QByteArray("\x1A\x05\x09\x0C\x1E\x00\x07", 7));
        QByteArray flipped = frame;
        flipped[frame.size() - 2] = char(frame.at(frame.size() - 2) ^ 0xFF);
        flipped[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0xFF);
        using Check = std::function<bool(const QByteArray&)>;
        const auto is = [](const QByteArray& expected) -> Check {
            return [expected](const QByteArray& bytes) { return bytes == expected; };
        };
        const auto patched = [&frame](std::uint8_t command, std::uint16_t address) -> Check {
            return [&frame, command, address](const QByteArray& bytes) {
                const auto view = FrameView::of(bytes);
                return view && view->command() == command && view->address() == address &&
                       view->checksumOk() && view->content() == FrameView::of(frame)->content();
            };
        };
        using Fate = FaultStage::ReplyFate;
        struct Row
        {
            const char* rules; // "|" between rules
            Check bytes;       // of the writes joined
            int pieces;
            qint64 delayMs; // -1: written now; else the least wait of the first piece
            qint64 gapMs;   // between pieces
            Fate fate;
        };
        const Row rows[] = {
            {"set-time:drop", is(frame), 1, -1, 0, Fate::Written},
            {"get-time:drop", is({}), 0, -1, 0, Fate::Dropped},
            {"get-time:corrupt-crc", is(flipped), 1, -1, 0, Fate::Written},
            {"get-time:truncate=5|get-time:corrupt-crc", is(frame.left(5)), 1, -1, 0, Fate::Written},
            {"get-time:duplicate", is(frame + frame), 1, -1, 0, Fate::Written},
            {"get-time:noise=4",
             [&frame](const QByteArray& bytes) {
                 return bytes.size() == frame.size() + 4 && bytes.endsWith(frame);
             },
             1, -1, 0, Fate::Written},
            {"get-time:wrong-command=0x83", patched(0x83, wire::kAddress), 1, -1, 0, Fate::Written},
            {"get-time:wrong-address=0xBEEF", patched(2, 0xBEEF), 1, -1, 0, Fate::Written},
            {"get-time:delay=50", is(frame), 1, 50, 0, Fate::Delayed},
            {"get-time:split=3:20", is(frame), 3, 0, 20, Fate::Delayed},
            {"get-time:split=3:20|get-time:drop", is({}), 0, -1, 0, Fate::Dropped},
        };
        for (const Row& row : rows) {
            const QString rules = QString::fromLatin1(row.rules);
            FaultStage stage;
            std::vector<LineWriter::TimedWrite> writes;
            QList<Fate> fates;
            FaultStage::Target target;
            target.deliver = [&](const UnitRequest& request) {
                UnitReply reply;
                reply.kind = UnitReply::Kind::Clock;
                reply.command = request.command;
                reply.request = request.number;
                QVERIFY(stage.shapes(writer));
                writes = stage.shape(reply, frame, writer);
            };
            target.replyFate = [&](Fate fate, std::uint64_t, const QStringList&) { fates << fate; };
            stage.setTarget(target);
            QString error;
            QVERIFY2(stage.rules()->setRules(rules.split(QLatin1Char('|')), 1, &error), qPrintable(error));
            const qint64 before = LineWriter::nowNs();
            stage.pass(request(2));
            QVERIFY2(fates == QList<Fate>{row.fate}, qPrintable(rules));
            QVERIFY2(int(writes.size()) == row.pieces, qPrintable(rules));
            QByteArray joined;
            for (std::size_t i = 0; i < writes.size(); ++i) {
                const LineWriter::TimedWrite& write = writes[i];
                joined += write.bytes;
                const bool last = i + 1 == writes.size();
                if (row.delayMs < 0)
                    QVERIFY2(write.dueNs == 0 && write.hold == 0, qPrintable(rules));
                else
                    QVERIFY2(write.dueNs >= before + (row.delayMs + row.gapMs * qint64(i)) * 1000000 &&
                                 (write.hold != 0) == last,
                             qPrintable(rules));
            }
            QVERIFY2(row.bytes(joined),
                     qPrintable(QStringLiteral("%1: %2").arg(rules, QString::fromLatin1(joined.toHex(' ')))));
        }
    }

    void lineRulesActOnTheLine()
    {
        FaultStage stage;
        FaultRules& faults = *stage.rules();
        QList<std::uint8_t> modem;
        QStringList events;
        int delivered = 0;
        QString refusal;
        FaultStage::Target target;
        target.deliver = [&](const UnitRequest&) { ++delivered; };
        target.modemLines = [&](std::uint8_t off) { modem << off; };
        target.lineEvent = [&](FaultRule::Action action, std::uint32_t ms) {
            events << QStringLiteral("%1 %2")
                          .arg(action == FaultRule::Action::Vanish ? "vanish" : "break")
                          .arg(ms);
        };
        target.lineRefusal = [&](const FaultRule&) { return refusal; };
        stage.setTarget(target);
        QString error;
        // A state follows its rule's window; two modem rules add up; removal turns it back on.
        QVERIFY(faults.addRule(QStringLiteral("line:modem=dsr-off@for=100ms"), &error));
        int cts = 0;
        QVERIFY(faults.addRule(QStringLiteral("line:modem=cts-off"), &error, &cts));
        QCOMPARE(modem, QList<std::uint8_t>({0x20, 0x30}));
        QTRY_COMPARE_WITH_TIMEOUT(modem.size(), 3, 5000);
        QCOMPARE(modem.last(), std::uint8_t(0x10));
        QVERIFY(faults.removeRule(cts));
        QCOMPARE(modem.last(), std::uint8_t(0));
        // An event without a counted WHEN acts once as it starts, on the next turn of the loop;
        // a counted one on its request, which a vanished line never delivers.
        QVERIFY(faults.addRule(QStringLiteral("line:break=250@after=50ms"), &error));
        QVERIFY(faults.addRule(QStringLiteral("line:vanish=700@2"), &error));
        requests(stage, 3);
        QCOMPARE(delivered, 2);
        QTRY_COMPARE_WITH_TIMEOUT(
            events, QStringList({QStringLiteral("vanish 700"), QStringLiteral("break 250")}), 5000);
        QTest::qWait(100);
        QCOMPARE(events.size(), 2);
        // A line that cannot carry it refuses the rule whole, naming it.
        refusal = QStringLiteral("cannot");
        QVERIFY(!faults.addRule(QStringLiteral("line:modem=dcd-off"), &error));
        QCOMPARE(error, QStringLiteral("fault rule \"line:modem=dcd-off\": cannot"));
        QVERIFY(
            !faults.setRules({QStringLiteral("get-time:drop"), QStringLiteral("line:break=5")}, 1, &error));
        QCOMPARE(faults.rules().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestFaultRule)
#include "tst_fault_rule.moc"
