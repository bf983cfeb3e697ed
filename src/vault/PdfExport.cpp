#include "vault/PdfExport.h"

#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <sys/stat.h>

namespace harkwell {

QString PdfExport::scriptPath() { return Paths::expandTilde(QStringLiteral("~/.claude/skills/folioize/folioize.py")); }

QByteArray PdfExport::pdfName(const QByteArray& inputPath)
{
    const QByteArray name = inputPath.mid(inputPath.lastIndexOf('/') + 1);
    const qsizetype dot = name.lastIndexOf('.');
    return (dot < 0 ? name : name.left(dot)) + ".pdf";
}

std::expected<QByteArray, QString> PdfExport::run(const Job& job, ProcessRunner& runner)
{
    QDir().mkpath(job.outputFolder);
    // Only the error output explains anything; the standard output goes to the null device, so a
    // chatty script never stalls on a full pipe.
    ProcessOptions options;
    options.workingFolder = job.workingFolder;
    options.captureErrors = true;
    const QList<QByteArray> arguments{QFile::encodeName(job.python3), QFile::encodeName(job.script), job.input, "-o",
                                      QFile::encodeName(job.outputFolder)};
    const auto ran = runner.run(arguments, kLimit, options);
    if (!ran)
        return std::unexpected(QStringLiteral("folioize launch failed: ") + ran.error().text);

    const QByteArray pdf = QFile::encodeName(job.outputFolder) + '/' + pdfName(job.input);
    struct stat made {};
    if (ran->succeeded() && ::stat(pdf.constData(), &made) == 0)
        return pdf;

    QStringDecoder decoder(QStringDecoder::Utf8);
    QString errors = decoder.decode(ran->output);
    if (decoder.hasError())
        errors.clear();
    const QStringList lines = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return std::unexpected(QStringLiteral("folioize failed: ") +
                           (lines.isEmpty() ? QStringLiteral("unknown error") : lines.last()));
}

}  // namespace harkwell
