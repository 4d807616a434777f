#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>
#include <vector>

class TVirtualHidBus;
class TVirtualMeter;

// The demo program's virtual meters: plugs them into the virtual bus, pulls them out and sets
// what they measure. Free of widgets, so that the headless demo program uses it as the
// window's "Simulation" menu does.
//
// A meter plugged in here whose serial has no section in the program settings file gets one
// first, with channel 1 single-ended and the temperature sensor on, so that a new user sees
// values at once. The program reads the section when it discovers the meter, hence before
// plugging; a section that is there already is never touched.
class TSimulation final : public QObject {
    Q_OBJECT
public:
    // settingsFile: the program settings file the program uses. The bus must outlive this.
    TSimulation(TVirtualHidBus& bus, QString settingsFile, QObject* parent = nullptr);
    ~TSimulation() override;

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
    // The input's capacitance as last set, pF.
    double InputPf(int index, int input) const;

    // The capacitance a user may set, in pF: more than the converter reads around its offset,
    // so that its clamping can be tried out.
    static constexpr double MinInputPf = -20;
    static constexpr double MaxInputPf = 20;

signals:
    // A meter was plugged in or pulled out.
    void Changed();

private:
    struct TMeter {
        std::shared_ptr<TVirtualMeter> Device;
        QString Serial;
        std::array<double, 2> InputPf{}; // as last set
    };

    const TMeter& At(int index) const;
    void WriteFirstStartSection(const QString& serial) const;

    TVirtualHidBus& FBus;
    const QString FSettingsFile;
    std::vector<TMeter> FMeters;
    int FPlugged = 0; // meters plugged in so far, for the next serial
};
