// What an operator or a file hands the emulator: fault rules, scenario files and capture files.
// The first byte picks the reader; each must take the input or refuse it with a message,
// never crash, hang or accept half of it.
#include "FuzzCheck.h"

#include "capture/CaptureReader.h"
#include "fault/FaultRule.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

namespace {

void faultRule(const QByteArray& input)
{
    const QString text = QString::fromUtf8(input);
    QString error;
    const auto rule = FaultRule::parse(text, &error);
    if (!rule) {
        FUZZ_CHECK(!error.isEmpty(), "a refused rule without a message");
        return;
    }
    // The canonical text is what logs and lists show; it must name the same rule.
    QString again;
    const auto reparsed = FaultRule::parse(rule->text(), &again);
    FUZZ_CHECK(reparsed.has_value(), "the canonical text of a rule is refused");
    FUZZ_CHECK(reparsed->text() == rule->text(), "the canonical text is not stable");
}

void scenarioFile(const QByteArray& input)
{
    // No such folder: a records.csv it names cannot be read, and must be refused, not crash.
    const QString path = QStringLiteral("/nonexistent-varnel-fuzz/scenario.json");
    Scenario scenario;
    QString error;
    if (!ScenarioFile::parse(input, path, &scenario, &error))
        FUZZ_CHECK(error.startsWith(path), "a refused scenario whose message does not name the file");
}

void captureFile(const QByteArray& input)
{
    static const QString path =
        QDir::temp().filePath(QStringLiteral("varnel-fuzz-%1.pcap").arg(QString::number(::getpid())));
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the scratch file");
    FUZZ_CHECK(file.write(input) == input.size(), "cannot write the scratch file");
    file.close();
    CaptureReader reader;
    if (!reader.read(path)) {
        FUZZ_CHECK(!reader.error().isEmpty(), "a refused capture without a message");
        return;
    }
    for (const CapturePacket& packet : reader.packets())
        FUZZ_CHECK(packet.bytes.size() < input.size(), "a packet larger than the file");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), int(size - 1));
    switch (data[0] % 3) {
    case 0:
        faultRule(input);
        break;
    case 1:
        scenarioFile(input);
        break;
    default:
        captureFile(input);
        break;
    }
    return 0;
}
