#include "vault/PdfExport.h"

#include "platform/paths/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

namespace harkwell {

QString PdfExport::scriptPath() { return Paths::expandTilde(QStringLiteral("~/.claude/skills/folioize/folioize.py")); }

QString PdfExport::pdfName(const QString& inputPath)
{
    const QString name = QFileInfo(inputPath).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? name : name.left(dot)) + QStringLiteral(".pdf");
}

std::expected<QString, QString> PdfExport::run(const Job& job)
{
    QDir().mkpath(job.outputFolder);
    QProcess process;
    process.setProgram(job.python3);
    process.setArguments({job.script, job.input, QStringLiteral("-o"), job.outputFolder});
    process.setWorkingDirectory(job.workingFolder);
    process.setStandardInputFile(QProcess::nullDevice());
    // Only the error output explains anything; the rest could fill a pipe no one reads.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(-1))
        return std::unexpected(QStringLiteral("folioize launch failed: ") + process.errorString());
    // Reads the error output as it comes, so a chatty script never stalls on a full pipe.
    process.waitForFinished(-1);

    const QString pdf = QDir(job.outputFolder).filePath(pdfName(job.input));
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && QFileInfo::exists(pdf))
        return pdf;

    QStringDecoder decoder(QStringDecoder::Utf8);
    QString errors = decoder.decode(process.readAllStandardError());
    if (decoder.hasError())
        errors.clear();
    const QStringList lines = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return std::unexpected(QStringLiteral("folioize failed: ") +
                           (lines.isEmpty() ? QStringLiteral("unknown error") : lines.last()));
}

}  // namespace harkwell
