#include "DataColumns.h"

#include "journal/JournalEvent.h"
#include "protocol/ContentCodec.h"
#include "protocol/FrameView.h"
#include "render/HexFrameCheck.h"
#include "render/HexFrameRenderer.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

using Direction = HexFrameRenderer::Direction;

namespace {

constexpr int kReq = 0;
constexpr int kRsp = 1;

const char* const kNames[21] = {
    "设置时间",       "获取时间",         "设置出厂编号",     "获取出厂编号",     "设置设备名称",
    "获取设备名称",   "设置设备编号",     "获取设备编号",     "设置锁定状态",     "设置密码",
    "设置使用次数",   "获取文件记录",     "清除文件记录",     "设置回退参数",     "设置操作人名",
    "获取操作人名",   "设置扭矩模式参数", "设置螺栓模式参数", "设置角度模式参数", "设置挡位预设参数",
    "设置传感器参数",
};

const QString kContentFailure = QStringLiteral("Frame Content异常！");
const QString kHexFailure = QStringLiteral("Hex异常！");

// CRC-16/MODBUS, low byte first, so the frames look like real ones.
QString crcOf(const QString& hexText)
{
    quint16 crc = 0xFFFF;
    for (char c : QByteArray::fromHex(hexText.toLatin1())) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return QString::asprintf("%02X%02X", crc & 0xFF, crc >> 8);
}

QString frameN(int cmd, int dataLen, const QString& content)
{
    const QString text = QString::asprintf("5AA51234%02X%04X", cmd, dataLen) + content;
    return text + crcOf(text);
}

QString frame(int cmd, const QString& content)
{
    return frameN(cmd, int(content.size() / 2), content);
}

QString headerLine(int cmd, int dataLen)
{
    return QStringLiteral("5AA5 1234 %1 %2    -- 命令：[%3]%4， 长度：%5")
        .arg(QString::asprintf("%02X", cmd), QString::asprintf("%04X", dataLen), QString::number(cmd),
             QString::fromUtf8(kNames[cmd - 1]), QString::number(dataLen));
}

QString crcLine(const QString& input)
{
    return input.right(4) + QStringLiteral("    -- CRC");
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

QByteArray bigEndian(quint64 value, int size)
{
    QByteArray out;
    for (int i = size - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
    return out;
}

QByteArray padded(const QByteArray& text, int size)
{
    return text + QByteArray(size - text.size(), '\0');
}

struct RecordValues
{
    quint32 seq;
    QByteArray model;
    QByteArray date;
    quint16 pressure;
    quint32 target;
};

// The 110-byte data frame of the record upload.
QString recordContent(const RecordValues& v)
{
    QByteArray b;
    b += bigEndian(1, 1) + bigEndian(v.seq, 4) + padded(v.model, 10) + QByteArray("12345678") + v.date;
    b += padded(QByteArray("设备名称"), 16) + QByteArray("87654321") + padded(QByteArray("操作人员"), 16);
    b += bigEndian(2, 1) + bigEndian(1, 1) + bigEndian(v.pressure, 2) + bigEndian(v.target, 4);
    b += bigEndian(129, 4) + QByteArray("1122334455") + QByteArray("5544332211");
    b += bigEndian(30, 2) + bigEndian(31, 2) + QByteArray("\x01\x01\x01\x01", 4);
    return b.size() == 110 ? hex(b) : QString();
}

QStringList recordLines(const QString& seqLine, const QString& modelLine, const QString& dateLine,
                        const QString& pressureLine, const QString& targetLine)
{
    return QStringList{
        QStringLiteral("01    -- 数据帧标记：1"),
        seqLine,
        modelLine,
        QStringLiteral("3132333435363738    -- 出厂编号：12345678"),
        dateLine,
        QStringLiteral("E8AEBEE5A487E5908DE7A7B000000000    -- 设备名称：设备名称"),
        QStringLiteral("3837363534333231    -- 设备编号：87654321"),
        QStringLiteral("E6938DE4BD9CE4BABAE5919800000000    -- 操作人员：操作人员"),
        QStringLiteral("02    -- 压力单位：2"),
        QStringLiteral("01    -- 扭矩单位：1"),
        pressureLine,
        targetLine,
        QStringLiteral("00000081    -- 实际扭矩：129"),
        QStringLiteral("31313232333334343535    -- 螺栓规格：1122334455"),
        QStringLiteral("35353434333332323131    -- 螺栓等级：5544332211"),
        QStringLiteral("001E    -- 目标角度：30"),
        QStringLiteral("001F    -- 实际角度：31"),
        QStringLiteral("01    -- 挡位：1"),
        QStringLiteral("01    -- 选定模式：1"),
        QStringLiteral("01    -- 工作方式：1"),
        QStringLiteral("01    -- 拧紧结果：1"),
    };
}

void addRenderColumns()
{
    testdata::addColumns<QString, int, QStringList, bool>("input", "direction", "expected", "ok");
}

// A row whose frame renders header, the given content paragraph and the checksum.
void addRendered(const char* name, const QString& input, int direction, int cmd, int dataLen,
                 const QString& content)
{
    QStringList expected{headerLine(cmd, dataLen)};
    if (!content.isEmpty())
        expected << content;
    QTest::newRow(name) << input << direction << (expected << crcLine(input)) << true;
}

void addContentFailure(const char* name, const QString& input, int direction, int cmd, int dataLen)
{
    QTest::newRow(name) << input << direction << QStringList{headerLine(cmd, dataLen), kContentFailure}
                        << false;
}

void addHexFailure(const char* name, const QString& input, int direction, const QString& header)
{
    QStringList expected;
    if (!header.isEmpty())
        expected << header;
    QTest::newRow(name) << input << direction << (expected << kHexFailure) << false;
}

void addRenderedContent(const char* name, int cmd, int direction, const QString& content,
                        const QString& lines)
{
    addRendered(name, frame(cmd, content), direction, cmd, int(content.size() / 2), lines);
}

void addFailedContent(const char* name, int cmd, int direction, const QString& content)
{
    addContentFailure(name, frame(cmd, content), direction, cmd, int(content.size() / 2));
}

// One sample content per command for the direction that carries content.
struct Sample
{
    int cmd;
    int direction;
    const char* content;
    const char* lines;
};

const Sample kSamples[] = {
    {1, kReq, "07E80C1F173B09", "07E8 0C 1F 17 3B 09    -- 2024-12-31 23:59:09"},
    {2, kRsp, "07E80C1F173B09", "07E8 0C 1F 17 3B 09    -- 2024-12-31 23:59:09"},
    {3, kReq, "534E3132", "534E3132    -- 出厂编号：SN12"},
    {4, kRsp, "534E3132", "534E3132    -- 出厂编号：SN12"},
    {5, kReq, "C9E8B1B8", "C9E8B1B8    -- 设备名称：设备"},
    {6, kRsp, "C9E8B1B8", "C9E8B1B8    -- 设备名称：设备"},
    {7, kReq, "4430303031", "4430303031    -- 设备编号：D0001"},
    {8, kRsp, "4430303031", "4430303031    -- 设备编号：D0001"},
    {9, kReq, "01313233", "01    -- 加锁\n313233    -- 密码"},
    {10, kReq, "313233343536", "313233343536    -- 密码：123456"},
    {11, kReq, "000003E8", "000003E8    -- 使用次数：1000"},
    {12, kRsp, "0000000003", "00    -- 起始帧标记：0\n00000003    -- 记录数：3"},
    {14, kReq, "012C19", "012C 19    -- 回退信息，角度：300，电流：25"},
    {15, kReq, "D5C5C8FD", "D5C5C8FD    -- 操作人：张三"},
    {16, kRsp, "D5C5C8FD", "D5C5C8FD    -- 操作人：张三"},
    {17, kReq, "0000", "0000    -- 数量：0"},
    {18, kReq, "00000000000000000000000000010000",
     "00000000000000000000    -- 扳手名称：\n00    -- 制式：0\n00    -- 螺栓直径名称数量：0\n"
     "00    -- 螺栓等级名称数量：0"},
    {19, kReq, "FF9C", "FF9C    -- 角度：65436"},
    {20, kReq, "00", "00    -- 挡位数量：0"},
    {21, kReq, "0000", "0000    -- 传感器数量：0"},
};

// The codec's fields, one "group/label=value@offset+size" each, joined with " | ".
QString fieldText(const std::vector<ContentField>& fields)
{
    QStringList out;
    for (const ContentField& f : fields)
        out << QStringLiteral("%1%2=%3@%4+%5")
                   .arg(f.group.isEmpty() ? QString() : f.group + QLatin1Char('/'), f.label, f.value)
                   .arg(f.offset)
                   .arg(f.size);
    return out.join(QStringLiteral(" | "));
}

bool isFailure(const QString& paragraph)
{
    static const QStringList failures{QStringLiteral("Head异常！"), QStringLiteral("Addr异常！"),
                                      QStringLiteral("Cmd异常！"), kContentFailure, kHexFailure};
    return failures.contains(paragraph);
}

} // namespace

class TestHexRenderer : public QObject
{
    Q_OBJECT

private:
    void checkRender()
    {
        QFETCH(QString, input);
        QFETCH(int, direction);
        QFETCH(QStringList, expected);
        QFETCH(bool, ok);
        HexFrameRenderer renderer;
        QCOMPARE(renderer.render(input, Direction(direction)), expected);
        QCOMPARE(renderer.isOk(), ok);
    }

    QString randomText(QRandomGenerator& gen, const QString& pool, int maxLength)
    {
        QString text;
        const int length = gen.bounded(maxLength + 1);
        for (int i = 0; i < length; ++i)
            text += pool.at(gen.bounded(pool.size()));
        return text;
    }

    // Mode 0: any text; 1: a valid header with any tail; 2: a valid header with hex digits after it.
    QString randomInput(QRandomGenerator& gen, int mode)
    {
        static const QString anyChar =
            QStringLiteral("0123456789ABCDEFabcdefGZ %\n\r-é中１") + QChar(0) + QString::fromUtf8("😀");
        static const QString hexDigit = QStringLiteral("0123456789ABCDEF");
        if (mode == 0)
            return randomText(gen, anyChar, 40);
        const int dataLen = gen.bounded(8) == 0 ? int(gen.bounded(0x10000)) : int(gen.bounded(80));
        const QString header = QString::asprintf("5AA51234%02X%04X", gen.bounded(0x18), dataLen);
        return header + randomText(gen, mode == 1 ? anyChar : hexDigit, 200);
    }

    void checkConsistent(HexFrameRenderer& renderer, const QString& input, Direction direction)
    {
        const QStringList paragraphs = renderer.render(input, direction);
        const QString where = QStringLiteral(" for input \"%1\"").arg(input);
        QVERIFY2(!paragraphs.isEmpty(), qPrintable(QStringLiteral("no paragraph") + where));
        const bool crcLast = paragraphs.last() == crcLine(input);
        QVERIFY2(renderer.isOk() == crcLast, qPrintable(QStringLiteral("ok flag disagrees") + where));
        QVERIFY2(renderer.isOk() || isFailure(paragraphs.last()),
                 qPrintable(QStringLiteral("failure without message") + where));
        QVERIFY2(paragraphs.size() <= 3, qPrintable(QStringLiteral("too many paragraphs") + where));
    }

private slots:
    void examples_data()
    {
        addRenderColumns();
        const QString header2 = QStringLiteral("5AA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0");
        QTest::newRow("get time request")
            << "5AA51234020000EE03" << kReq << QStringList{header2, "EE03    -- CRC"} << true;
        QTest::newRow("get time response")
            << "5AA51234020000EE03" << kRsp << QStringList{header2, kContentFailure} << false;
        QTest::newRow("set time") << "5AA5123401000707E801050903077200" << kReq
                                  << QStringList{"5AA5 1234 01 0007    -- 命令：[1]设置时间， 长度：7",
                                                 "07E8 01 05 09 03 07    -- 2024-01-05 09:03:07",
                                                 "7200    -- CRC"}
                                  << true;
        QTest::newRow("lower case") << "5aa51234020000ee03" << kReq
                                    << QStringList{"5aa5 1234 02 0000    -- 命令：[2]获取时间， 长度：0",
                                                   "ee03    -- CRC"}
                                    << true;
        // Byte pairs apart, as hex dumps and Wireshark copy them, are read as the frame.
        QTest::newRow("blanks request")
            << "5A A5 12 34 02 00 00 EE 03" << kReq << QStringList{header2, "EE03    -- CRC"} << true;
        QTest::newRow("blanks response")
            << "5A A5 12 34 02 00 00 EE 03" << kRsp << QStringList{header2, kContentFailure} << false;
        QTest::newRow("colons, lower case")
            << "5a:a5:12:34:02:00:00:ee:03" << kReq << QStringList{header2, "EE03    -- CRC"} << true;
        QTest::newRow("dashes") << "5A-A5-12-34-02-00-00-EE-03" << kReq
                                << QStringList{header2, "EE03    -- CRC"} << true;
        QTest::newRow("words and lines, blanks around")
            << " 5AA5 1234\n0200 00EE03\n"
            << kReq << QStringList{header2, "EE03    -- CRC"} << true;
        QTest::newRow("a blank inside a byte")
            << "5A A51 234020000EE03" << kReq << QStringList{"Head异常！"} << false;
        for (int dir : {kReq, kRsp}) {
            const QByteArray side = dir == kReq ? " request" : " response";
            QTest::newRow(("address" + side).constData())
                << "5AA5123502000000" << dir << QStringList{"Addr异常！"} << false;
            QTest::newRow(("command 0x16" + side).constData())
                << "5AA51234160000AE07" << dir << QStringList{"Cmd异常！"} << false;
            QTest::newRow(("clear records" + side).constData())
                << "5AA512340D0000DE00" << dir
                << QStringList{"5AA5 1234 0D 0000    -- 命令：[13]清除文件记录， 长度：0", "DE00    -- CRC"}
                << true;
        }
        QTest::newRow("device name") << "5AA51234050004B0E2CAD613E0" << kReq
                                     << QStringList{"5AA5 1234 05 0004    -- 命令：[5]设置设备名称， 长度：4",
                                                    "B0E2CAD6    -- 设备名称：扳手", "13E0    -- CRC"}
                                     << true;
        QTest::newRow("unlock") << "5AA512340900010080F8" << kReq
                                << QStringList{"5AA5 1234 09 0001    -- 命令：[9]设置锁定状态， 长度：1",
                                               "00    -- 解锁", "80F8    -- CRC"}
                                << true;
        QTest::newRow("fallback") << "5AA512340E0003005A0ADAEA" << kReq
                                  << QStringList{"5AA5 1234 0E 0003    -- 命令：[14]设置回退参数， 长度：3",
                                                 "005A 0A    -- 回退信息，角度：90，电流：10",
                                                 "DAEA    -- CRC"}
                                  << true;
        QTest::newRow("usage count cut short")
            << "5AA512340B0004000000" << kReq
            << QStringList{"5AA5 1234 0B 0004    -- 命令：[11]设置使用次数， 长度：4",
                           "04000000    -- 使用次数：67108864", "0000    -- CRC"}
            << true;
        const QString serialEmpty = frame(3, QString());
        addRendered("serial number N=0", serialEmpty, kReq, 3, 0, QString());
        addContentFailure("lock status N=0", frame(9, QString()), kReq, 9, 0);
        addContentFailure("lock status N=10", frame(9, QStringLiteral("01").repeated(10)), kReq, 9, 10);
    }
    void examples() { checkRender(); }

    void listExamples_data()
    {
        addRenderColumns();
        const QString header12 = QStringLiteral("5AA5 1234 0C 0005    -- 命令：[12]获取文件记录， 长度：5");
        const QString header12e = QStringLiteral("5AA5 1234 0C 0001    -- 命令：[12]获取文件记录， 长度：1");
        QTest::newRow("start frame") << "5AA512340C000500000000646861" << kRsp
                                     << QStringList{header12,
                                                    "00    -- 起始帧标记：0\n00000064    -- 记录数：100",
                                                    "6861    -- CRC"}
                                     << true;
        QTest::newRow("end frame") << "5AA512340C00010201F5" << kRsp
                                   << QStringList{header12e, "02    -- 结束帧标记：2", "01F5    -- CRC"}
                                   << true;
        QTest::newRow("frame mark 3")
            << "5AA512340C000103C035" << kRsp << QStringList{header12e, "C035    -- CRC"} << true;
        QTest::newRow("gear") << "5AA5123414000B02010000012C02000001905404" << kReq
                              << QStringList{"5AA5 1234 14 000B    -- 命令：[20]设置挡位预设参数， 长度：11",
                                             "02    -- 挡位数量：2\n"
                                             "01 0000012C    -- 第0个挡位，挡位等级：1,对应压力：300\n"
                                             "02 00000190    -- 第1个挡位，挡位等级：2,对应压力：400",
                                             "5404    -- CRC"}
                              << true;
        QTest::newRow("torque")
            << "5AA512341100110001B0E2CAD6000000000000000003E8058045" << kReq
            << QStringList{"5AA5 1234 11 0011    -- 命令：[17]设置扭矩模式参数， 长度：17",
                           "0001    -- 数量：1\n"
                           "B0E2CAD6000000000000 000003E8 05    -- "
                           "第0个扳手，名称：扳手，系数：1000，延迟时间：5",
                           "8045    -- CRC"}
            << true;
        QTest::newRow("sensor") << "5AA51234150010000153310000000000000000000000C8222B" << kReq
                                << QStringList{"5AA5 1234 15 0010    -- 命令：[21]设置传感器参数， 长度：16",
                                               "0001    -- 传感器数量：1\n"
                                               "53310000000000000000 000000C8    -- "
                                               "第0个挡位，挡位等级：S1,对应压力：200",
                                               "222B    -- CRC"}
                                << true;
        QTest::newRow("bolt")
            << "5AA512341200254231000000000000000000014D31300000000000000001382E3800000000000000000000643F85"
            << kReq
            << QStringList{"5AA5 1234 12 0025    -- 命令：[18]设置螺栓模式参数， 长度：37",
                           "42310000000000000000    -- 扳手名称：B1\n"
                           "00    -- 制式：0\n"
                           "01    -- 螺栓直径名称数量：1\n"
                           "4D313000000000000000    -- 螺栓直径[0]名称：M10\n"
                           "01    -- 螺栓等级名称数量：1\n"
                           "382E3800000000000000    -- 螺栓等级[0]名称：8.8\n"
                           "00000064    -- 第0个扭矩：100",
                           "3F85    -- CRC"}
            << true;
        addContentFailure("gear N=0", frame(20, QString()), kReq, 20, 0);
        addContentFailure("gear count beyond entries", frame(20, QStringLiteral("0301000000010200000002")),
                          kReq, 20, 11);
        addContentFailure("start frame N=4", frameN(12, 4, "0000000064"), kRsp, 12, 4);
        addFailedContent("start frame of 4 bytes", 12, kRsp, "00000000");
        addRendered("record date",
                    frame(12, recordContent({7, "5QJW", bigEndian(0x07E80C1F173B09, 7), 300, 128})), kRsp, 12,
                    110,
                    recordLines("00000007    -- 序号：7", "35514A57000000000000    -- 工具型号：5QJW",
                                "07E8 0C 1F 17 3B 09    -- 日期：2024-12-31 23:59:09",
                                "012C    -- 对应压力：300", "00000080    -- 目标扭矩：128")
                        .join('\n'));
        addRendered("tool model of ten zero bytes",
                    frame(12, recordContent({1, QByteArray(), bigEndian(0x07E80C1F173B09, 7), 300, 128})),
                    kRsp, 12, 110,
                    recordLines("00000001    -- 序号：1", "00000000000000000000    -- 工具型号：",
                                "07E8 0C 1F 17 3B 09    -- 日期：2024-12-31 23:59:09",
                                "012C    -- 对应压力：300", "00000080    -- 目标扭矩：128")
                        .join('\n'));
    }
    void listExamples() { checkRender(); }

    void everyCommand_data()
    {
        addRenderColumns();
        for (const Sample& s : kSamples) {
            const QByteArray name =
                QByteArray::number(s.cmd) + (s.direction == kReq ? " request" : " response");
            const QString input = frame(s.cmd, QString::fromLatin1(s.content));
            addRendered(name.constData(), input, s.direction, s.cmd, int(qstrlen(s.content) / 2),
                        QString::fromUtf8(s.lines));
        }
        for (int cmd = 1; cmd <= 21; ++cmd) {
            for (int dir : {kReq, kRsp}) {
                const bool carries =
                    std::any_of(std::begin(kSamples), std::end(kSamples),
                                [&](const Sample& s) { return s.cmd == cmd && s.direction == dir; });
                if (carries)
                    continue;
                const QByteArray name = QByteArray::number(cmd) + (dir == kReq ? " request" : " response");
                addRendered((name + " empty").constData(), frame(cmd, QString()), dir, cmd, 0, QString());
                addContentFailure((name + " not empty").constData(), frame(cmd, "00"), dir, cmd, 1);
            }
        }
    }
    void everyCommand() { checkRender(); }

    void sizeLimits_data()
    {
        testdata::addColumns<int, int, QString, bool>("cmd", "direction", "content", "ok");
        const QString a = QStringLiteral("41");
        const struct
        {
            int cmd;
            int direction;
            QString unit;
            QList<int> good;
            QList<int> bad;
        } limits[] = {
            {3, kReq, a, {0, 1, 16}, {17}},   {4, kRsp, a, {0, 16}, {17}},   {5, kReq, a, {0, 16}, {17}},
            {6, kRsp, a, {0, 16}, {17}},      {7, kReq, a, {0, 8}, {9}},     {8, kRsp, a, {0, 8}, {9}},
            {15, kReq, a, {0, 16}, {17}},     {16, kRsp, a, {0, 16}, {17}},  {10, kReq, a, {0, 8}, {9}},
            {9, kReq, a, {1, 2, 9}, {0, 10}}, {11, kReq, a, {4}, {0, 3, 5}}, {19, kReq, a, {2}, {0, 1, 3}},
            {14, kReq, a, {3}, {0, 2, 4}},    {1, kReq, a, {7}, {0, 6, 8}},  {2, kRsp, a, {7}, {6, 8}},
        };
        for (const auto& limit : limits) {
            for (bool ok : {true, false}) {
                for (int n : ok ? limit.good : limit.bad) {
                    const QByteArray name = QByteArray::number(limit.cmd) + " N=" + QByteArray::number(n);
                    QTest::newRow(name.constData())
                        << limit.cmd << limit.direction << limit.unit.repeated(n) << ok;
                }
            }
        }
        const QString record = recordContent({1, "5QJW", bigEndian(0x07E80C1F173B09, 7), 300, 128});
        QTest::newRow("start N=5") << 12 << kRsp << QStringLiteral("0000000001") << true;
        QTest::newRow("start N=4") << 12 << kRsp << QStringLiteral("00000000") << false;
        QTest::newRow("start N=6") << 12 << kRsp << QStringLiteral("000000000100") << false;
        QTest::newRow("end N=1") << 12 << kRsp << QStringLiteral("02") << true;
        QTest::newRow("end N=2") << 12 << kRsp << QStringLiteral("0200") << false;
        QTest::newRow("record N=0") << 12 << kRsp << QString() << false;
        QTest::newRow("data N=110") << 12 << kRsp << record << true;
        QTest::newRow("data N=109") << 12 << kRsp << record.left(218) << false;
        QTest::newRow("data N=111") << 12 << kRsp << record + "01" << false;
        QTest::newRow("torque N=0") << 17 << kReq << QString() << false;
        QTest::newRow("bolt N=0") << 18 << kReq << QString() << false;
        QTest::newRow("sensor N=1") << 21 << kReq << QStringLiteral("00") << false;
        QTest::newRow("gear N=1") << 20 << kReq << QStringLiteral("00") << true;
    }
    void sizeLimits()
    {
        QFETCH(int, cmd);
        QFETCH(int, direction);
        QFETCH(QString, content);
        QFETCH(bool, ok);
        const QString input = frame(cmd, content);
        HexFrameRenderer renderer;
        const QStringList paragraphs = renderer.render(input, Direction(direction));
        QCOMPARE(renderer.isOk(), ok);
        QCOMPARE(paragraphs.first(), headerLine(cmd, int(content.size() / 2)));
        QCOMPARE(paragraphs.last(), ok ? crcLine(input) : kContentFailure);
        QCOMPARE(paragraphs.size(), ok ? (content.isEmpty() ? 2 : 3) : 2);
    }

    void truncated_data()
    {
        addRenderColumns();
        QTest::newRow("serial number reaches into the header")
            << "5AA51234030004414243" << kReq
            << QStringList{headerLine(3, 4), QStringLiteral("04414243    -- 出厂编号：") + QChar(4) + "ABC",
                           "4243    -- CRC"}
            << true;
        addContentFailure("serial number longer than the input", "5AA51234030010", kReq, 3, 16);
        addRendered("no checksum at all", "5AA51234020000", kReq, 2, 0, QString());
        addContentFailure("gear entries cut", "5AA5123414000B0201", kReq, 20, 11);
        addContentFailure("record data cut",
                          frame(12, recordContent({1, "5QJW", bigEndian(1, 7), 300, 128})).left(200), kRsp,
                          12, 110);
        addRendered("date cut into the header", "5AA51234010007000000010203", kReq, 1, 7,
                    QStringLiteral("0700 00 00 01 02 03    -- 1792-00-00 01:02:03"));
        QTest::newRow("final line break in the checksum")
            << "5AA51234020000EE03\n"
            << kReq << QStringList{headerLine(2, 0), "E03\n    -- CRC"} << true;
        QTest::newRow("characters after the frame")
            << "5AA51234020000EE03FFFF" << kReq << QStringList{headerLine(2, 0), "FFFF    -- CRC"} << true;
    }
    void truncated() { checkRender(); }

    void headerCase_data()
    {
        addRenderColumns();
        QTest::newRow("mixed case head")
            << "5aA5123402000000" << kReq
            << QStringList{"5aA5 1234 02 0000    -- 命令：[2]获取时间， 长度：0", "0000    -- CRC"} << true;
        QTest::newRow("other mixed case")
            << "5Aa5123402000000" << kReq
            << QStringList{"5Aa5 1234 02 0000    -- 命令：[2]获取时间， 长度：0", "0000    -- CRC"} << true;
        QTest::newRow("full-width address")
            << "5AA5１２３４02000000" << kReq << QStringList{"Addr异常！"} << false;
        QTest::newRow("empty input") << "" << kReq << QStringList{"Head异常！"} << false;
        QTest::newRow("head only") << "5AA5" << kReq << QStringList{"Addr异常！"} << false;
        QTest::newRow("command 0") << "5AA51234000000" << kRsp << QStringList{"Cmd异常！"} << false;
        QTest::newRow("command FF") << "5AA51234FF0000" << kRsp << QStringList{"Cmd异常！"} << false;
        QTest::newRow("command 0x15")
            << frame(21, "0000") << kRsp << QStringList{headerLine(21, 2), kContentFailure} << false;
    }
    void headerCase() { checkRender(); }

    void hexFailures_data()
    {
        addRenderColumns();
        addHexFailure("no command", "5AA51234", kReq, QString());
        addHexFailure("half command", "5AA512340", kReq, QString());
        addHexFailure("half length", "5AA51234020", kReq, QString());
        addHexFailure("one length byte", "5AA512340200", kReq, QString());
        addHexFailure("lower-case command", "5AA512340a0000", kReq, QString());
        addHexFailure("lower-case length", "5AA51234020a0b", kReq, QString());
        addHexFailure("G in length", "5AA5123402000G", kReq, QString());
        addHexFailure("full-width command", "5AA51234０２0000", kReq, QString());
        addHexFailure("lower-case usage count", frame(11, "0000000a"), kReq, headerLine(11, 4));
        addHexFailure("lower-case date", frame(1, "07e80105090307"), kReq, headerLine(1, 7));
        addHexFailure("lower-case device name", frame(5, "b0e2cad6"), kReq, headerLine(5, 4));
        addHexFailure("G in serial number", frame(3, "4G"), kReq, headerLine(3, 1));
        addHexFailure("lock state", frame(9, "0x"), kReq, headerLine(9, 1));
        addHexFailure("fallback current", frame(14, "005A0a"), kReq, headerLine(14, 3));
        addHexFailure("frame mark", frame(12, "0z"), kRsp, headerLine(12, 1));
        addHexFailure("gear entry", frame(20, "01010000012c"), kReq, headerLine(20, 6));
        addHexFailure("sensor count", "5AA512341500020O00", kReq, headerLine(21, 2));
        addHexFailure("bolt torque",
                      frame(18, "423100000000000000000001" + QString("4D313000000000000000") + "01" +
                                    "382E3800000000000000" + "0000006g"),
                      kReq, headerLine(18, 37));
        QString record = recordContent({1, "5QJW", bigEndian(0x07E80C1F173B09, 7), 300, 128});
        addHexFailure("last record field", frame(12, record.left(218) + "0x"), kRsp, headerLine(12, 110));
        addHexFailure("non-ASCII content", frame(19, "０１2C"), kReq, headerLine(19, 2));
        addRendered("lock password shown as typed", frame(9, "01ab"), kReq, 9, 2,
                    "01    -- 加锁\nab    -- 密码");
    }
    void hexFailures() { checkRender(); }

    void texts_data()
    {
        addRenderColumns();
        addRendered("GB2312 operator request", frame(15, "B2D9D7F7D4B1"), kReq, 15, 6,
                    "B2D9D7F7D4B1    -- 操作人：操作员");
        addRendered("GB2312 operator response zero-filled", frame(16, "B2D9D7F7D4B100000000"), kRsp, 16, 10,
                    "B2D9D7F7D4B100000000    -- 操作人：操作员");
        addRendered("GB2312 name cut at zero", frame(6, "B0E2CAD600C9E8"), kRsp, 6, 7,
                    "B0E2CAD600C9E8    -- 设备名称：扳手");
        addRendered("UTF-8 serial number", frame(4, "E8AEBEE5A487"), kRsp, 4, 6,
                    "E8AEBEE5A487    -- 出厂编号：设备");
        addRendered("serial number keeps zero bytes", frame(3, "41000042"), kReq, 3, 4,
                    QStringLiteral("41000042    -- 出厂编号：A") + QChar(0) + QChar(0) + "B");
        addRendered("zero-filled device number", frame(7, "0000"), kReq, 7, 2,
                    QStringLiteral("0000    -- 设备编号：") + QChar(0) + QChar(0));
        addRendered("placeholders in a value stay", frame(3, "2531253225"), kReq, 3, 5,
                    "2531253225    -- 出厂编号：%1%2%");
        addRendered("placeholder in a torque name",
                    frame(17, "0001"
                              "25360000000000000000"
                              "FFFFFFFF"
                              "FF"),
                    kReq, 17, 17,
                    "0001    -- 数量：1\n25360000000000000000 FFFFFFFF FF    -- "
                    "第0个扳手，名称：%6，系数：4294967295，延迟时间：255");
        addRenderedContent(
            "zero-filled bolt names", 18, kReq,
            QString("00").repeated(10) + "01" + "01" + QString("00").repeated(10) + "00" + "FFFF",
            "00000000000000000000    -- 扳手名称：\n01    -- 制式：1\n01    -- 螺栓直径名称数量：1\n"
            "00000000000000000000    -- 螺栓直径[0]名称：\n00    -- 螺栓等级名称数量：0");
        addRendered("invalid UTF-8 is replaced", frame(10, "FF"), kReq, 10, 1,
                    QStringLiteral("FF    -- 密码：") + QChar(0xFFFD));
    }
    void texts() { checkRender(); }

    void lists_data()
    {
        addRenderColumns();
        addFailedContent("torque count 2, one entry", 17, kReq,
                         "0002"
                         "B0E2CAD6000000000000"
                         "00000001"
                         "05");
        addFailedContent("sensor count 2, one entry", 21, kReq,
                         "0002"
                         "53310000000000000000"
                         "000000C8");
        addFailedContent("sensor count 0x0100, one entry", 21, kReq,
                         "0100"
                         "53310000000000000000"
                         "000000C8");
        addFailedContent("bolt second diameter missing", 18, kReq,
                         "42310000000000000000"
                         "00"
                         "02"
                         "4D313000000000000000");
        addFailedContent("bolt grade count missing", 18, kReq,
                         "42310000000000000000"
                         "00"
                         "00");
        addFailedContent("bolt torque missing", 18, kReq,
                         "42310000000000000000"
                         "00"
                         "01"
                         "4D313000000000000000"
                         "01"
                         "382E3800000000000000"
                         "000000");
        addRenderedContent(
            "bolt second block not shown", 18, kReq,
            "42310000000000000000"
            "00"
            "01"
            "4D313000000000000000"
            "01"
            "382E3800000000000000"
            "00000064"
            "01"
            "01"
            "4D313200000000000000"
            "00",
            "42310000000000000000    -- 扳手名称：B1\n00    -- 制式：0\n01    -- 螺栓直径名称数量：1\n"
            "4D313000000000000000    -- 螺栓直径[0]名称：M10\n01    -- 螺栓等级名称数量：1\n"
            "382E3800000000000000    -- 螺栓等级[0]名称：8.8\n00000064    -- 第0个扭矩：100");
        addRenderedContent(
            "bolt two by two torques", 18, kReq,
            "41000000000000000000"
            "00"
            "02"
            "4D310000000000000000"
            "4D320000000000000000"
            "02"
            "47310000000000000000"
            "47320000000000000000"
            "00000001"
            "00000002"
            "00000003"
            "80000000",
            "41000000000000000000    -- 扳手名称：A\n00    -- 制式：0\n02    -- 螺栓直径名称数量：2\n"
            "4D310000000000000000    -- 螺栓直径[0]名称：M1\n"
            "4D320000000000000000    -- 螺栓直径[1]名称：M2\n02    -- 螺栓等级名称数量：2\n"
            "47310000000000000000    -- 螺栓等级[0]名称：G1\n"
            "47320000000000000000    -- 螺栓等级[1]名称：G2\n"
            "00000001    -- 第0个扭矩：1\n00000002    -- 第1个扭矩：2\n00000003    -- 第2个扭矩：3\n"
            "80000000    -- 第3个扭矩：2147483648");
        addRenderedContent(
            "gear bytes after the entries ignored", 20, kReq, "0105FFFFFFFFAB",
            "01    -- 挡位数量：1\n05 FFFFFFFF    -- 第0个挡位，挡位等级：5,对应压力：4294967295");
        QString sensors = QStringLiteral("0100");
        QStringList lines{QStringLiteral("0100    -- 传感器数量：256")};
        for (int i = 0; i < 256; ++i) {
            const QString name = hex(padded("S" + QByteArray::number(i), 10));
            const QString value = QString::asprintf("%08X", i * 1000);
            sensors += name + value;
            lines << QStringLiteral("%1 %2    -- 第%3个挡位，挡位等级：S%3,对应压力：%4")
                         .arg(name, value, QString::number(i), QString::number(i * 1000));
        }
        addRendered("sensor count 0x0100", frame(21, sensors), kReq, 21, 2 + 14 * 256, lines.join('\n'));
    }
    void lists() { checkRender(); }

    void recordData_data()
    {
        addRenderColumns();
        addRendered("upload layout",
                    frame(12, recordContent({1, "5QJW", bigEndian(0x07E80C1F173B09, 7), 300, 128})), kRsp, 12,
                    110,
                    recordLines("00000001    -- 序号：1", "35514A57000000000000    -- 工具型号：5QJW",
                                "07E8 0C 1F 17 3B 09    -- 日期：2024-12-31 23:59:09",
                                "012C    -- 对应压力：300", "00000080    -- 目标扭矩：128")
                        .join('\n'));
        addRendered("unsigned extremes",
                    frame(12, recordContent({0xFFFFFFFF, "ABCDEFGHIJ", bigEndian(0x00010101000000, 7), 0xFFFF,
                                             0x80000000})),
                    kRsp, 12, 110,
                    recordLines("FFFFFFFF    -- 序号：4294967295",
                                "4142434445464748494A    -- 工具型号：ABCDEFGHIJ",
                                "0001 01 01 00 00 00    -- 日期：1-01-01 00:00:00",
                                "FFFF    -- 对应压力：65535", "80000000    -- 目标扭矩：2147483648")
                        .join('\n'));
    }
    void recordData()
    {
        checkRender();
        QFETCH(QStringList, expected);
        QCOMPARE(expected.value(1).split('\n').size(), 21);
    }

    void directCalls_data()
    {
        testdata::addColumns<QString, QString, int, QString, bool>("renderer", "content", "dataLen",
                                                                   "expected", "ok");
        QTest::newRow("start") << "start"
                               << "0000000064" << 5 << "00    -- 起始帧标记：0\n00000064    -- 记录数：100"
                               << true;
        QTest::newRow("end") << "end"
                             << "02" << 1 << "02    -- 结束帧标记：2" << true;
        QTest::newRow("start wrong N") << "start"
                                       << "0000000064" << 4 << "Frame Content异常！\n"
                                       << false;
        QTest::newRow("serial") << "serial"
                                << "41" << 1 << "41    -- 出厂编号：A\n"
                                << true;
        QTest::newRow("serial N disagrees") << "serial"
                                            << "41" << 2 << "Frame Content异常！\n"
                                            << false;
        QTest::newRow("gear hex") << "gear"
                                  << "0g" << 1 << "Hex异常！\n"
                                  << false;
        QTest::newRow("empty") << "empty"
                               << "" << 0 << "" << true;
    }
    void directCalls()
    {
        QFETCH(QString, renderer);
        QFETCH(QString, content);
        QFETCH(int, dataLen);
        QFETCH(QString, expected);
        QFETCH(bool, ok);
        HexFrameRenderer r;
        QString text;
        if (renderer == "start")
            text = r.parseRecordStart(content, quint16(dataLen));
        else if (renderer == "end")
            text = r.parseRecordEnd(content, quint16(dataLen));
        else if (renderer == "serial")
            text = r.parseSerialNumber(content, quint16(dataLen));
        else if (renderer == "gear")
            text = r.parseGearMode(content, quint16(dataLen));
        else
            text = r.parseEmpty(content, quint16(dataLen));
        QCOMPARE(text, expected);
        QCOMPARE(r.isOk(), ok);
    }

    // The fields of each content kind: labels, values and where their bytes are.
    void codecFields_data()
    {
        testdata::addColumns<int, int, QByteArray, int, QString>("cmd", "direction", "content", "status",
                                                                 "fields");
        using S = DecodedContent::Status;
        const auto row = [](const char* name, int cmd, int direction, const char* hexContent, S status,
                            const char* fields) {
            QTest::newRow(name) << cmd << direction << QByteArray::fromHex(hexContent) << int(status)
                                << QString::fromUtf8(fields);
        };
        row("date-time", 2, kRsp, "07E80C1F173B09", S::Ok, "=2024-12-31 23:59:09@0+7");
        row("date-time, six bytes", 1, kReq, "07E80C1F173B", S::WrongSize, "");
        row("serial number", 3, kReq, "41424344", S::Ok, "出厂编号=ABCD@0+4");
        row("device name in GB2312", 6, kRsp, "D5C5C8FD0000", S::Ok, "设备名称=张三@0+6");
        row("device number, nine bytes", 7, kReq, "313233343536373839", S::WrongSize, "");
        row("operator", 15, kReq, "C0EECBC4", S::Ok, "操作人=李四@0+4");
        row("serial number with a quote, a backslash and a control byte", 3, kReq, "225C411F", S::Ok,
            "出厂编号=\"\\A\x1f@0+4");
        row("empty text", 4, kRsp, "", S::Ok, "");
        row("password", 10, kReq, "3132", S::Ok, "密码=12@0+2");
        row("locked with password", 9, kReq, "01313233", S::Ok, "锁定状态=加锁@0+1 | 密码=123@1+3");
        row("unlocked", 9, kReq, "00", S::Ok, "锁定状态=解锁@0+1");
        row("usage count", 11, kReq, "00010000", S::Ok, "使用次数=65536@0+4");
        row("angle", 19, kReq, "FF9C", S::Ok, "角度=65436@0+2");
        row("fallback", 14, kReq, "012C05", S::Ok, "回退信息/角度=300@0+2 | 回退信息/电流=5@2+1");
        row("empty content, one byte", 13, kReq, "00", S::WrongSize, "");
        row("record start", 12, kRsp, "0000000003", S::Ok, "起始帧标记=0@0+1 | 记录数=3@1+4");
        row("record end", 12, kRsp, "02", S::Ok, "结束帧标记=2@0+1");
        row("record end, two bytes", 12, kRsp, "0200", S::WrongSize, "结束帧标记=2@0+1");
        row("record data, short", 12, kRsp, "01000000", S::WrongSize, "数据帧标记=1@0+1");
        row("record, mark 3", 12, kRsp, "03", S::Ok, "");
        row("record, empty", 12, kRsp, "", S::WrongSize, "");
        row("torque list", 17, kReq, "0001D5C5C8FD0000000000000000000A03", S::Ok,
            "数量=1@0+2 | 第0个扳手/名称=张三@2+10 | 第0个扳手/系数=10@12+4 | 第0个扳手/延迟时间=3@16+1");
        row("gear list", 20, kReq, "02010000000A0200000014", S::Ok,
            "挡位数量=2@0+1 | 第0个挡位/挡位等级=1@1+1 | 第0个挡位/对应压力=10@2+4 | "
            "第1个挡位/挡位等级=2@6+1 | 第1个挡位/对应压力=20@7+4");
        row("gear list, second entry cut", 20, kReq, "02010000000A02000000", S::Truncated,
            "挡位数量=2@0+1 | 第0个挡位/挡位等级=1@1+1 | 第0个挡位/对应压力=10@2+4");
        row("sensor list", 21, kReq, "000153310000000000000000000000FF", S::Ok,
            "传感器数量=1@0+2 | 第0个挡位/挡位等级=S1@2+10 | 第0个挡位/对应压力=255@12+4");
        row("sensor list, count cut", 21, kReq, "00", S::Truncated, "");
        row("bolt block and an unread second block", 18, kReq,
            "57524E0000000000000001014D31320000000000000001382E380000000000000000000064FFFF", S::Ok,
            "扳手名称=WRN@0+10 | 制式=1@10+1 | 螺栓直径名称数量=1@11+1 | 螺栓直径[0]名称=M12@12+10 | "
            "螺栓等级名称数量=1@22+1 | 螺栓等级[0]名称=8.8@23+10 | 第0个扭矩=100@33+4");
        row("bolt, diameter names cut", 18, kReq, "57524E000000000000000002014D31", S::Truncated,
            "螺栓直径名称数量=2@11+1");
        row("bolt, torque cut", 18, kReq,
            "57524E0000000000000001014D31320000000000000001382E38000000000000000000", S::Truncated,
            "扳手名称=WRN@0+10 | 制式=1@10+1 | 螺栓直径名称数量=1@11+1 | 螺栓直径[0]名称=M12@12+10 | "
            "螺栓等级名称数量=1@22+1 | 螺栓等级[0]名称=8.8@23+10");
    }
    void codecFields()
    {
        QFETCH(int, cmd);
        QFETCH(int, direction);
        QFETCH(QByteArray, content);
        QFETCH(int, status);
        QFETCH(QString, fields);
        const std::optional<DecodedContent> decoded = ContentCodec::decode(
            quint8(cmd), direction == kRsp ? FrameDirection::Response : FrameDirection::Request, content);
        QVERIFY(decoded);
        QCOMPARE(int(decoded->status), status);
        QCOMPARE(fieldText(decoded->fields), fields);
        // The journal's fields: the same labels and values, the group as a third element.
        QStringList journal;
        const QJsonArray json = JournalEvent::fieldsJson(
            quint8(cmd), direction == kRsp ? FrameDirection::Response : FrameDirection::Request, content);
        QCOMPARE(json.size(), int(decoded->fields.size()));
        for (int i = 0; i < json.size(); ++i) {
            const QJsonArray field = json.at(i).toArray();
            const ContentField& expected = decoded->fields[std::size_t(i)];
            QCOMPARE(field.size(), expected.group.isEmpty() ? 2 : 3);
            QCOMPARE(field.at(0).toString(), expected.label);
            QCOMPARE(field.at(1).toString(), expected.value);
            QCOMPARE(field.at(2).toString(), expected.group);
        }
        // The event file's line, written without a document, reads back as the event's JSON.
        JournalEvent event;
        event.type = direction == kRsp ? JournalEvent::Type::Reply : JournalEvent::Type::Request;
        event.seq = 7;
        event.timeUs = 1796000000123456;
        event.bytes = FrameView::build(wire::kAddress, quint8(cmd), content);
        QJsonParseError error;
        const QJsonDocument line = QJsonDocument::fromJson(event.toJsonLine(), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(line.object(), event.toJson());
    }

    void codecRecordData()
    {
        QByteArray record = QByteArray::fromHex("01000001F4") + QByteArray("5QJW").leftJustified(10, '\0');
        record += QByteArray("12345678") + QByteArray::fromHex("07E8010203040F");
        record = record.leftJustified(110, '\0');
        const DecodedContent decoded = ContentCodec::decode(ContentLayout::Record, record);
        QCOMPARE(int(decoded.layout), int(ContentLayout::RecordData));
        QVERIFY(decoded.ok());
        QCOMPARE(
            fieldText({decoded.fields.begin(), decoded.fields.begin() + 5}),
            QStringLiteral("数据帧标记=1@0+1 | 序号=500@1+4 | 工具型号=5QJW@5+10 | 出厂编号=12345678@15+8 | "
                           "日期=2024-01-02 03:04:15@23+7"));
        // The date-time parts have no field of their own; every other byte belongs to one.
        int covered = 0;
        for (const ContentField& field : decoded.fields)
            covered += field.size;
        QCOMPARE(covered, 110);
        QCOMPARE(ContentCodec::encode(decoded.fields), std::optional<QByteArray>(record));
    }

    void codecUnknownCommand()
    {
        for (int cmd : {0x00, 0x16, 0x82, 0xFF}) {
            QVERIFY(!ContentCodec::layoutFor(quint8(cmd), FrameDirection::Request));
            QVERIFY(!ContentCodec::decode(quint8(cmd), FrameDirection::Response, QByteArray("\x01")));
        }
    }

    // Bytes to fields to bytes for the contents whose bytes all show.
    void codecRoundTrip_data()
    {
        QTest::addColumn<int>("layout");
        QTest::addColumn<QByteArray>("content");
        const auto row = [](const char* name, ContentLayout layout, const char* hexContent) {
            QTest::newRow(name) << int(layout) << QByteArray::fromHex(hexContent);
        };
        row("date-time", ContentLayout::DateTime, "07E80C1F173B09");
        row("usage count", ContentLayout::UsageCount, "FFFFFFFF");
        row("angle", ContentLayout::AngleMode, "FF9C");
        row("fallback", ContentLayout::Fallback, "012C05");
        row("record start", ContentLayout::Record, "00FFFFFFFF");
        row("record end", ContentLayout::Record, "02");
        row("serial number", ContentLayout::SerialNumber, "4142004300");
        row("device name", ContentLayout::DeviceName, "D5C5C8FD0000");
        row("lock status", ContentLayout::LockStatus, "01313233");
        row("gear list", ContentLayout::GearMode, "02010000000A0200000014");
        row("torque list", ContentLayout::TorqueMode, "0001D5C5C8FD0000000000000000000A03");
        row("empty", ContentLayout::Empty, "");
    }
    void codecRoundTrip()
    {
        QFETCH(int, layout);
        QFETCH(QByteArray, content);
        const DecodedContent decoded = ContentCodec::decode(ContentLayout(layout), content);
        QVERIFY(decoded.ok());
        QCOMPARE(ContentCodec::encode(decoded.fields), std::optional<QByteArray>(content));
    }

    // Values that do not fit their field, and fields that do not cover a content, encode to nothing.
    void codecEncodeRefuses_data()
    {
        // expected empty: refused
        testdata::addColumns<int, QByteArray, int, QString, QByteArray>("layout", "content", "field", "value",
                                                                        "expected");
        const auto row = [](const char* name, ContentLayout layout, const char* hexContent, int field,
                            const char* value, const char* expected) {
            QTest::newRow(name) << int(layout) << QByteArray::fromHex(hexContent) << field
                                << QString::fromUtf8(value) << QByteArray::fromHex(expected);
        };
        row("count set", ContentLayout::UsageCount, "00000001", 0, "7", "00000007");
        row("count too big", ContentLayout::UsageCount, "00000001", 0, "4294967296", "");
        row("count not a number", ContentLayout::UsageCount, "00000001", 0, "7x", "");
        row("current too big", ContentLayout::Fallback, "012C05", 1, "256", "");
        row("current set", ContentLayout::Fallback, "012C05", 1, "255", "012CFF");
        row("negative angle", ContentLayout::AngleMode, "0001", 0, "-1", "");
        row("date set", ContentLayout::DateTime, "07E80C1F173B09", 0, "2025-01-02 03:04:05",
            "07E90102030405");
        row("date month too big", ContentLayout::DateTime, "07E80C1F173B09", 0, "2025-256-02 03:04:05", "");
        row("date without seconds", ContentLayout::DateTime, "07E80C1F173B09", 0, "2025-01-02 03:04", "");
        row("name longer than its bytes", ContentLayout::TorqueMode, "0001D5C5C8FD0000000000000000000A03", 1,
            "一二三四五六", "");
        row("name outside GB2312", ContentLayout::TorqueMode, "0001D5C5C8FD0000000000000000000A03", 1, "😀",
            "");
        row("lock state other text", ContentLayout::LockStatus, "01", 0, "open", "");
        row("lock state unlocked", ContentLayout::LockStatus, "01", 0, "解锁", "00");
    }
    void codecEncodeRefuses()
    {
        QFETCH(int, layout);
        QFETCH(QByteArray, content);
        QFETCH(int, field);
        QFETCH(QString, value);
        QFETCH(QByteArray, expected);
        DecodedContent decoded = ContentCodec::decode(ContentLayout(layout), content);
        QVERIFY(decoded.ok());
        decoded.fields[std::size_t(field)].value = value;
        const std::optional<QByteArray> encoded = ContentCodec::encode(decoded.fields);
        QCOMPARE(encoded.has_value(), !expected.isEmpty());
        if (encoded)
            QCOMPARE(*encoded, expected);
    }

    void codecEncodeNeedsEveryByte()
    {
        // The bolt block's second standard is not read, so the fields do not give the bytes back.
        const QByteArray bolt = QByteArray::fromHex("57524E000000000000000000000000FF");
        const DecodedContent decoded = ContentCodec::decode(ContentLayout::BoltMode, bolt);
        QVERIFY(decoded.ok());
        QCOMPARE(ContentCodec::encode(decoded.fields), std::optional<QByteArray>(bolt.left(13)));
        // A gap between fields, or an overlap, encodes to nothing.
        std::vector<ContentField> fields =
            ContentCodec::decode(ContentLayout::Fallback, QByteArray::fromHex("012C05")).fields;
        fields[1].offset = 3;
        QVERIFY(!ContentCodec::encode(fields));
        fields[1].offset = 1;
        QVERIFY(!ContentCodec::encode(fields));
    }

    void cmdName_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("0") << 0 << QString();
        for (int code = 1; code <= 21; ++code)
            QTest::newRow(QByteArray::number(code).constData())
                << code << QString::fromUtf8(kNames[code - 1]);
        QTest::newRow("22") << 22 << QString();
        QTest::newRow("255") << 255 << QString();
    }
    void cmdName()
    {
        QFETCH(int, code);
        QFETCH(QString, name);
        QCOMPARE(HexFrameRenderer::cmdName(quint8(code)), name);
    }

    void stateAcrossParses_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("failure then success") << "5AA51234020001"
                                              << "5AA5123405000141FFFF";
        QTest::newRow("hex failure then success") << "5AA512340g"
                                                  << "5AA51234100000FFFF";
    }
    void stateAcrossParses()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        HexFrameRenderer renderer;
        renderer.render(first, Direction::Request);
        QVERIFY(!renderer.isOk());
        const QStringList again = renderer.render(second, Direction::Request);
        QVERIFY(renderer.isOk());
        QCOMPARE(again.last(), crcLine(second));
        QCOMPARE(int(renderer.cmd()), second.mid(8, 2).toInt(nullptr, 16));
        QCOMPARE(int(renderer.dataLen()), second.mid(10, 4).toInt(nullptr, 16));
    }

