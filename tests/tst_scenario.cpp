#include "emulator/UnitsFile.h"
#include "protocol/CommandCatalogue.h"
#include "scenario/RecordCsvFormat.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "transport/SerialSettings.h"
#include "unit/FileRecordFrames.h"
#include "util/BoundedFile.h"

#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

// Scenario files as the reader takes or refuses them, and the CSV format read back.
class TestScenario : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QByteArray header = RecordCsvFormat::header().toUtf8();
        const QByteArray row =
            "1,5QJW,12345678,2024-05-07 09:05:03,A,87654321,B,2,1,300,128,129,x,y,30,31,1,1,1,1";
        writeFile(QStringLiteral("good.csv"), header + "\n" + row + "\r\n\n" + row + "\n");
        writeFile(QStringLiteral("noheader.csv"), row + "\n");
        writeFile(QStringLiteral("open.csv"), header + "\n\"1,2\n");
        writeFile(QStringLiteral("date.csv"),
                  header + "\n" + QByteArray(row).replace("09:05:03", "9:05") + "\n");
        writeFile(QStringLiteral("long.csv"),
                  header + "\n" + QByteArray(row).replace(",x,", ",hex:0011223344556677889900,") + "\n");
        writeFile(QStringLiteral("latin1.csv"), header + "\n\xe9\n");
        // Hostile inputs: files no reader should wait on or take whole.
        writeFile(QStringLiteral("quote-inside.csv"),
                  header + "\n" + QByteArray(row).replace("5QJW", "5Q\"J\"W") + "\n");
        writeFile(QStringLiteral("after-quote.csv"),
                  header + "\n" + QByteArray(row).replace("5QJW", "\"5Q\"JW") + "\n");
        writeFile(QStringLiteral("lone-cr.csv"), header + "\n" + row + "\n" + row + "\r");
        writeFile(QStringLiteral("nul.csv"), header + "\n" +
                                                 QByteArray(row).replace(",128,", QByteArray(",1\0"
                                                                                             "28,",
                                                                                             6)) +
                                                 "\n");
        writeFile(QStringLiteral("huge-cell.csv"),
                  header + "\n" + QByteArray(row).replace(",128,", "," + QByteArray(1 << 20, '7') + ",") +
                      "\n");
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder.csv")));
        QFile sparse(m_dir.filePath(QStringLiteral("sparse.csv")));
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(BoundedFile::kMaxInputBytes + 1));
        sparse.close();
        writeFile(QStringLiteral("limit.json"), "{}" + QByteArray(BoundedFile::kMaxInputBytes - 2, ' '));
        QFile over(m_dir.filePath(QStringLiteral("over.json")));
        QVERIFY(over.open(QIODevice::WriteOnly) && over.resize(1024LL * 1024 * 1024 * 2));
        over.close();
