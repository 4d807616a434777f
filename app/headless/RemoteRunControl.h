#pragma once

#include "remote/TelnetServer.h"

#include <functional>

class TRunController;

// What remote clients ask of the program: the run's Start, Stop and status. A remote start asks
// nobody: it writes the next free log file name, or one named by the date and time.
class TRemoteRunControl final : public TTelnetHost {
public:
    // showsModalDialog: whether the window shows a question now, which Start and Stop wait for;
    // none without a window.
    explicit TRemoteRunControl(TRunController& run, std::function<bool()> showsModalDialog = {});

    void TelnetStart() override;
    void TelnetStop() override;
    QStringList TelnetStatus() override;
    bool ShowsModalDialog() override;

private:
    TRunController& FRun;
    std::function<bool()> FShowsModalDialog;
};
