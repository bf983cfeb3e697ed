#pragma once
// What the search panel does with a file: open it, show it in the file manager, move it to the
// trash, attach it to a new e-mail, or turn a markdown file into a PDF in the vault's "_outbox".
// Files on a remote mount are copied to a private temporary folder first (not for showing or
// trashing); a copy that fails stops its action with a notice saying why. No file is touched on
// the main thread, wherever it lies: any folder may hold a mount that hangs. A file goes to the
// trash only once its disk has answered a child process in time, else the panel says so. The PDF's
// failures post a notice each. Main thread only; copying, trashing and the PDF script run on the
// copies' threads, which the application never waits for when it quits.

#include "foundation/FileEntry.h"

#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace harkwell {

class FileManager;
class MailComposer;
class SearchIndex;
class Settings;

class SearchFileActions final : public QObject {
    Q_OBJECT
public:
    using Python3Lookup = std::function<std::optional<QString>()>;

    struct Services {
        FileManager* fileManager = nullptr;  // the desktop's when null
        MailComposer* mail = nullptr;        // the desktop's when null
        Python3Lookup python3;               // EnvironmentCheck::python3Path when empty
    };

    // The desktop's file manager and mail, Settings::shared() and the python3 found at launch.
    explicit SearchFileActions(SearchIndex& index, QObject* parent = nullptr);
    SearchFileActions(SearchIndex& index, Settings& settings, Services services, QObject* parent = nullptr);

    // With its default application, through a temporary copy when the file is remote; a file whose
    // disk does not answer in time is not handed over, and a notice says so.
    void openFile(const FileEntry& entry);
    // Each acts on the index's selected file and does nothing without one.
    void revealSelected();
    void deleteSelected();
    void mailSelected();
    void pdfSelected();  // returns at once; the PDF joins the results when it is made

    // "[harkwell] <message>" to the system log and a notice "harkwell: PDF failed" of its own.
    static void notifyPdfFailure(const QString& message);

    static constexpr const char* kPythonMissing = "python3 not found -- install via `brew install python`";
    // How long a file's disk may take to answer before the file is left alone (not trashed, no PDF).
    static constexpr std::chrono::milliseconds kDiskWait{std::chrono::seconds(3)};
    static constexpr const char* kTrashNotAnswering = "The disk “%1” is on doesn’t answer: it wasn’t moved to the Trash.";
    static constexpr const char* kPdfNotAnswering = "The disk “%1” is on doesn’t answer: no PDF was made.";
    static constexpr const char* kOpenNotAnswering = "The disk “%1” is on doesn’t answer: it wasn’t opened.";

private:
    QCoro::Task<> openLater(FileEntry entry);
    QCoro::Task<> openLocalLater(FileEntry entry);
    QCoro::Task<> mailLater(FileEntry entry);
    QCoro::Task<> trashLater(FileEntry entry);
    QCoro::Task<> makePdf(FileEntry entry);
    static void notifyCopyFailure(const QString& action, const QString& message);

    SearchIndex& m_index;
    Settings& m_settings;
    FileManager& m_fileManager;
    MailComposer& m_mail;
    Python3Lookup m_python3;
};

}  // namespace harkwell