#ifdef Q_OS_UNIX
        QCOMPARE(mkfifo(QFile::encodeName(m_dir.filePath(QStringLiteral("fifo.csv"))).constData(), 0600), 0);
        QCOMPARE(mkfifo(QFile::encodeName(m_dir.filePath(QStringLiteral("fifo.json"))).constData(), 0600), 0);
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), m_dir.filePath(QStringLiteral("null-link"))));
#endif
    }

    void readsOrRefuses_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error"); // after "FILE: "; empty: accepted

        QTest::newRow("empty object") << QByteArray("{}") << "";
        QTest::newRow("syntax") << QByteArray("{\n \"seed\": }")
                                << "line 2, column 11: object is missing after a comma";
        QTest::newRow("not an object") << QByteArray("[1]") << "expected a JSON object";
        QTest::newRow("texts wrong type")
            << QByteArray(R"({"texts": "x"})") << "texts: expected an object, got a text";
        QTest::newRow("name not in GB2312")
            << QByteArray(R"({"texts": {"operator": "😀"}})")
            << "texts.operator: \"😀\" cannot be written in GB2312: it has no \"😀\" (U+1F600)";
        // The code page's own extension byte, which no GB2312 reader decodes.
        QTest::newRow("euro sign") << QByteArray(R"({"texts": {"device-name": "A€"}})")
                                   << "texts.device-name: \"A€\" cannot be written in GB2312: it has no "
                                      "\"€\" (U+20AC)";
        QTest::newRow("number not ASCII") << QByteArray(R"({"texts": {"serial-number": "编号"}})")
                                          << "texts.serial-number: \"编号\" is not ASCII";
        QTest::newRow("control character") << QByteArray(R"({"texts": {"serial-number": "A\u0001"}})")
                                           << "texts.serial-number: \"A\\u0001\" holds a control character; "
                                              "write such bytes as hex:";
        // Escaped, so the reason after it is not cut off.
        QTest::newRow("NUL") << QByteArray(R"({"texts": {"serial-number": "AB\u0000CD"}})")
                             << "texts.serial-number: \"AB\\u0000CD\" holds a control character; "
                                "write such bytes as hex:";
        QTest::newRow("line break") << QByteArray(R"({"texts": {"operator": "a\nb\u2028"}})")
                                    << "texts.operator: \"a\\u000Ab\\u2028\" holds a control character; "
                                       "write such bytes as hex:";
        QTest::newRow("huge hex text")
            << "{\"texts\": {\"operator\": \"hex:" + QByteArray(10 * 1024 * 1024, 'A') + "\"}}"
            << "texts.operator: \"hex:" + QString(76, QLatin1Char('A')) +
                   "…\" (10485764 characters) is 5242880 bytes, at most 16";
        QTest::newRow("huge bad hex")
            << "{\"texts\": {\"operator\": \"hex:" + QByteArray(1024 * 1024 + 1, 'A') + "\"}}"
            << "texts.operator: \"hex:" + QString(76, QLatin1Char('A')) +
                   "…\" (1048581 characters): odd length after hex:";
        QTest::newRow("exactly 80 characters")
            << "{\"texts\": {\"serial-number\": \"" + QByteArray(80, 'x') + "\"}}"
            << "texts.serial-number: \"" + QString(80, QLatin1Char('x')) + "\" is 80 bytes, at most 16";
        QTest::newRow("device number too long") << QByteArray(R"({"texts": {"device-number": "123456789"}})")
                                                << "texts.device-number: \"123456789\" is 9 bytes, at most 8";
        QTest::newRow("name too long in GB2312")
            << QByteArray(R"({"texts": {"device-name": "一二三四五六七八九"}})")
            << "texts.device-name: \"一二三四五六七八九\" is 18 bytes, at most 16";
        QTest::newRow("bad hex") << QByteArray(R"({"texts": {"operator": "hex:ABC"}})")
                                 << "texts.operator: \"hex:ABC\": odd length after hex:";
        QTest::newRow("stateful not bool")
            << QByteArray(R"({"stateful": 1})") << "stateful: expected true or false, got a number";
        QTest::newRow("on_dtr_drop text")
            << QByteArray(R"({"on_dtr_drop": "stop"})")
            << "on_dtr_drop: expected \"stop-upload\" or \"ignore\", got \"stop\"";
        QTest::newRow("seed negative")
            << QByteArray(R"({"seed": -1})") << "seed: -1 is outside 0 to 4294967295";
        QTest::newRow("seed fraction") << QByteArray(R"({"seed": 1.5})") << "seed: 1.5 is not a whole number";
        // As written, not as six significant digits would show it.
        QTest::newRow("large fraction")
            << QByteArray(R"({"seed": 100000000.5})") << "seed: 100000000.5 is not a whole number";
        QTest::newRow("count fraction") << QByteArray(R"({"records": {"count": 12345678.9}})")
                                        << "records.count: 12345678.9 is not a whole number";
        QTest::newRow("small fraction") << QByteArray(R"({"records": {"fields": {"gear": 0.0000001}}})")
                                        << "records.fields.gear: 0.0000001 is not a whole number";
        QTest::newRow("huge number") << QByteArray(R"({"seed": 1e300})")
                                     << "seed: 1e+300 is outside 0 to 4294967295";
        QTest::newRow("faults not texts")
            << QByteArray(R"({"faults": ["a", 2]})") << "faults[1]: expected a text, got a number";
        QTest::newRow("count too big") << QByteArray(R"({"records": {"count": 100000000}})")
                                       << "records.count: 100000000 is outside 0 to 99999999";
        QTest::newRow("unknown field")
            << QByteArray(R"({"records": {"fields": {"colour": 1}}})")
            << "records.fields.colour: no such field (fields: " +
                   RecordCsvFormat::header().replace(QLatin1Char(','), QStringLiteral(", ")) + ")";
        QTest::newRow("sequence generated")
            << QByteArray(R"({"records": {"fields": {"sequence": 1}}})")
            << "records.fields.sequence: the sequence number and the date are always "
               "generated";
        QTest::newRow("number for text") << QByteArray(R"({"records": {"fields": {"tool_model": 5}}})")
                                         << "records.fields.tool_model: expected a text, got a number";
        QTest::newRow("text too long")
            << QByteArray(R"({"records": {"fields": {"tool_model": "ABCDEFGHIJK"}}})")
            << "records.fields.tool_model: \"ABCDEFGHIJK\" is 11 bytes, the field holds 10";
        QTest::newRow("u32 at its top")
            << QByteArray(R"({"records": {"fields": {"target_torque": {"from": 0, "to": 4294967295}}}})")
            << "";
        QTest::newRow("range on text")
            << QByteArray(R"({"records": {"fields": {"bolt_spec": {"from": 1, "to": 2}}}})")
            << "records.fields.bolt_spec: a range needs a number field";
        QTest::newRow("range reversed")
            << QByteArray(R"({"records": {"fields": {"gear": {"from": 9, "to": 2}}}})")
            << "records.fields.gear: from 9 is above to 2";
        QTest::newRow("range key") << QByteArray(
                                          R"({"records": {"fields": {"gear": {"from": 1, "upto": 2}}}})")
                                   << "records.fields.gear.upto: unknown key (known: from, to)";
        QTest::newRow("range missing to")
            << QByteArray(R"({"records": {"fields": {"gear": {"from": 1}}}})")
            << "records.fields.gear.to: expected a whole number from 0 to 255, got nothing";
        QTest::newRow("empty list") << QByteArray(R"({"records": {"fields": {"result": []}}})")
                                    << "records.fields.result: the list is empty";
        QTest::newRow("list item") << QByteArray(R"({"records": {"fields": {"result": [1, 256]}}})")
                                   << "records.fields.result[1]: 256 is outside 0 to 255";
        // Fixed replies and reply timing, by the command-line names of the commands.
        QTest::newRow("replies unknown command")
            << QByteArray(R"({"replies": {"get-colour": "none"}})")
            << "replies.get-colour: no such command (varnel-pc commands lists their names)";
        QTest::newRow("replies for the upload")
            << QByteArray(R"({"replies": {"get-file-records": "none"}})")
            << "replies.get-file-records: an upload's frames come from records, not from replies";
        QTest::newRow("reply longer than its text")
            << QByteArray(R"({"replies": {"get-device-number": "hex:313233343536373839"}})")
            << "replies.get-device-number: \"hex:313233343536373839\" is 9 bytes, at most 8";
        QTest::newRow("reply longer than a clock")
            << QByteArray(R"({"replies": {"get-time": "hex:07EA0C0817171300"}})")
            << "replies.get-time: \"hex:07EA0C0817171300\" is 8 bytes, at most 7";
        QTest::newRow("reply not a text")
            << QByteArray(R"({"replies": {"get-time": 1}})")
            << "replies.get-time: expected \"none\" or \"hex:\" and the content's bytes, got a number";
        QTest::newRow("reply neither none nor hex")
            << QByteArray(R"({"replies": {"get-time": "silent"}})")
            << "replies.get-time: expected \"none\" or \"hex:\" and the content's bytes, got \"silent\"";
        QTest::newRow("reply bad hex") << QByteArray(R"({"replies": {"set-time": "hex:1"}})")
                                       << "replies.set-time: \"hex:1\": odd length after hex:";
        QTest::newRow("timing unknown command")
            << QByteArray(R"({"timing": {"get-colour": {"latency_ms": [1]}}})")
            << "timing.get-colour: no such command (varnel-pc commands lists their names)";
        QTest::newRow("timing not an object") << QByteArray(R"({"timing": {"get-time": [1]}})")
                                              << "timing.get-time: expected an object, got a list";
        QTest::newRow("timing interval on a command")
            << QByteArray(R"({"timing": {"get-time": {"interval_ms": [1]}}})")
            << "timing.get-time.interval_ms: unknown key (known: latency_ms)";
        QTest::newRow("timing latency on records")
            << QByteArray(R"({"timing": {"records": {"latency_ms": [1]}}})")
            << "timing.records.latency_ms: unknown key (known: interval_ms)";
        QTest::newRow("timing without samples")
            << QByteArray(R"({"timing": {"get-time": {}}})")
            << "timing.get-time.latency_ms: expected a list of milliseconds from 0 to 3600000, got nothing";
        QTest::newRow("timing empty list") << QByteArray(R"({"timing": {"get-time": {"latency_ms": []}}})")
                                           << "timing.get-time.latency_ms: the list is empty";
        QTest::newRow("timing negative sample")
            << QByteArray(R"({"timing": {"records": {"interval_ms": [12, -0.5]}}})")
            << "timing.records.interval_ms[1]: -0.5 is outside 0 to 3600000";
        QTest::newRow("timing sample not a number")
            << QByteArray(R"({"timing": {"get-time": {"latency_ms": ["3"]}}})")
            << "timing.get-time.latency_ms[0]: expected a number of milliseconds, got a text";
        QTest::newRow("timing too many samples")
            << "{\"timing\": {\"get-time\": {\"latency_ms\": [" + QByteArray("1,").repeated(10000) + "1]}}}"
            << "timing.get-time.latency_ms: 10001 samples, at most 10000";
        QTest::newRow("timing most samples")
            << "{\"timing\": {\"get-time\": {\"latency_ms\": [" + QByteArray("1,").repeated(9999) + "1]}}}"
            << "";
        QTest::newRow("clock offset fraction")
            << QByteArray(R"({"clock_offset_ms": 1.5})") << "clock_offset_ms: 1.5 is not a whole number";
        QTest::newRow("clock offset too far")
            << QByteArray(R"({"clock_offset_ms": -1e13})")
            << "clock_offset_ms: -10000000000000 is outside -3162240000000 to 3162240000000";
        QTest::newRow("csv good") << QByteArray(R"({"records": {"csv": "good.csv"}})") << "";
        QTest::newRow("csv missing") << QByteArray(R"({"records": {"csv": "none.csv"}})")
                                     << "records.csv: cannot read " + m_dir.filePath("none.csv") +
                                            ": No such file or directory";
        QTest::newRow("csv header") << QByteArray(R"({"records": {"csv": "noheader.csv"}})")
                                    << "records.csv: noheader.csv line 1: expected the header row " +
                                           RecordCsvFormat::header();
        QTest::newRow("csv open quote") << QByteArray(R"({"records": {"csv": "open.csv"}})")
                                        << "records.csv: open.csv line 2: a quoted cell is never closed";
        QTest::newRow("csv date")
            << QByteArray(R"({"records": {"csv": "date.csv"}})")
            << "records.csv: date.csv row 1 (line 2): date_time: \"2024-05-07 9:05\" is not a date and "
               "time as yyyy-MM-dd hh:mm:ss";
        QTest::newRow("csv text too long")
            << QByteArray(R"({"records": {"csv": "long.csv"}})")
            << "records.csv: long.csv row 1 (line 2): bolt_spec: "
               "\"hex:0011223344556677889900\" is 11 bytes, the field holds 10";
        QTest::newRow("csv not UTF-8") << QByteArray(R"({"records": {"csv": "latin1.csv"}})")
                                       << "records.csv: latin1.csv is not UTF-8 text";
        QTest::newRow("csv last line ends in CR")
            << QByteArray(R"({"records": {"csv": "lone-cr.csv"}})") << "";
        QTest::newRow("csv quote inside a cell")
            << QByteArray(R"({"records": {"csv": "quote-inside.csv"}})")
            << "records.csv: quote-inside.csv line 2: a double quote inside the unquoted cell \"5Q\"\"; "
               "quote the whole cell and double the quote";
        QTest::newRow("csv text after a quote")
            << QByteArray(R"({"records": {"csv": "after-quote.csv"}})")
            << "records.csv: after-quote.csv line 2: \"J\" follows the closing quote of a quoted cell";
        QTest::newRow("csv NUL in a cell")
            << QByteArray(R"({"records": {"csv": "nul.csv"}})")
            << "records.csv: nul.csv row 1 (line 2): target_torque: \"1\\u000028\" is not a number from 0 "
               "to 4294967295";
        QTest::newRow("csv huge cell") << QByteArray(R"({"records": {"csv": "huge-cell.csv"}})")
                                       << "records.csv: huge-cell.csv row 1 (line 2): target_torque: \"" +
                                              QString(80, QLatin1Char('7')) +
                                              "…\" (1048576 characters) is not a number from 0 to 4294967295";
        QTest::newRow("csv name with NUL") << QByteArray(R"({"records": {"csv": "a\u0000.csv"}})")
                                           << "records.csv: \"a\\u0000.csv\" is not a file name";
        QTest::newRow("csv a folder")
            << QByteArray(R"({"records": {"csv": "folder.csv"}})")
            << "records.csv: cannot read " + m_dir.filePath("folder.csv") + ": it is a folder, not a file";
        QTest::newRow("csv sparse over the limit")
            << QByteArray(R"({"records": {"csv": "sparse.csv"}})")
            << "records.csv: cannot read " + m_dir.filePath("sparse.csv") +
                   ": it is 67108865 bytes; the limit is 64 MiB (67108864 bytes)";
