#pragma once
// Turns a markdown file into a PDF with the user's folioize script, run by python3. Blocking: the
// script may take a while, so it runs on a worker thread.

#include "platform/childprocess/ProcessRunner.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <expected>

namespace harkwell {

class PdfExport {
public:
    struct Job {
        QString python3;
        QString script;
        QByteArray input;          // the markdown file, as the file system names it
        QByteArray workingFolder;  // where the script runs
        QString outputFolder;      // created when missing
    };

    // Only a script that hangs for good meets it.
    static constexpr std::chrono::milliseconds kLimit{std::chrono::hours(1)};

    // The PDF's path, or the failure's text for the notice: "folioize launch failed: …" or
    // "folioize failed: " and the last line of the script's error output.
    static std::expected<QByteArray, QString> run(const Job& job, ProcessRunner& runner = ProcessRunner::system());

    // "notes.draft.md" → "notes.draft.pdf": only the last extension is replaced.
    static QByteArray pdfName(const QByteArray& inputPath);
    // ~/.claude/skills/folioize/folioize.py
    static QString scriptPath();
};

}  // namespace harkwell
