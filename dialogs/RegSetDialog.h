#pragma once

#include "link/Bridge.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QSpinBox;
class TMeter;

// Shows one meter's register image field by field and lets the user set every field directly,
// past the channel configuration, together with the acquisition mode. Nothing is sent to the
// meter: the worker sends the new image at its next acquisition. The main window creates the
// dialog once; every opening loads all controls from the model it is given.
class TRegSetDialog : public QDialog {
    Q_OBJECT
public:
    explicit TRegSetDialog(QWidget* parent = nullptr);

    // Load, shows the dialog modally, then WriteBack however it was closed.
    void Edit(TMeter* CapInt);
    // Caption and every control from the model's image and acquisition mode.
    void Load(TMeter* CapInt);
    // The image built from the controls replaces the model's whole image; then the acquisition
    // mode and the value count follow it.
    void WriteBack(TMeter* CapInt) const;
    // The image the controls stand for, every bit without a control 0.
    TRegData BuildRegData() const;

    // Capacitive channel 1: bytes 7, 10 (CAPF), 11 and 12.
    QCheckBox* CAP1EN_CB;
    QComboBox* CAP1DIFF_CB;
    QCheckBox* CAP1CHOP_CB;
    QComboBox* CAP1F_CB;
    QCheckBox* DAC1AENA_CB;
    QSpinBox* DAC1A_SE;
    QCheckBox* DAC1BENB_CB;
    QSpinBox* DAC1B_SE;
    // Capacitive channel 2: bytes 19 to 22, the second conversion's setup.
    QCheckBox* CAP2EN_CB;
    QComboBox* CAP2DIFF_CB;
    QCheckBox* CAP2CHOP_CB;
    QComboBox* CAP2F_CB;
    QCheckBox* DAC2AENA_CB;
    QSpinBox* DAC2A_SE;
    QCheckBox* DAC2BENB_CB;
    QSpinBox* DAC2B_SE;
    // The model's acquisition mode; the fourth, empty item stands for 3.
    QComboBox* SModeCB;
    // Voltage/temperature channel: byte 8 and byte 10 (VTF).
    QCheckBox* VTEN_CB;
    QComboBox* VTMD_CB;
    QCheckBox* EXTREF_CB;
    QCheckBox* VTCHOP_CB;
    QCheckBox* VTSHORT_CB;
    QComboBox* VTF_CB;
    // Excitation: byte 9.
    QCheckBox* CLKCTRL_CB;
    QCheckBox* EXCON_CB;
    QComboBox* EXCA_CB;
    QComboBox* EXCB_CB;
    QComboBox* EXCLVL_CB;
};