#ifdef Q_OS_UNIX
        // Opening a FIFO would wait for a writer for ever; /dev/zero never ends.
        const QString notRegular = QStringLiteral(": not a regular file (a FIFO, a device or a socket); "
                                                  "nothing was read from it");
        QTest::newRow("csv FIFO") << QByteArray(R"({"records": {"csv": "fifo.csv"}})")
                                  << "records.csv: cannot read " + m_dir.filePath("fifo.csv") + notRegular;
        QTest::newRow("csv /dev/zero") << QByteArray(R"({"records": {"csv": "/dev/zero"}})")
                                       << "records.csv: cannot read /dev/zero" + notRegular;
#endif
    }

    void readsOrRefuses()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const QString path = m_dir.filePath(QStringLiteral("scenario.json"));
        Scenario scenario;
        scenario.seed = 99;
        QString problem;
        const bool ok = ScenarioFile::parse(json, path, &scenario, &problem);
        QCOMPARE(problem, error.isEmpty() ? QString() : path + QStringLiteral(": ") + error);
        QCOMPARE(ok, error.isEmpty());
        QCOMPARE(scenario.seed.value_or(0), ok ? 0u : 99u); // a refused file leaves the target alone
    }

    // The scenario file itself: looked at before anything reads it.
    void readRefusesWithoutReading_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("error"); // after "PATH: cannot read: "; empty: accepted
        QTest::newRow("at the limit") << m_dir.filePath(QStringLiteral("limit.json")) << "";
        QTest::newRow("2 GiB sparse") << m_dir.filePath(QStringLiteral("over.json"))
                                      << "it is 2147483648 bytes; the limit is 64 MiB (67108864 bytes)";
        QTest::newRow("folder") << m_dir.path() << "it is a folder, not a file";
