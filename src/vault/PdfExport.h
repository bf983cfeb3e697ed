#pragma once
// Turns a markdown file into a PDF with the user's folioize script, run by python3. Blocking: the
// script may take a while, so it runs on a worker thread.

#include <QString>

#include <expected>

namespace harkwell {

class PdfExport {
public:
    struct Job {
        QString python3;
        QString script;
        QString input;          // the markdown file
        QString workingFolder;  // where the script runs
        QString outputFolder;   // created when missing
    };

    // The PDF's path, or the failure's text for the notice: "folioize launch failed: …" or
    // "folioize failed: " and the last line of the script's error output.
    static std::expected<QString, QString> run(const Job& job);

    // "notes.draft.md" → "notes.draft.pdf": only the last extension is replaced.
    static QString pdfName(const QString& inputPath);
    // ~/.claude/skills/folioize/folioize.py
    static QString scriptPath();
};

}  // namespace harkwell
