#include "fault/FaultInjector.h"
#include "fault/FaultRule.h"
#include "fault/FaultSchedule.h"
#include "log/LogManager.h"

#include <QtTest>

// The rule grammar, its messages and canonical texts; the seeded draws; rule ids and removal.
class TestFaultRule : public QObject
{
    Q_OBJECT

    static QString ids(const FaultInjector& injector)
    {
        QStringList list;
        for (const FaultInjector::RuleStatus& status : injector.rules())
            list << QStringLiteral("%1 %2 fired %3 %4")
                        .arg(status.id)
                        .arg(status.text)
                        .arg(status.fired)
                        .arg(status.state);
        return list.join(QStringLiteral("; "));
    }

    static void requests(FaultInjector& injector, int count, unsigned char cmd = 2)
    {
        // No target: the gate numbers and fires, nothing is answered.
        for (int i = 0; i < count; ++i)
            injector.slot_recvData(QStringLiteral("none"), cmd, QByteArray());
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

        bad("empty", "", "fault rule \"\": expected TARGET:ACTION[@WHEN]");
        bad("no action", "get-time", "fault rule \"get-time\": expected TARGET:ACTION[@WHEN]");
        bad("no target", ":drop", "fault rule \":drop\": expected TARGET:ACTION[@WHEN]");
        bad("unknown action", "get-time:dorp", "fault rule \"get-time:dorp\": unknown action \"dorp\"");
        bad("unknown target", "get-tea:drop",
            "fault rule \"get-tea:drop\": unknown target \"get-tea\" (a command code 1-21 or 0x01-0x15, a "
            "command name such as get-time, * or record)");
        bad("code 22", "22:drop",
            "fault rule \"22:drop\": unknown target \"22\" (a command code 1-21 or "
            "0x01-0x15, a command name such as get-time, * or record)");
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
        // Hostile text: escaped and cut, so the message keeps its reason and its size.
        bad("control character", "get-time:dr\x01op",
            "fault rule \"get-time:dr\\u0001op\": unknown action \"dr\\u0001op\"");
        const QString huge(100000, QLatin1Char('t'));
        QTest::newRow("huge target") << huge + QStringLiteral(":drop") << false
                                     << QStringLiteral(
                                            "fault rule \"%1…\" (100005 characters): unknown target "
                                            "\"%1…\" (100000 characters) (a command code 1-21 or "
                                            "0x01-0x15, a command name such as get-time, * or record)")
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
        FaultInjector injector;
        QString error;
        int a = 0, b = 0, c = 0;
        QVERIFY(injector.addRule(QStringLiteral("get-time:drop"), &error, &a));
        QVERIFY(injector.addRule(QStringLiteral("*:delay=5@every=2"), &error, &b));
        QVERIFY(!injector.addRule(QStringLiteral("get-time:dorp"), &error, &c));
        QCOMPARE(c, 0); // a refused rule takes no id
        QVERIFY(injector.addRule(QStringLiteral("get-time:corrupt-crc@3"), &error, &c));
        QCOMPARE(QList<int>({a, b, c}), QList<int>({1, 2, 3}));
        requests(injector, 2);
        QCOMPARE(ids(injector),
                 QStringLiteral("1 get-time:drop fired 2 active; 2 *:delay=5@every=2 fired 1 active; "
                                "3 get-time:corrupt-crc@3 fired 0 active"));

        // The middle rule goes; the last one keeps its match count, so its @3 is the next request.
        QSignalSpy changed(&injector, &FaultInjector::rules_changed);
        QSignalSpy logged(LogManager::instance(), &LogManager::logAdded);
        QVERIFY(injector.removeRule(b));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(logged.count(), 1);
        QVERIFY2(logged.first().first().toString().endsWith(
                     QStringLiteral("fault rule removed: *:delay=5@every=2")),
                 qPrintable(logged.first().first().toString()));
        requests(injector, 1);
        requests(injector, 1, 3); // another command: only * rules would match
        QCOMPARE(ids(injector),
                 QStringLiteral("1 get-time:drop fired 3 active; 3 get-time:corrupt-crc@3 fired 1 active"));
        QCOMPARE(injector.listing(),
                 QStringList({QStringLiteral("fault rule 1: get-time:drop, fired 3"),
                              QStringLiteral("fault rule 2: get-time:corrupt-crc@3, fired 1")}));

        // Unknown ids, the removed one among them: refused, nothing changes, nothing is said.
        changed.clear();
        logged.clear();
        for (int unknown : {b, 0, -1, 4, 1 << 30})
            QVERIFY(!injector.removeRule(unknown));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(logged.count(), 0);
        QCOMPARE(injector.rules().size(), 2);

        // Ids survive clear() and are never used again, whichever way the rules come.
        injector.clear();
        QVERIFY(injector.addRule(QStringLiteral("get-time:drop"), &error, &a));
        QCOMPARE(a, 4);
        QVERIFY(
            injector.setRules({QStringLiteral("set-time:drop"), QStringLiteral("get-time:drop")}, 1, &error));
        QVERIFY(injector.takeScenarioRules({QStringLiteral("*:drop")}, std::nullopt, &error));
        QCOMPARE(ids(injector),
                 QStringLiteral("5 set-time:drop fired 0 active; 6 get-time:drop fired 0 active; "
                                "7 *:drop fired 0 active"));
        // Another scenario's rules replace those of the one before, with new ids.
        QVERIFY(injector.takeScenarioRules({QStringLiteral("*:drop"), QStringLiteral("get-time:truncate=3")},
                                           std::nullopt, &error));
        QList<int> after;
        for (const FaultInjector::RuleStatus& status : injector.rules())
            after << status.id;
        QCOMPARE(after, QList<int>({5, 6, 8, 9}));
        QVERIFY(injector.removeRule(8));
        QVERIFY(!injector.removeRule(7));
    }
};

QTEST_GUILESS_MAIN(TestFaultRule)
#include "tst_fault_rule.moc"
