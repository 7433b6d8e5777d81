#include "ui/SkinFramework.h"

#include "platform/Failure.h"
#include "platform/OptionalFile.h"

#include <QByteArray>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QWidget>

namespace drovanta::shell {
namespace {

[[noreturn]] void invalidSkin(const QString &reason)
{
    throw Failure("Invalid skin file: " + reason.toStdString());
}

// A style sheet is text of a few KiB; a file far larger would only cost
// start-up time and memory.
constexpr std::uint64_t maxSkinFileBytes = 4 * 1024 * 1024;

QString readUtf8Text(const QString &path)
{
    using Status = platform::OptionalFileContent::Status;
    const platform::OptionalFileContent content = platform::readOptionalFile(path.toStdString(), maxSkinFileBytes);
    if (content.status == Status::NotRegular)
        invalidSkin(QStringLiteral("not a regular file"));
    if (content.status == Status::TooLarge)
        invalidSkin(QStringLiteral("larger than 4 MiB"));
    if (content.status == Status::Failed)
        invalidSkin(QString::fromStdString(content.reason));
    const QByteArray bytes = QByteArray::fromStdString(content.bytes);

    // Stateless: a sequence cut off at the end of the file is an error too,
    // not something held back for more input that never comes.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        invalidSkin(QStringLiteral("not UTF-8 text"));
    if (text.contains(QChar(0)))
        invalidSkin(QStringLiteral("not text"));
    return text;
}

// Qt reads the pictures a sheet names with url(...) as it styles a widget,
// with an open that waits: a named pipe or a device there would hold up
// start-up for good. A name that is not a regular file (links followed, as
// Qt follows them) is taken out, leaving url() naming nothing; pictures in
// the program's resources are Qt's own.
QString withoutUnreadablePictures(const QString &styleSheet)
{
    static const QRegularExpression url(QStringLiteral(R"re(url\(\s*("[^"]*"|'[^']*'|[^)]*?)\s*\))re"),
                                        QRegularExpression::CaseInsensitiveOption);
    QString kept;
    qsizetype from = 0;
    for (auto matches = url.globalMatch(styleSheet); matches.hasNext();) {
        const QRegularExpressionMatch match = matches.next();
        QString name = match.captured(1);
        if (name.startsWith(QLatin1Char('"')) || name.startsWith(QLatin1Char('\'')))
            name = name.mid(1, name.size() - 2);
        const bool resource = name.startsWith(QLatin1Char(':'));
        const bool readable = resource || platform::isRegularFile(QFile::encodeName(name).toStdString());
        kept += styleSheet.mid(from, match.capturedStart() - from);
        kept += readable ? match.captured() : QStringLiteral("url()");
        from = match.capturedEnd();
    }
    return kept + styleSheet.mid(from);
}

// Qt parses a style sheet only when a widget that carries it is polished,
// and a sheet it cannot parse is merely reported as a warning and otherwise
// ignored. So the sheet is tried on a widget of its own, and the warning is
// caught on its way out.
QtMessageHandler previousHandler = nullptr;
bool parseWarningSeen = false;

void watchForParseWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("Could not parse stylesheet"))) {
        parseWarningSeen = true;
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

bool qtCanParse(const QString &styleSheet)
{
    // Warnings of the default category may be switched off by logging rules;
    // the check depends on seeing this one.
    QLoggingCategory *category = QLoggingCategory::defaultCategory();
    const bool warningsWereOn = category->isWarningEnabled();
    category->setEnabled(QtWarningMsg, true);
    parseWarningSeen = false;
    previousHandler = qInstallMessageHandler(watchForParseWarning);
    {
        QWidget probe;
        probe.setStyleSheet(styleSheet);
        probe.ensurePolished();
    }
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
    category->setEnabled(QtWarningMsg, warningsWereOn);
    return !parseWarningSeen;
}

} // namespace

void SkinFramework::loadSkin(const QString &path)
{
    const QString styleSheet = withoutUnreadablePictures(readUtf8Text(path));
    if (!qtCanParse(styleSheet))
        invalidSkin(QStringLiteral("not a style sheet Qt can read"));
    m_styleSheet = styleSheet;
}

void SkinFramework::applyWindow(QWidget *window) const
{
    window->setStyleSheet(m_styleSheet);
}

} // namespace drovanta::shell
