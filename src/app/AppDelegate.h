#pragma once
// The launch sequence, run once the application object exists, and the re-application of the
// capture settings after the settings window saves them.

#include <QString>

namespace harkwell {

class AppServices;

class AppDelegate {
public:
    explicit AppDelegate(AppServices& services);

    // Each step runs whatever became of the one before: every callee reports its own failures.
    void applicationDidFinishLaunching();
    // The status counter always; the pipeline when a watched folder is enabled, else only the resume.
    void maybeStartCapturePipeline();
    // After a settings save: the keeper, then the pipeline and the coordinator's folder list.
    void applyCaptureSettings();

    static QString launchLine(const QString& version, const QString& host);

private:
    AppServices& m_services;
};

}  // namespace harkwell