#ifdef Q_OS_UNIX
        const QString notRegular =
            QStringLiteral("not a regular file (a FIFO, a device or a socket); nothing was read from it");
        QTest::newRow("FIFO") << m_dir.filePath(QStringLiteral("fifo.json")) << notRegular;
        QTest::newRow("/dev/zero") << "/dev/zero" << notRegular;
        QTest::newRow("/dev/null") << "/dev/null" << notRegular;
#endif
    }

    void readRefusesWithoutReading()
    {
        QFETCH(QString, path);
        QFETCH(QString, error);
        Scenario scenario;
        QString problem;
        const bool ok = ScenarioFile::read(path, &scenario, &problem);
        QCOMPARE(problem,
                 error.isEmpty() ? QString() : QDir::toNativeSeparators(path) + ": cannot read: " + error);
        QCOMPARE(ok, error.isEmpty());
    }

    void acceptedContent()
    {
        const QByteArray json = R"({"texts": {"device-name": "扳手01", "serial-number": "hex:00ff"},
            "stateful": true, "records": {"count": 5, "csv": "good.csv", "fields": {"result": [0, 1]}},
            "faults": ["get-time:delay=1500@2"], "seed": 7,
            "replies": {"clear-file-records": "none", "set-usage-count": "hex:01"},
            "timing": {"get-time": {"latency_ms": [3.25, 8]}, "records": {"interval_ms": [12.5]}},
            "clock_offset_ms": -3600000})";
        Scenario scenario;
        QString problem;
        QVERIFY2(ScenarioFile::parse(json, m_dir.filePath(QStringLiteral("s.json")), &scenario, &problem),
                 qPrintable(problem));
        QCOMPARE(scenario.unit.text(UnitState::Text::DeviceName), QByteArray("\xb0\xe2\xca\xd6"
                                                                             "01"));
        QCOMPARE(scenario.unit.text(UnitState::Text::SerialNumber), QByteArray("\x00\xff", 2));
        QCOMPARE(scenario.unit.text(UnitState::Text::Operator), QByteArray("OPERATOR"));
        QVERIFY(scenario.unit.isStateful());
        QCOMPARE(scenario.recordCount.value_or(-1), 5);
        QCOMPARE(scenario.records.rowCount(), 2); // blank and CRLF lines read as the writer's
        QCOMPARE(scenario.faults, QStringList{QStringLiteral("get-time:delay=1500@2")});
        QCOMPARE(scenario.seed.value_or(0), 7u);
        const UnitState::FixedReply* silent = scenario.unit.fixedReply(toCode(Command::ClearFileRecords));
        const UnitState::FixedReply* content = scenario.unit.fixedReply(toCode(Command::SetUsageCount));
        QVERIFY(silent && silent->silent && content && !content->silent);
        QCOMPARE(content->content, QByteArray("\x01"));
        QVERIFY(!scenario.unit.fixedReply(toCode(Command::GetTime)));
        QCOMPARE(scenario.timing.latencies(toCode(Command::GetTime)), (std::vector<double>{3.25, 8}));
        QVERIFY(scenario.timing.latencies(toCode(Command::SetTime)).empty());
        QCOMPARE(scenario.timing.intervals(), std::vector<double>{12.5});
        QVERIFY(scenario.unit.clockSet());
        QVERIFY(qAbs(scenario.unit.now().msecsTo(QDateTime::currentDateTime()) - 3600000) < 5000);
    }

    // Every record the writer can write reads back to its very bytes.
    void csvRowReadsBackToItsBytes_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain") << 82 << QByteArray("M10");
        QTest::newRow("comma quote newline") << 54 << QByteArray("a,\"b\"\r\nc");
        QTest::newRow("zero inside") << 5 << QByteArray("AB\0CD", 5);
        QTest::newRow("invalid UTF-8") << 30 << QByteArray("\xb0\xe2\xca\xd6");
        QTest::newRow("text that looks like hex") << 92 << QByteArray("hex:41");
        QTest::newRow("odd date") << 23 << QByteArray("\xff\xff\x0d\x20\x63\x00\xfe", 7);
        QTest::newRow("largest numbers") << 74 << QByteArray("\xff\xff\xff\xff\xff\xff\xff\xff");
    }

    void csvRowReadsBackToItsBytes()
    {
        QFETCH(int, offset);
        QFETCH(QByteArray, bytes);
        QByteArray record =
            QByteArray::fromStdString(FileRecordFrames::dataFrame(7, QDateTime::currentDateTime()));
        record.replace(offset, bytes.size(), bytes);
        const QString text =
            RecordCsvFormat::header() + QLatin1Char('\n') + RecordCsvFormat::row(record) + '\n';
        QVector<RecordCsvFormat::Row> rows;
        QString problem;
        QVERIFY2(RecordCsvFormat::split(text, &rows, &problem), qPrintable(problem));
        QCOMPARE(rows.size(), 2);
        QByteArray back;
        QVERIFY2(RecordCsvFormat::record(rows.at(1).cells, &back, &problem), qPrintable(problem));
        QCOMPARE(back.toHex(), record.toHex());
    }

    // A units file: refused whole, naming the unit and key; accepted, every key as given.
    void unitsFile_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error"); // after "FILE: "; empty: accepted
        QTest::addColumn<int>("count");

        QTest::newRow("one tcp unit")
            << QByteArray(R"({"units": [{"endpoint": "tcp:127.0.0.1:0"}]})") << "" << 1;
        QTest::newRow("all keys") << QByteArray(R"({"units": [{"endpoint": "/dev/ttyS9", "records": 5,
                                      "faults": ["get-time:drop"], "capture": "u1.pcap", "baud": "9600",
                                      "line_timing": "both", "adapter": "ftdi,latency=2",
                                      "on_dtr_drop": "stop-upload"},
                                      {"endpoint": "rfc2217:localhost:0", "baud": 19200, "line_timing": false}]})")
                                  << "" << 2;
        QTest::newRow("two on port 0") << QByteArray(R"({"units": [{"endpoint": "tcp:127.0.0.1:0"},
                                           {"endpoint": "tcp:127.0.0.1:0"}]})")
                                       << "" << 2;
        QTest::newRow("syntax") << QByteArray(R"({"units": [)") << "offset 11: unterminated array" << 0;
        QTest::newRow("not an object") << QByteArray("[1]") << "top: expected a JSON object" << 0;
        QTest::newRow("unknown top key")
            << QByteArray(R"({"unit": []})") << "unit: unknown key (known: units)" << 0;
        QTest::newRow("units not a list")
            << QByteArray(R"({"units": {}})") << "units: expected a list of units, got an object" << 0;
        QTest::newRow("empty list") << QByteArray(R"({"units": []})") << "units: the list is empty" << 0;
        QTest::newRow("unit not object") << QByteArray(R"({"units": [{"endpoint": "COM1"}, 7]})")
                                         << "unit 2: expected an object, got a number" << 0;
        QTest::newRow("no endpoint") << QByteArray(R"({"units": [{"records": 1}]})")
                                     << "unit 1: endpoint: missing" << 0;
        QTest::newRow("bad endpoint")
            << QByteArray(R"({"units": [{"endpoint": "tcp:h:99999"}]})")
            << "unit 1: endpoint: \"tcp:h:99999\" is not tcp:HOST:PORT with PORT from 0 "
               "to 65535"
            << 0;
        QTest::newRow("empty endpoint")
            << QByteArray(R"({"units": [{"endpoint": ""}]})")
            << "unit 1: endpoint: expected a text that is not empty, got an empty text" << 0;
        QTest::newRow("same port twice")
            << QByteArray(R"({"units": [{"endpoint": "tcp:127.0.0.1:4000"},
                                             {"endpoint": "rfc2217:127.0.0.1:4000"}]})")
            << "unit 2: endpoint: rfc2217:127.0.0.1:4000 is unit 1's already" << 0;
        QTest::newRow("same serial twice")
            << QByteArray(R"({"units": [{"endpoint": "COM1"}, {"endpoint": "COM1"}]})")
            << "unit 2: endpoint: COM1 is unit 1's already" << 0;
        QTest::newRow("one device, two names")
            << QByteArray(R"({"units": [{"endpoint": "/dev/null"}, {"endpoint": "/dev/./null"}]})")
            << "unit 2: endpoint: /dev/./null is unit 1's already" << 0;
        QTest::newRow("a link to the device")
            << QStringLiteral("{\"units\": [{\"endpoint\": \"/dev/null\"}, {\"endpoint\": \"%1\"}]}")
                   .arg(m_dir.filePath(QStringLiteral("null-link")))
                   .toUtf8()
            << "unit 2: endpoint: " + m_dir.filePath(QStringLiteral("null-link")) + " is unit 1's already"
            << 0;
        QTest::newRow("a bare name is under /dev")
            << QByteArray(R"({"units": [{"endpoint": "/dev/null"}, {"endpoint": "null"}]})")
            << "unit 2: endpoint: null is unit 1's already" << 0;
        QTest::newRow("NUL in endpoint")
            << QByteArray("{\"units\": [{\"endpoint\": \"ab\\u0000cd\"}]}")
            << "unit 1: endpoint: \"ab\\u0000cd\" holds a control character" << 0;
        QTest::newRow("ESC and line break in endpoint")
            << QByteArray("{\"units\": [{\"endpoint\": \"tcp:\\u001b[31m\\nx:1\"}]}")
            << "unit 1: endpoint: \"tcp:\\u001B[31m\\u000Ax:1\" holds a control character" << 0;
        QTest::newRow("key twice")
            << QByteArray("{\"units\": [{\"endpoint\": \"COM1\"}, "
                          "{\"endpoint\": \"COM2\", \"records\": 1, \"\\u0065ndpoint\": \"COM3\"}]}")
            << "units[1].endpoint: the key is given twice" << 0;
        QTest::newRow("top key twice") << QByteArray(R"({"units": [{"endpoint": "COM1"}], "units": []})")
                                       << "units: the key is given twice" << 0;
        QTest::newRow("unknown key")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "speed": 1}]})")
            << "unit 1: speed: unknown key (known: endpoint, scenario, records, faults, "
               "capture, baud, line_timing, adapter, on_dtr_drop)"
            << 0;
        QTest::newRow("records negative")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "records": -1}]})")
            << "unit 1: records: expected a whole number from 0 to 99999999, got -1" << 0;
        QTest::newRow("records fraction")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "records": 1.5}]})")
            << "unit 1: records: expected a whole number from 0 to 99999999, got 1.5" << 0;
        QTest::newRow("records text")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "records": "5"}]})")
            << "unit 1: records: expected a whole number from 0 to 99999999, got a text" << 0;
        QTest::newRow("faults not list") << QByteArray(R"({"units": [{"endpoint": "COM1", "faults": "x"}]})")
                                         << "unit 1: faults: expected a list of rules, got a text" << 0;
        QTest::newRow("fault not text") << QByteArray(R"({"units": [{"endpoint": "COM1", "faults": [1]}]})")
                                        << "unit 1: faults[0]: expected a rule text, got a number" << 0;
        QTest::newRow("bad baud") << QByteArray(R"({"units": [{"endpoint": "COM1", "baud": "12345"}]})")
                                  << "unit 1: baud: --baud: \"12345\" is not one of " +
                                         SerialSettings::baudRateTexts().join(QLatin1Char(' '))
                                  << 0;
        QTest::newRow("bad line timing")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "line_timing": "fast"}]})")
            << "unit 1: line_timing: expected true, false or \"both\", got \"fast\"" << 0;
        QTest::newRow("bad adapter")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "adapter": "latency=0"}]})")
            << "unit 1: adapter: --adapter: \"latency=0\": latency=0 is not a number of milliseconds from 1 "
               "to 1000"
            << 0;
        QTest::newRow("bad on_dtr_drop")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "on_dtr_drop": 1}]})")
            << "unit 1: on_dtr_drop: expected \"stop-upload\" or \"ignore\", got a number" << 0;
        QTest::newRow("scenario missing")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "scenario": "nope.json"}]})")
            << "unit 1: scenario: " << 0;
        QTest::newRow("scenario a fifo")
            << QByteArray(R"({"units": [{"endpoint": "COM1", "scenario": "fifo.json"}]})")
            << "unit 1: scenario: " << 0;
    }
    void unitsFile()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QFETCH(int, count);
        const QString path = m_dir.filePath(QStringLiteral("units.json"));
        std::vector<UnitsFile::Unit> units(3);
        QString problem;
        const bool ok = UnitsFile::parse(json, path, &units, &problem);
        QCOMPARE(ok, error.isEmpty());
        if (!ok) {
            // A file's own problem after the scenario key: named, and its path given.
            QVERIFY2(problem.startsWith(path + QStringLiteral(": ") + error), qPrintable(problem));
            if (error.endsWith(QLatin1String("scenario: ")))
                QVERIFY(problem.size() > (path + QStringLiteral(": ") + error).size());
            else
                QCOMPARE(problem, path + QStringLiteral(": ") + error);
            QCOMPARE(int(units.size()), 3); // a refused file leaves the target alone
            return;
        }
        QCOMPARE(int(units.size()), count);
        if (qstrcmp(QTest::currentDataTag(), "all keys") == 0) {
            QCOMPARE(units[0].records.value_or(-1), 5);
            QCOMPARE(units[0].lineTiming.value_or(QString()), QStringLiteral("both"));
            QCOMPARE(units[0].adapter.value_or(QString()), QStringLiteral("ftdi,latency=2"));
            QCOMPARE(units[0].stopUploadOnDtrDrop.value_or(false), true);
            QCOMPARE(units[1].lineTiming.value_or(QString()), QStringLiteral("off"));
            QCOMPARE(units[0].faults.value_or(QStringList()), QStringList{QStringLiteral("get-time:drop")});
            QCOMPARE(units[0].capture.value_or(QString()), m_dir.filePath(QStringLiteral("u1.pcap")));
            QCOMPARE(units[0].baud.value_or(QString()), QStringLiteral("9600"));
            QCOMPARE(units[1].baud.value_or(QString()), QStringLiteral("19200"));
            QVERIFY(!units[1].records);
        }
    }
};

QTEST_GUILESS_MAIN(TestScenario)
#include "tst_scenario.moc"
