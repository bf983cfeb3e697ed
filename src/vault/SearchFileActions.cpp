#include "vault/SearchFileActions.h"

#include "foundation/EnvironmentCheck.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Opening.h"
#include "foundation/Settings.h"
#include "platform/filemanager/FileManager.h"
#include "platform/files/FileNames.h"
#include "platform/mail/MailComposer.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"
#include "platform/childprocess/ProcessRunner.h"
#include "platform/syslog/SystemLog.h"
#include "vault/PdfExport.h"
#include "vault/RemoteCopy.h"
#include "vault/SearchIndex.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

namespace harkwell {

namespace {

// What became of a file sent to the trash.
enum class TrashOutcome { Trashed, Refused, NotAnswering };

// Blocking. Whether the disk of the file at `path` answers a child process within `wait`, whether
// or not the file is there: a thread of this process that touched a frozen mount itself would be
// held in the kernel until the mount answered, and the process could not end before it. Only a
// disk that has just answered is worked on in this process.
bool diskAnswers(const QByteArray& path, std::chrono::milliseconds wait)
{
    const auto looked = ProcessRunner::system().run(QList<QByteArray>{"test", "-e", path}, wait, {});
    return !looked || looked->ending != ProcessRun::Ending::KilledAtLimit;
}

// Blocking, on a thread of RemoteCopy::pool().
TrashOutcome trash(FileManager& fileManager, const QUrl& url, std::chrono::milliseconds wait)
{
    if (!diskAnswers(FileNames::nativePath(url), wait))
        return TrashOutcome::NotAnswering;
    return fileManager.moveToTrash(url) ? TrashOutcome::Trashed : TrashOutcome::Refused;
}

}  // namespace

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
        openLocalLater(entry);
        return;
    }
    openLater(entry);
}

QCoro::Task<> SearchFileActions::openLocalLater(FileEntry entry)
{
    // The panel is gone by the time a frozen disk is known not to answer: a notice says so, where
    // the opening itself would only leave a line in the log.
    QFuture<bool> looking = QtConcurrent::run(
        &RemoteCopy::pool(), [path = FileNames::nativePath(entry.fullPath)] { return diskAnswers(path, kDiskWait); });
    const bool answers = co_await looking;
    if (!answers) {
        notifyCopyFailure(QStringLiteral("Open"), QString::fromUtf8(kOpenNotAnswering).arg(entry.filename));
        co_return;
    }
    Opening::openWithoutWaiting(entry.fullPath);
}

QCoro::Task<> SearchFileActions::openLater(FileEntry entry)
{
    // A slow mount holds up the copy, never the panel.
    QFuture<std::expected<QByteArray, QString>> copying =
        QtConcurrent::run(&RemoteCopy::pool(), [entry] { return RemoteCopy::copyToTemp(entry); });
    const QPointer<SearchFileActions> self(this);
    const auto copy = co_await copying;
    if (!self)
        co_return;
    if (!copy) {
        notifyCopyFailure(QStringLiteral("Open"), copy.error());
        co_return;
    }
    Opening::openWithoutWaiting(FileNames::fileUrl(*copy));
}

void SearchFileActions::revealSelected()
{
    // Asks the file manager over the bus and returns: nothing here looks at the file.
    if (const auto selected = m_index.selectedFile())
        m_fileManager.reveal(selected->fullPath);
}

void SearchFileActions::deleteSelected()
{
    if (const auto selected = m_index.selectedFile())
        trashLater(*selected);
}

