#include "sim/SimulationMenu.h"

#include "dialogs/prompts/ErrorReport.h"
#include "sim/Simulation.h"

#include <QAction>
#include <QInputDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

TSimulationMenu::TSimulationMenu(TSimulation& simulation, QObject* parent)
    : QObject(parent)
    , FSimulation(simulation)
    , FMenu(std::make_unique<QMenu>(QStringLiteral("Simulation"))) {
    FMenu->setObjectName(QStringLiteral("SimulationMenu"));
    FPlugInAction = FMenu->addAction(QStringLiteral("Plug In Meter"));
    FPullOutMenu = FMenu->addMenu(QStringLiteral("Pull Out Meter"));
    FSetInputAction = FMenu->addAction(QStringLiteral("Set Input Capacitance..."));
    connect(FPlugInAction, &QAction::triggered, this,
            [this] { Guarded(FWindow, [this] { FSimulation.PlugIn(); }); });
    connect(FSetInputAction, &QAction::triggered, this,
            [this] { Guarded(FWindow, [this] { ChooseAndSetInput(); }); });
    connect(&FSimulation, &TSimulation::Changed, this, &TSimulationMenu::UpdateActions);
    UpdateActions();
}

// Out of line: the menu is complete here.
TSimulationMenu::~TSimulationMenu() = default;

void TSimulationMenu::AddTo(QMainWindow& window) {
    FWindow = &window;
    window.menuBar()->addMenu(FMenu.get());
}

void TSimulationMenu::UpdateActions() {
    // Rebuilt at every change. The old actions go later: one of them may be emitting its
    // triggered signal right now.
    for (QAction* action : FPullOutMenu->actions()) {
        FPullOutMenu->removeAction(action);
        action->deleteLater();
    }
    const QStringList serials = FSimulation.Serials();
    for (const QString& serial : serials) {
        QAction* action = FPullOutMenu->addAction(serial);
        connect(action, &QAction::triggered, this, [this, serial] {
            const int index = int(FSimulation.Serials().indexOf(serial));
            if (index >= 0)
                Guarded(FWindow, [&] { FSimulation.PullOut(index); });
        });
    }
    FPullOutMenu->setEnabled(!serials.isEmpty());
    FSetInputAction->setEnabled(!serials.isEmpty());
}

void TSimulationMenu::ChooseAndSetInput() {
    QStringList choices;
    for (const QString& serial : FSimulation.Serials())
        for (int input = 1; input <= 2; ++input)
            choices << QStringLiteral("%1, input %2").arg(serial).arg(input);
    if (choices.isEmpty())
        return;
    bool ok = false;
    const QString choice =
        QInputDialog::getItem(FWindow, QStringLiteral("Set Input Capacitance"),
                              QStringLiteral("Meter and input:"), choices, 0, false, &ok);
    if (!ok)
        return;
    const int chosen = int(choices.indexOf(choice));
    const int index = chosen / 2;
    const int input = chosen % 2 + 1;
    // Copies: the list may change while the next dialog is open.
    const QString serial = FSimulation.Serials().at(index);
    const double current = FSimulation.InputPf(index, input);
    const double pF = QInputDialog::getDouble(
        FWindow, QStringLiteral("Set Input Capacitance"),
        QStringLiteral("%1, input %2, in pF:").arg(serial).arg(input), current,
        TSimulation::MinInputPf, TSimulation::MaxInputPf, 3, &ok, {}, 0.1);
    const int now = int(FSimulation.Serials().indexOf(serial));
    if (ok && now >= 0)
        FSimulation.SetInput(now, input, pF);
}
