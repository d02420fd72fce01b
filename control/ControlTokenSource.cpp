#include "control/ControlTokenSource.h"

#include "util/BoundedFile.h"
#include "util/MessageQuote.h"

QString ControlTokenSource::resolve(const QString& tokenOption, const QString& fileOption, bool control,
                                    QString* problem)
{
    problem->clear();
    if (fileOption.isNull()) {
        if (!tokenOption.isNull() || !control || !qEnvironmentVariableIsSet(kEnvironmentName))
            return tokenOption;
        const QString token = qEnvironmentVariable(kEnvironmentName);
        return token.isEmpty() ? QString() : token;
    }
    if (!tokenOption.isNull()) {
        *problem = QStringLiteral("--control-token and --control-token-file: give one of them");
        return QString();
    }
    if (!control) {
        *problem = QStringLiteral("--control-token-file: only with --control HOST:PORT");
        return QString();
    }
    const QString where = QStringLiteral("--control-token-file: %1").arg(MessageQuote::of(fileOption));
    QByteArray bytes;
    QString error;
    if (fileOption.isEmpty() || !BoundedFile::read(fileOption, kMaxFileBytes, &bytes, &error)) {
        *problem = QStringLiteral("%1: %2").arg(
            where, fileOption.isEmpty() ? QStringLiteral("expected a file name") : error);
        return QString();
    }
    // One line; the line break an editor or `echo` leaves at its end is not part of it.
    const QString token = QString::fromUtf8(bytes).trimmed();
    bool oneLine = true;
    for (const QChar c : token)
        oneLine = oneLine && c.category() != QChar::Other_Control;
    if (token.isEmpty() || !oneLine) {
        *problem = QStringLiteral("%1: expected the token on one line, got %2")
                       .arg(where, token.isEmpty() ? QStringLiteral("an empty file")
                                                   : QStringLiteral("several lines or control characters"));
        return QString();
    }
    return token;
}
