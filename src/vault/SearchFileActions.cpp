#include "vault/SearchFileActions.h"

#include "foundation/EnvironmentCheck.h"
#include "foundation/Opening.h"
#include "foundation/Settings.h"
#include "platform/filemanager/FileManager.h"
#include "platform/mail/MailComposer.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"
#include "platform/syslog/SystemLog.h"
#include "vault/PdfExport.h"
#include "vault/RemoteCopy.h"
#include "vault/SearchIndex.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

namespace harkwell {

SearchFileActions::SearchFileActions(SearchIndex& index, QObject* parent)
    : SearchFileActions(index, Settings::shared(), Services{}, parent)
{
}

SearchFileActions::SearchFileActions(SearchIndex& index, Settings& settings, Services services, QObject* parent)
    : QObject(parent),
      m_index(index),
      m_settings(settings),
      m_fileManager(services.fileManager ? *services.fileManager : FileManager::system()),
      m_mail(services.mail ? *services.mail : MailComposer::system()),
      m_python3(services.python3 ? std::move(services.python3) : Python3Lookup(&EnvironmentCheck::python3Path))
{
}

void SearchFileActions::openFile(const FileEntry& entry)
{
    if (!RemoteCopy::isOnSSHFS(entry, m_settings.settings().remotesPath)) {
        Opening::openWithoutWaiting(entry.fullPath);
        return;
    }
    openLater(entry);
}

QCoro::Task<> SearchFileActions::openLater(FileEntry entry)
{
    // A slow mount holds up the copy, never the panel.
    QFuture<std::optional<QString>> copying = QtConcurrent::run([entry] { return RemoteCopy::sshfsCopyToTemp(entry); });
    const std::optional<QString> copy = co_await copying;
    if (copy)
        Opening::openWithoutWaiting(QUrl::fromLocalFile(*copy));
}

void SearchFileActions::revealSelected()
{
    if (const auto selected = m_index.selectedFile())
        m_fileManager.reveal(selected->fullPath.toLocalFile());
}

void SearchFileActions::deleteSelected()
{
    const auto selected = m_index.selectedFile();
    if (!selected)
        return;
    if (m_fileManager.moveToTrash(selected->fullPath.toLocalFile()))
        m_index.removeFromCurrentList(*selected);
}

void SearchFileActions::mailSelected()
{
    const auto selected = m_index.selectedFile();
    if (!selected)
        return;
    if (!RemoteCopy::isOnSSHFS(*selected, m_settings.settings().remotesPath)) {
        m_mail.compose({selected->fullPath.toLocalFile()});
        return;
    }
    mailLater(*selected);
}

QCoro::Task<> SearchFileActions::mailLater(FileEntry entry)
{
    const QPointer<SearchFileActions> self(this);
    const std::optional<QString> remotes = m_settings.settings().remotesPath;
    QFuture<QString> copying = QtConcurrent::run([entry, remotes] { return RemoteCopy::localCopyIfNeeded(entry, remotes); });
    const QString attachment = co_await copying;
    if (self)
        m_mail.compose({attachment});
}

void SearchFileActions::pdfSelected()
{
    const auto selected = m_index.selectedFile();
    if (!selected || !selected->fullPath.path().endsWith(QLatin1String(".md")))
        return;
    makePdf(*selected);
}

QCoro::Task<> SearchFileActions::makePdf(FileEntry entry)
{
    const QPointer<SearchFileActions> self(this);
    const QPointer<SearchIndex> index(&m_index);
    const AppSettings settings = m_settings.settings();
    const bool remote = RemoteCopy::isOnSSHFS(entry, settings.remotesPath);
    const std::optional<QString> python3 = m_python3();

    PdfExport::Job job;
    job.script = PdfExport::scriptPath();
    job.outputFolder = QDir(Paths::expandTilde(settings.vaultPath)).filePath(QStringLiteral("_outbox"));
    if (remote) {
        // The script runs on the copy even when copying failed; it then reports the missing file.
        job.input = RemoteCopy::destinationFor(entry);
        job.workingFolder = RemoteCopy::copyFolder();
    } else {
        job.input = entry.fullPath.toLocalFile();
        job.workingFolder = QFileInfo(job.input).absolutePath();
    }
    if (!python3) {
        notifyPdfFailure(QString::fromLatin1(kPythonMissing));
        co_return;
    }
    job.python3 = *python3;

    QFuture<std::expected<QString, QString>> converting = QtConcurrent::run([job, entry, remote] {
        if (remote)
            RemoteCopy::sshfsCopyToTemp(entry);
        return PdfExport::run(job);
    });
    const std::expected<QString, QString> made = co_await converting;
    if (!made) {
        notifyPdfFailure(made.error());
        co_return;
    }
    if (!self || !index)
        co_return;
    const QFileInfo pdf(*made);
    FileEntry result;
    result.id = QUuid::createUuid();
    result.filename = pdf.fileName();
    result.relativePath = pdf.absoluteFilePath();
    result.parentFolder = QFileInfo(job.outputFolder).fileName();
    result.creationDate = QDateTime::currentDateTime();
    result.modificationDate = result.creationDate;
    result.size = pdf.exists() ? pdf.size() : 0;
    result.fullPath = QUrl::fromLocalFile(pdf.absoluteFilePath());
    result.source = FileEntry::Source::Workspace;
    result.filenameDate = entry.filenameDate;
    result.domain = entry.domain;
    result.fileType = entry.fileType;
    index->insertAtTop(result);
}

void SearchFileActions::notifyPdfFailure(const QString& message)
{
    SystemLog::write(QStringLiteral("[harkwell] %1").arg(message));
    NotificationRequest request;
    request.identifier = QStringLiteral("pdf-fail-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    request.title = QStringLiteral("harkwell: PDF failed");
    request.body = message;
    request.sound = false;
    Notifications::current().add(request);
}

}  // namespace harkwell
