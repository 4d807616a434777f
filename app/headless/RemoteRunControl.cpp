#include "app/headless/RemoteRunControl.h"

#include "app/core/LogFile.h"
#include "app/core/RunController.h"

#include <QLocale>

TRemoteRunControl::TRemoteRunControl(TRunController& run, std::function<bool()> showsModalDialog)
    : FRun(run)
    , FShowsModalDialog(std::move(showsModalDialog)) {}

void TRemoteRunControl::TelnetStart() {
    FRun.Start(TRunController::EStartedBy::Unattended);
}

void TRemoteRunControl::TelnetStop() {
    FRun.Stop();
}

QStringList TRemoteRunControl::TelnetStatus() {
    return StatusReportLines(FRun.LogSettings(), QLocale());
}

bool TRemoteRunControl::ShowsModalDialog() {
    return FShowsModalDialog && FShowsModalDialog();
}
