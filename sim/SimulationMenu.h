#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

class QAction;
class QMainWindow;
class QMenu;
class TVirtualHidBus;
class TVirtualMeter;

// The demo program's "Simulation" menu: plugs virtual meters into the virtual bus, pulls them
// out and sets what they measure. The public members do the work without asking; only the
// menu's handlers show dialogs.
//
// A meter plugged in here whose serial has no section in the program settings file gets one
// first, with channel 1 single-ended and the temperature sensor on, so that a new user sees
// values at once. The window reads the section when it discovers the meter, hence before
// plugging; a section that is there already is never touched.
class TSimulationMenu final : public QObject {
    Q_OBJECT
public:
    // settingsFile: the program settings file the window uses. The bus must outlive this.
    TSimulationMenu(TVirtualHidBus& bus, QString settingsFile, QObject* parent = nullptr);
    ~TSimulationMenu() override;

    QMenu* Menu() const { return FMenu.get(); }
    // Adds the menu to the window's menu bar; the dialogs open over the window.
    void AddTo(QMainWindow& window);

    // Plugs in a new meter with the next serial (SIM00001, SIM00002, ...; never one used
    // before) and returns it.
    std::shared_ptr<TVirtualMeter> PlugIn();
    // index: into Serials(); std::out_of_range when there is no such meter.
    void PullOut(int index);
    // input: 1 or 2. The converter clamps what lies outside its range.
    void SetInput(int index, int input, double pF);

    // The plugged-in meters, in plugging order.
    QStringList Serials() const;
    std::shared_ptr<TVirtualMeter> Meter(int index) const;

    // The capacitance the dialog accepts, in pF: more than the converter reads around its
    // offset, so that its clamping can be tried out.
    static constexpr double MinInputPf = -20;
    static constexpr double MaxInputPf = 20;

private:
    struct TMeter {
        std::shared_ptr<TVirtualMeter> Device;
        QString Serial;
        std::array<double, 2> InputPf{}; // as last set, for the dialog's starting value
    };

    const TMeter& At(int index) const;
    void WriteFirstStartSection(const QString& serial) const;
    void UpdateActions();
    void ChooseAndSetInput();

    TVirtualHidBus& FBus;
    const QString FSettingsFile;
    std::vector<TMeter> FMeters;
    int FPlugged = 0; // meters plugged in so far, for the next serial

    std::unique_ptr<QMenu> FMenu;
    QMenu* FPullOutMenu = nullptr;
    QAction* FPlugInAction = nullptr;
    QAction* FSetInputAction = nullptr;
    QPointer<QMainWindow> FWindow;
};
