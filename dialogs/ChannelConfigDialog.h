#pragma once

#include <QDialog>
#include <QLocale>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class TMeter;

// A capacitance reading as the dialog shows it: three decimals, the locale's decimal
// separator, the unit, e.g. "1.945 pF".
QString CapacitanceText(double picofarads, const QLocale& locale = QLocale());

// Edits one meter's channel configuration and adjusts a channel's CAPDAC codes so that the
// channel reads just above a target. The main window creates it once and opens it with Edit;
// the configuration reaches the model only when the dialog closes.
class TChannelConfigDialog : public QDialog {
    Q_OBJECT
public:
    // One single conversion in pF; the default measures on the edited model's meter.
    using TMeasureFunction =
        std::function<double(int Channel, int Mode, int CAPDACA, int CAPDACB, int ExcVolt)>;

    explicit TChannelConfigDialog(QWidget* parent = nullptr);

    // Load, then the dialog modally, then WriteBack, however the dialog was closed.
    void Edit(TMeter* CapInt);
    // Takes the model, sets the caption and fills the controls from the model's properties.
    void Load(TMeter* CapInt);
    // Writes the controls into the model's properties and has it rebuild its register image.
    void WriteBack();

    // An empty function brings back the model's own measurement.
    void SetMeasureFunction(TMeasureFunction measure) { FMeasure = std::move(measure); }

    // "Cap Channel 1"
    QComboBox* CAP1ModeCB;
    QLabel* ActCAP1L;    // the last capacitance the adjustment measured
    QLabel* AdjustEnd1L; // how the last adjustment ended, under the CAPDAC group
    QCheckBox* CAPDAC1_CB;
    QSpinBox* DAC1A_SE;
    QSpinBox* DAC1B_SE;
    QPushButton* AdjustCAPDAC1Btn;
    QSpinBox* Target1SE;
    // "Cap Channel 2"
    QComboBox* CAP2ModeCB;
    QLabel* ActCAP2L;
    QLabel* AdjustEnd2L;
    QCheckBox* CAPDAC2_CB;
    QSpinBox* DAC2A_SE;
    QSpinBox* DAC2B_SE;
    QPushButton* AdjustCAPDAC2Btn;
    QSpinBox* Target2SE;
    // The row beneath
    QCheckBox* InternalTempEnabledCB;
    QCheckBox* ExternalResistorEnabledCB;
    QSpinBox* RefRes_SE;
    QComboBox* ExcitationVoltageCB;

    void ModeCBChange();
    void UpdateControlStates();
    void AdjustCAPDAC1BtnClick();
    void AdjustCAPDAC2BtnClick();

private:
    struct TChannelControls {
        int Channel;
        QComboBox* ModeCB;
        QLabel* ActL;
        QLabel* EndL;
        QCheckBox* CAPDAC_CB;
        QSpinBox* DACA_SE;
        QSpinBox* DACB_SE;
        QPushButton* AdjustBtn;
        QSpinBox* TargetSE;
    };

    // How an adjustment ended, with its last reading if it got one.
    struct TAdjustEnd {
        enum class EKind { Reached, AtLimit, Failed };
        EKind Kind = EKind::Failed;
        std::optional<double> Reading;
        QChar Dac;       // the DAC stepped last, 'A' or 'B'
        int Code = 0;    // its code at the end
        QString Message; // why it failed
    };

    QWidget* BuildChannelGroup(int channel, TChannelControls& controls);
    void UpdateChannelStates(const TChannelControls& controls);
    void AdjustCAPDAC(const TChannelControls& controls);
    void RunAdjustment(const TChannelControls& controls, int mode, TAdjustEnd& end);
    double Measure(const TChannelControls& controls, int mode);
    void EndAdjustment(const TChannelControls& controls, const TAdjustEnd& end);
    void ShowAdjustEnd(const TChannelControls& controls, const std::optional<TAdjustEnd>& end);
    QString AdjustEndText(const TAdjustEnd& end) const;

    TChannelControls FChannel1{};
    TChannelControls FChannel2{};
    TMeter* FCapInt = nullptr;
    QString FSerNum; // of the meter being edited
    TMeasureFunction FMeasure;
    // The last adjustment of each channel, by the meter's serial number, for the program's
    // lifetime: one dialog serves every meter, and each opening shows only its own meter's.
    std::map<QString, std::array<std::optional<TAdjustEnd>, 2>> FAdjustEnds;
};
