#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QMainWindow;
class QMenu;
class TSimulation;

// The demo program's "Simulation" menu: plugs virtual meters in, pulls them out and sets what
// they measure, through the simulation, asking in dialogs over the window.
class TSimulationMenu final : public QObject {
    Q_OBJECT
public:
    // The simulation must outlive the menu.
    explicit TSimulationMenu(TSimulation& simulation, QObject* parent = nullptr);
    ~TSimulationMenu() override;

    QMenu* Menu() const { return FMenu.get(); }
    // Adds the menu to the window's menu bar; the dialogs open over the window.
    void AddTo(QMainWindow& window);

private:
    void UpdateActions();
    void ChooseAndSetInput();

    TSimulation& FSimulation;
    std::unique_ptr<QMenu> FMenu;
    QMenu* FPullOutMenu = nullptr;
    QAction* FPlugInAction = nullptr;
    QAction* FSetInputAction = nullptr;
    QPointer<QMainWindow> FWindow;
};
