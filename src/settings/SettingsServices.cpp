#include "settings/SettingsServices.h"

#include "capture/CaptureStateStore.h"
#include "foundation/Settings.h"
#include "pipeline/CapturePipeline.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/Clock.h"
#include "platform/filesystem/FileSystem.h"
#include "service/HttpExchange.h"
#include "settings/AppUpdater.h"
#include "platform/dialogs/FolderChooser.h"

namespace harkwell {

SettingsServices SettingsServices::process()
{
    SettingsServices services;
    services.settings = &Settings::shared();
    services.clock = &Clock::system();
    services.session = &HttpExchange::sharedSession();
    services.pipeline = &CapturePipeline::shared();
    services.seenLedger = &CaptureStateStore::shared();
    services.notifier = &TranscriptNotifier::shared();
    services.updater = &AppUpdater::controller();
    services.folderChooser = &FolderChooser::dialog();
    services.files = &FileSystem::local();
    services.pairingResume = CapturePipeline::pairingResumeHook();
    return services;
}

}  // namespace harkwell