    // What the lines leave unsaid: a length that does not fit, a checksum that does not hold.
    void frameCheck_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("problem");
        QTest::newRow("whole frame") << "5AA512340E0003005A0ADAEA"
                                     << "";
        QTest::newRow("lower case, apart") << "5a a5 12 34 0e 00 03 00 5a 0a da ea"
                                           << "";
        QTest::newRow("bad checksum") << "5AA512340E0003005A0ADAEB"
                                      << "checksum DAEB, computed DAEA";
        QTest::newRow("bad checksum, apart") << "5A:A5:12:34:0E:00:03:00:5A:0A:DA:EB"
                                             << "checksum DAEB, computed DAEA";
        QTest::newRow("one byte short") << "5AA51234020000EE"
                                        << "the frame is 8 bytes, its length field needs 9";
        QTest::newRow("two bytes long") << "5AA51234020000EE0399"
                                        << "the frame is 10 bytes, its length field needs 9";
        QTest::newRow("no content") << "5AA51234010007"
                                    << "the frame is 7 bytes, its length field needs 16";
        QTest::newRow("odd digits") << "5AA51234020000EE0"
                                    << "17 hex digits are no whole number of bytes";
        QTest::newRow("letter in the checksum") << "5AA51234020000EE0X"
                                                << "character 18 ('X') is not a hex digit";
        QTest::newRow("line break after it") << "5AA51234020000EE03\n"
                                             << "character 19 (U+000A) is not a hex digit";
        // The renderer's own lines name these.
        QTest::newRow("header refused") << "5AA6123402000000"
                                        << "";
        QTest::newRow("address refused") << "5AA5123502000000"
                                         << "";
        QTest::newRow("command refused") << "5AA51234160000AE07"
                                         << "";
        QTest::newRow("header cut") << "5AA51234020"
                                    << "";
        QTest::newRow("bad hex in the header") << "5AA51234０２0000"
                                               << "";
    }
    void frameCheck()
    {
        QFETCH(QString, input);
        QFETCH(QString, problem);
        QCOMPARE(HexFrameCheck::problem(input), problem);
    }

    void frameCheckNotesTheDirection()
    {
        const QString getTime = QStringLiteral("5AA51234020000EE03");
        const QString timeReply = frame(2, QStringLiteral("07E80105090307"));
        const auto notes = [](const QString& input, Direction direction) {
            HexFrameRenderer renderer;
            renderer.render(input, direction);
            return HexFrameCheck::notes(input, direction, renderer.isOk(), QStringLiteral("R"),
                                        QStringLiteral("S"));
        };
        QCOMPARE(notes(getTime, Direction::Request), QStringList());
        QCOMPARE(notes(getTime, Direction::Response), QStringList{"it renders as a request (R)"});
        QCOMPARE(notes(timeReply, Direction::Request), QStringList{"it renders as a response (S)"});
        QCOMPARE(notes(timeReply, Direction::Response), QStringList());
        // Neither direction renders it: only what is wrong with it.
        QCOMPARE(notes(QStringLiteral("5AA51234020001FFFFFF"), Direction::Request),
                 QStringList{"checksum FFFF, computed " + crcOf("5AA51234020001FF")});
    }

    void parseContentWithoutHeader()
    {
        HexFrameRenderer renderer;
        QCOMPARE(renderer.parseContent(QString(), Direction::Response), QStringLiteral("Cmd异常！\n"));
        QVERIFY(!renderer.isOk());
    }

    void randomised_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("mode");
        const char* const modes[] = {"any text", "header and any tail", "header and hex tail"};
        for (quint32 seed : {1u, 20240105u, 777u}) {
            for (int mode = 0; mode < 3; ++mode)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(modes[mode]).arg(seed))) << seed << mode;
        }
    }
    void randomised()
    {
        QFETCH(quint32, seed);
        QFETCH(int, mode);
        QRandomGenerator gen(seed);
        HexFrameRenderer renderer;
        for (int i = 0; i < 2000; ++i) {
            const QString input = randomInput(gen, mode);
            const Direction direction = gen.bounded(2) ? Direction::Response : Direction::Request;
            checkConsistent(renderer, input, direction);
            if (QTest::currentTestFailed())
                return;
        }
    }
};

QTEST_GUILESS_MAIN(TestHexRenderer)
#include "tst_hex_renderer.moc"