QCoro::Task<> SearchFileActions::trashLater(FileEntry entry)
{
    const QPointer<SearchFileActions> self(this);
    const QPointer<SearchIndex> index(&m_index);
    FileManager* fileManager = &m_fileManager;
    QFuture<TrashOutcome> trashing =
        QtConcurrent::run(&RemoteCopy::pool(), [fileManager, url = entry.fullPath] { return trash(*fileManager, url, kDiskWait); });
    const TrashOutcome outcome = co_await trashing;
    if (!self || !index)
        co_return;
    switch (outcome) {
    case TrashOutcome::Trashed:
        index->removeFromCurrentList(entry);
        break;
    case TrashOutcome::NotAnswering:
        index->setNotice(QString::fromUtf8(kTrashNotAnswering).arg(entry.filename));
        break;
    case TrashOutcome::Refused:
        break;  // a refusal leaves file and lists as they were, without a word
    }
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
    QFuture<std::expected<QByteArray, QString>> copying =
        QtConcurrent::run(&RemoteCopy::pool(), [entry] { return RemoteCopy::copyToTemp(entry); });
    const auto copy = co_await copying;
    if (!self)
        co_return;
    if (!copy) {
        notifyCopyFailure(QStringLiteral("Mail"), copy.error());
        co_return;
    }
    m_mail.compose({QFile::decodeName(*copy)});
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
    if (!python3) {
        notifyPdfFailure(QString::fromLatin1(kPythonMissing));
        co_return;
    }

    PdfExport::Job job;
    job.python3 = *python3;
    job.script = PdfExport::scriptPath();
    job.outputFolder = QDir(Paths::expandTilde(settings.vaultPath)).filePath(QStringLiteral("_outbox"));
    job.input = FileNames::nativePath(entry.fullPath);
    if (remote) {
        // The script runs on a copy of this very file or not at all.
        QFuture<std::expected<QByteArray, QString>> copying =
            QtConcurrent::run(&RemoteCopy::pool(), [entry] { return RemoteCopy::copyToTemp(entry); });
        const auto copy = co_await copying;
        if (!copy) {
            notifyPdfFailure(copy.error());
            co_return;
        }
        job.input = *copy;
    }
    job.workingFolder = job.input.left(job.input.lastIndexOf('/'));

    // Not the shared workers: the application waits for those when it quits.
    const QString notAnswering = QString::fromUtf8(kPdfNotAnswering).arg(entry.filename);
    QFuture<std::expected<QByteArray, QString>> converting = QtConcurrent::run(&RemoteCopy::pool(), [job, remote, notAnswering] {
        // The script would wait on the file's disk for as long as it gives a script.
        if (!remote && !diskAnswers(job.input, kDiskWait))
            return std::expected<QByteArray, QString>(std::unexpected(notAnswering));
        auto made = PdfExport::run(job);
        if (remote)
            RemoteCopy::removeCopy(job.input);
        return made;
    });
    const std::expected<QByteArray, QString> made = co_await converting;
    if (!made) {
        notifyPdfFailure(made.error());
        co_return;
    }
    if (!self || !index)
        co_return;
    const QUrl pdfUrl = FileNames::fileUrl(*made);
    const QFileInfo pdf(pdfUrl.toLocalFile());
    FileEntry result;
    result.id = QUuid::createUuid();
    result.filename = FileNames::display(made->mid(made->lastIndexOf('/') + 1));
    result.relativePath = FileNames::display(*made);
    result.parentFolder = QFileInfo(job.outputFolder).fileName();
    result.creationDate = QDateTime::currentDateTime();
    result.modificationDate = result.creationDate;
    result.size = pdf.exists() ? pdf.size() : 0;
    result.fullPath = pdfUrl;
    result.source = FileEntry::Source::Workspace;
    result.filenameDate = entry.filenameDate;
    result.domain = entry.domain;
    result.fileType = entry.fileType;
    index->insertAtTop(result);
}

void SearchFileActions::notifyCopyFailure(const QString& action, const QString& message)
{
    HarkwellLog::log(QStringLiteral("[harkwell] %1 failed -- %2").arg(action.toLower(), message));
    NotificationRequest request;
    request.identifier = QStringLiteral("copy-fail-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    request.title = QStringLiteral("harkwell: %1 failed").arg(action);
    request.body = message;
    request.sound = false;
    Notifications::current().add(request);
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
