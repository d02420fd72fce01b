#include "DataColumns.h"

#include "device/Frame.h"
#include "protocol/CommandCatalogue.h"
#include "render/HexFrameRenderer.h"

#include <QtTest>

Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(ContentType)

class TestCommandCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void catalogue_data()
    {
        testdata::addColumns<Command, int, QString, QString, QString, QString, ContentType, ContentType>(
            "command", "code", "name", "gloss", "rendererName", "dialogEntry", "requestContent",
            "responseContent");
        QTest::newRow("01") << Command::SetTime << 0x01 << "设置时间"
                            << "set-time"
                            << "设置时间"
                            << "[0x01]设置时间" << ContentType::DateTime << ContentType::Null;
        QTest::newRow("02") << Command::GetTime << 0x02 << "获取时间"
                            << "get-time"
                            << "获取时间"
                            << "[0x02]获取时间" << ContentType::Null << ContentType::DateTime;
        QTest::newRow("03") << Command::SetSerialNumber << 0x03 << "设置出厂编号"
                            << "set-factory-serial-number"
                            << "设置出厂编号"
                            << "[0x03]设置出厂编号" << ContentType::String << ContentType::Null;
        QTest::newRow("04") << Command::GetSerialNumber << 0x04 << "获取出厂编号"
                            << "get-factory-serial-number"
                            << "获取出厂编号"
                            << "[0x04]获取出厂编号" << ContentType::Null << ContentType::String;
        QTest::newRow("05") << Command::SetDeviceName << 0x05 << "设置设备名称"
                            << "set-device-name"
                            << "设置设备名称"
                            << "[0x05]设置设备名称" << ContentType::String << ContentType::Null;
        QTest::newRow("06") << Command::GetDeviceName << 0x06 << "获取设备名称"
                            << "get-device-name"
                            << "获取设备名称"
                            << "[0x06]获取设备名称" << ContentType::Null << ContentType::String;
        QTest::newRow("07") << Command::SetDeviceNumber << 0x07 << "设置设备编号"
                            << "set-device-number"
                            << "设置设备编号"
                            << "[0x07]设置设备编号" << ContentType::String << ContentType::Null;
        QTest::newRow("08") << Command::GetDeviceNumber << 0x08 << "获取设备编号"
                            << "get-device-number"
                            << "获取设备编号"
                            << "[0x08]获取设备编号" << ContentType::Null << ContentType::String;
        QTest::newRow("09") << Command::SetLockStatus << 0x09 << "设置锁定状态"
                            << "set-lock-status"
                            << "设置锁定状态"
                            << "[0x09]设置锁定状态" << ContentType::String << ContentType::Null;
        QTest::newRow("0A") << Command::SetPassword << 0x0A << "设置使用密码"
                            << "set-usage-password"
                            << "设置密码"
                            << "[0x0A]设置使用密码" << ContentType::String << ContentType::Null;
        QTest::newRow("0B") << Command::SetUsageCount << 0x0B << "设置使用次数"
                            << "set-usage-count"
                            << "设置使用次数"
                            << "[0x0B]设置使用次数" << ContentType::Integer << ContentType::Null;
        QTest::newRow("0C") << Command::GetFileRecords << 0x0C << "获取文件记录"
                            << "get-file-records"
                            << "获取文件记录"
                            << "[0x0C]获取文件记录" << ContentType::Null << ContentType::String;
        QTest::newRow("0D") << Command::ClearFileRecords << 0x0D << "清除文件记录"
                            << "clear-file-records"
                            << "清除文件记录"
                            << "[0x0D]清除文件记录" << ContentType::Null << ContentType::Null;
        QTest::newRow("0E") << Command::SetFallback << 0x0E << "设置回退信息"
                            << "set-fallback-information"
                            << "设置回退参数"
                            << "[0x0E]导入数据记录" << ContentType::Fallback << ContentType::Null;
        QTest::newRow("0F") << Command::SetOperator << 0x0F << "设置操作人名"
                            << "set-operator-name"
                            << "设置操作人名"
                            << "[0x0F]设置操作人" << ContentType::String << ContentType::Null;
        QTest::newRow("10") << Command::GetOperator << 0x10 << "获取操作人名"
                            << "get-operator-name"
                            << "获取操作人名"
                            << "[0x10]获取操作人" << ContentType::Null << ContentType::String;
        QTest::newRow("11") << Command::ImportTorqueMode << 0x11 << "导入数据-扭矩模式"
                            << "import-torque-mode-data"
                            << "设置扭矩模式参数"
                            << "[0x11]导入数据-扭矩模式" << ContentType::TorqueMode << ContentType::Null;
        QTest::newRow("12") << Command::ImportBoltMode << 0x12 << "导入数据-螺栓模式"
                            << "import-bolt-mode-data"
                            << "设置螺栓模式参数"
                            << "[0x12]导入数据-螺栓模式" << ContentType::BoltMode << ContentType::Null;
        QTest::newRow("13") << Command::ImportAngleMode << 0x13 << "导入数据-角度模式"
                            << "import-angle-mode-data"
                            << "设置角度模式参数"
                            << "[0x13]导入数据-角度模式" << ContentType::AngleMode << ContentType::Null;
        QTest::newRow("14") << Command::ImportGearMode << 0x14 << "导入数据-挡位模式"
                            << "import-gear-mode-data"
                            << "设置挡位预设参数"
                            << "[0x14]导入数据-挡位模式" << ContentType::GearMode << ContentType::Null;
        QTest::newRow("15") << Command::ImportSensorMode << 0x15 << "导入数据-传感器模式"
                            << "import-sensor-mode-data"
                            << "设置传感器参数"
                            << "[0x15]导入数据-传感器模式" << ContentType::SensorMode << ContentType::Null;
    }
    void catalogue()
    {
        QFETCH(Command, command);
        QFETCH(int, code);
        QFETCH(QString, name);
        QFETCH(QString, gloss);
        QFETCH(QString, rendererName);
        QFETCH(QString, dialogEntry);
        QFETCH(ContentType, requestContent);
        QFETCH(ContentType, responseContent);
        QCOMPARE(int(toCode(command)), code);
        QVERIFY(isCommand(std::uint8_t(code)));
        QCOMPARE(commandName(std::uint8_t(code)), name);
        QCOMPARE(commandGloss(std::uint8_t(code)), gloss);
        const std::optional<Command> found = commandFromGloss(gloss);
        QVERIFY(found.has_value());
        QCOMPARE(*found, command);

        const CommandCatalogue::Entry* entry = CommandCatalogue::find(std::uint8_t(code));
        QVERIFY(entry != nullptr);
        QCOMPARE(entry, &CommandCatalogue::entry(command));
        QCOMPARE(entry->command, command);
        QCOMPARE(QString::fromUtf8(entry->protocolName), name);
        QCOMPARE(QString::fromUtf8(entry->rendererName), rendererName);
        QCOMPARE(QString::fromUtf8(entry->dialogEntry), dialogEntry);
        QCOMPARE(QString::fromUtf8(entry->cliName), gloss);
        QCOMPARE(entry->requestContent, requestContent);
        QCOMPARE(entry->responseContent, responseContent);
        QCOMPARE(Frame::contentTypeFor(std::uint8_t(code), false), requestContent);
        QCOMPARE(Frame::contentTypeFor(std::uint8_t(code), true), responseContent);
        QCOMPARE(HexFrameRenderer::cmdName(quint8(code)), rendererName);
    }

    void everyCommandListed()
    {
        QCOMPARE(int(CommandCatalogue::kCount), 21);
        for (std::size_t i = 0; i < CommandCatalogue::kCount; ++i)
            QCOMPARE(int(toCode(CommandCatalogue::kEntries[i].command)), int(i) + 1);
    }

    void range()
    {
        QCOMPARE(int(toCode(kFirstCommand)), 0x01);
        QCOMPARE(int(toCode(kLastCommand)), 0x15);
    }

    void outsideCatalogue_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("00") << 0x00;
        QTest::newRow("16") << 0x16;
        QTest::newRow("7F") << 0x7F;
        QTest::newRow("81 (top bit)") << 0x81;
        QTest::newRow("FF") << 0xFF;
    }
    void outsideCatalogue()
    {
        QFETCH(int, code);
        QVERIFY(!isCommand(std::uint8_t(code)));
        QVERIFY(commandName(std::uint8_t(code)).isEmpty());
        QVERIFY(commandGloss(std::uint8_t(code)).isEmpty());
        QVERIFY(CommandCatalogue::find(std::uint8_t(code)) == nullptr);
        QVERIFY(HexFrameRenderer::cmdName(quint8(code)).isEmpty());
    }

    void unknownGloss_data()
    {
        testdata::addColumns<QString, QString, QString, ContentType, ContentType>(
            "gloss", "rendererName", "dialogEntry", "requestContent", "responseContent");
        QTest::newRow("empty") << QString();
        QTest::newRow("upper case") << "GET-TIME";
        QTest::newRow("spaces") << "get time";
        QTest::newRow("trailing blank") << "get-time ";
        QTest::newRow("protocol name") << "获取时间";
        QTest::newRow("prefix") << "import";
    }
    void unknownGloss()
    {
        QFETCH(QString, gloss);
        QVERIFY(!commandFromGloss(gloss).has_value());
    }
};

QTEST_GUILESS_MAIN(TestCommandCatalogue)
#include "tst_command_catalogue.moc"
