#include "dialogs/ChannelConfigDialog.h"

#include "dialogs/prompts/ErrorReport.h"
#include "model/Meter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr int ClientWidth = 588;
constexpr int ClientHeight = 240;
constexpr int MaxDacCode = 127;

QSpinBox* SpinEdit(QWidget* parent, const char* name, int minimum, int maximum,
                   const QString& hint = {}) {
    auto* se = new QSpinBox(parent);
    se->setObjectName(QLatin1String(name));
    se->setRange(minimum, maximum);
    // Whatever is typed ends inside the range, at its nearer end.
    se->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    se->setToolTip(hint);
    return se;
}

QComboBox* DropDownList(QWidget* parent, const char* name, const QStringList& items,
                        const QString& hint = {}) {
    auto* cb = new QComboBox(parent);
    cb->setObjectName(QLatin1String(name));
    cb->addItems(items);
    cb->setToolTip(hint);
    return cb;
}

QCheckBox* EnabledBox(QWidget* parent, const char* name) {
    auto* cb = new QCheckBox(QStringLiteral("Enabled"), parent);
    cb->setObjectName(QLatin1String(name));
    return cb;
}

// The designed client area is small: keep the room between controls small too.
void Tighten(QLayout* layout) {
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);
}

QLabel* Caption(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, buddy->parentWidget());
    label->setBuddy(buddy);
    return label;
}

// The list's item for a stored value. A value that names no item selects fallback, so that the
// write-back never hands the model an index of -1.
void SelectIndex(QComboBox* cb, int value, int fallback) {
    cb->setCurrentIndex(value >= 0 && value < cb->count() ? value : fallback);
}

// A coarse step of a DAC code: 0, 10, ..., 120, 127. False when the code is at its end.
bool CoarseStep(QSpinBox* se) {
    const int x = se->value();
    if (x >= MaxDacCode)
        return false;
    se->setValue(x < 120 ? x + 10 : MaxDacCode);
    return true;
}

} // namespace

QString CapacitanceText(double picofarads, const QLocale& locale) {
    QLocale numbers = locale;
    numbers.setNumberOptions(QLocale::OmitGroupSeparator);
    // A reading just below zero shows as 0.000, not as -0.000.
    double shown = std::round(picofarads * 1000.0) / 1000.0;
    if (shown == 0.0)
        shown = 0.0;
    return numbers.toString(shown, 'f', 3) + QStringLiteral(" pF");
}

TChannelConfigDialog::TChannelConfigDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("ChannelConfigDialog"));
    setWindowTitle(QStringLiteral("Channel Configuration: "));
    // The main window's face; where it is missing, a common sans takes its place.
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
    setFont(font);

    auto* channels = new QHBoxLayout;
    channels->setSpacing(6);
    channels->addWidget(BuildChannelGroup(1, FChannel1), 1);
    channels->addWidget(BuildChannelGroup(2, FChannel2), 1);
    CAP1ModeCB = FChannel1.ModeCB;
    ActCAP1L = FChannel1.ActL;
    AdjustEnd1L = FChannel1.EndL;
    CAPDAC1_CB = FChannel1.CAPDAC_CB;
    DAC1A_SE = FChannel1.DACA_SE;
    DAC1B_SE = FChannel1.DACB_SE;
    AdjustCAPDAC1Btn = FChannel1.AdjustBtn;
    Target1SE = FChannel1.TargetSE;
    CAP2ModeCB = FChannel2.ModeCB;
    ActCAP2L = FChannel2.ActL;
    AdjustEnd2L = FChannel2.EndL;
    CAPDAC2_CB = FChannel2.CAPDAC_CB;
    DAC2A_SE = FChannel2.DACA_SE;
    DAC2B_SE = FChannel2.DACB_SE;
    AdjustCAPDAC2Btn = FChannel2.AdjustBtn;
    Target2SE = FChannel2.TargetSE;
    connect(AdjustCAPDAC1Btn, &QPushButton::clicked, this,
            &TChannelConfigDialog::AdjustCAPDAC1BtnClick);
    connect(AdjustCAPDAC2Btn, &QPushButton::clicked, this,
            &TChannelConfigDialog::AdjustCAPDAC2BtnClick);

    auto* tempGroup = new QGroupBox(QStringLiteral("Internal Temperature"), this);
    InternalTempEnabledCB = EnabledBox(tempGroup, "InternalTempEnabledCB");
    auto* tempLayout = new QHBoxLayout(tempGroup);
    Tighten(tempLayout);
    tempLayout->addWidget(InternalTempEnabledCB);
    tempLayout->addStretch();

    auto* resistorGroup = new QGroupBox(QStringLiteral("External Resistor"), this);
    ExternalResistorEnabledCB = EnabledBox(resistorGroup, "ExternalResistorEnabledCB");
    RefRes_SE = SpinEdit(resistorGroup, "RefRes_SE", 0, 99999999);
    auto* resistorLayout = new QHBoxLayout(resistorGroup);
    Tighten(resistorLayout);
    resistorLayout->addWidget(ExternalResistorEnabledCB);
    resistorLayout->addStretch();
    resistorLayout->addWidget(Caption(QStringLiteral("Reference [Ohm]"), RefRes_SE));
    resistorLayout->addWidget(RefRes_SE);

    auto* excitationGroup = new QGroupBox(QStringLiteral("Excitation"), this);
    ExcitationVoltageCB = DropDownList(excitationGroup, "ExcitationVoltageCB",
                                       {QStringLiteral("VDD/8"), QStringLiteral("VDD/4"),
                                        QStringLiteral("VDDx3/8"), QStringLiteral("VDD/2")});
    auto* excitationLayout = new QHBoxLayout(excitationGroup);
    Tighten(excitationLayout);
    excitationLayout->addWidget(Caption(QStringLiteral("Voltage"), ExcitationVoltageCB));
    excitationLayout->addWidget(ExcitationVoltageCB, 1);

    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(tempGroup, 1);
    row->addWidget(resistorGroup, 2);
    row->addWidget(excitationGroup, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(6);
    layout->addLayout(channels, 1);
    layout->addLayout(row);

    // The designed size, unless the font in use needs more room.
    layout->activate();
    setFixedSize(QSize(ClientWidth, ClientHeight).expandedTo(minimumSizeHint()));
}

QWidget* TChannelConfigDialog::BuildChannelGroup(int channel, TChannelControls& c) {
    const QString n = QString::number(channel);
    const auto name = [&](const char* pattern) { return QString::fromLatin1(pattern).arg(n); };

    auto* group = new QGroupBox(QStringLiteral("Cap Channel ") + n, this);
    c.Channel = channel;
    c.ModeCB = DropDownList(
        group, "",
        {QStringLiteral("Off"), QStringLiteral("Single"), QStringLiteral("Differential")},
        QStringLiteral("Register CAP Setup -> CAPDIFF Bit 5"));
    c.ModeCB->setObjectName(name("CAP%1ModeCB"));
    c.ActL = new QLabel(group);
    c.ActL->setObjectName(name("ActCAP%1L"));
    c.ActL->setTextFormat(Qt::PlainText);
    c.EndL = new QLabel(group);
    c.EndL->setObjectName(name("AdjustEnd%1L"));
    c.EndL->setTextFormat(Qt::PlainText); // a meter's error message is not markup
    // The line takes the room that the designed size leaves below the CAPDAC group, at most
    // two lines, so that neither the group nor the dialog changes with what it says; the
    // tooltip holds a longer message whole.
    c.EndL->setWordWrap(true);
    c.EndL->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    c.EndL->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
    c.EndL->setMaximumHeight(2 * c.EndL->fontMetrics().lineSpacing());

    auto* dacGroup = new QGroupBox(QStringLiteral("CAPDAC"), group);
    c.CAPDAC_CB = EnabledBox(dacGroup, "");
    c.CAPDAC_CB->setObjectName(name("CAPDAC%1_CB"));
    c.DACA_SE = SpinEdit(dacGroup, "", 0, MaxDacCode,
                         QStringLiteral("Register CAP DAC A -> DACA Bits 6-0"));
    c.DACA_SE->setObjectName(name("DAC%1A_SE"));
    c.DACB_SE = SpinEdit(dacGroup, "", 0, MaxDacCode,
                         QStringLiteral("Register CAP DAC B -> DACB Bits 6-0"));
    c.DACB_SE->setObjectName(name("DAC%1B_SE"));
    c.AdjustBtn = new QPushButton(QStringLiteral("Adjust CAP DAC"), dacGroup);
    c.AdjustBtn->setObjectName(name("AdjustCAPDAC%1Btn"));
    c.TargetSE = SpinEdit(dacGroup, "", -3, 3);
    c.TargetSE->setObjectName(name("Target%1SE"));

    auto* dacLayout = new QGridLayout(dacGroup);
    Tighten(dacLayout);
    dacLayout->addWidget(c.CAPDAC_CB, 0, 0, 1, 4);
    dacLayout->addWidget(c.AdjustBtn, 0, 4, 1, 2);
    dacLayout->addWidget(Caption(QStringLiteral("A"), c.DACA_SE), 1, 0);
    dacLayout->addWidget(c.DACA_SE, 1, 1);
    dacLayout->addWidget(Caption(QStringLiteral("B"), c.DACB_SE), 1, 2);
    dacLayout->addWidget(c.DACB_SE, 1, 3);
    dacLayout->addWidget(Caption(QStringLiteral("Target [pF]"), c.TargetSE), 1, 4);
    dacLayout->addWidget(c.TargetSE, 1, 5);

    auto* layout = new QGridLayout(group);
    Tighten(layout);
    layout->addWidget(Caption(QStringLiteral("Mode"), c.ModeCB), 0, 0);
    layout->addWidget(c.ModeCB, 0, 1);
    layout->addWidget(c.ActL, 0, 2);
    layout->setColumnStretch(2, 1);
    layout->addWidget(dacGroup, 1, 0, 1, 3);
    layout->addWidget(c.EndL, 2, 0, 1, 3);
    layout->setRowStretch(2, 1);

    connect(c.ModeCB, &QComboBox::currentIndexChanged, this, &TChannelConfigDialog::ModeCBChange);
    connect(c.CAPDAC_CB, &QCheckBox::toggled, this, &TChannelConfigDialog::ModeCBChange);
    return group;
}

void TChannelConfigDialog::Edit(TMeter* CapInt) {
    if (!CapInt)
        return;
    Load(CapInt);
    exec();
    WriteBack();
}

void TChannelConfigDialog::Load(TMeter* CapInt) {
    FCapInt = CapInt;
    FSerNum = FCapInt ? FCapInt->SerNum() : QString();
    // Only this meter's own adjustments; a meter without a serial number cannot be told apart
    // from another one, so it shows none.
    const auto remembered = FSerNum.isEmpty() ? FAdjustEnds.end() : FAdjustEnds.find(FSerNum);
    for (const TChannelControls* c : {&FChannel1, &FChannel2}) {
        std::optional<TAdjustEnd> end;
        if (remembered != FAdjustEnds.end())
            end = remembered->second[std::size_t(c->Channel - 1)];
        ShowAdjustEnd(*c, end);
    }
    if (!FCapInt)
        return;
    setWindowTitle(QStringLiteral("Channel Configuration: ") + FSerNum);
    // A mode outside the list measures nothing in the image, so it shows as "Off".
    SelectIndex(CAP1ModeCB, FCapInt->CAP1Mode(), 0);
    CAPDAC1_CB->setChecked(FCapInt->CAPDAC1Mode() == 1);
    DAC1A_SE->setValue(FCapInt->CAPDAC1A());
    DAC1B_SE->setValue(FCapInt->CAPDAC1B());
    SelectIndex(CAP2ModeCB, FCapInt->CAP2Mode(), 0);
    CAPDAC2_CB->setChecked(FCapInt->CAPDAC2Mode() == 1);
    DAC2A_SE->setValue(FCapInt->CAPDAC2A());
    DAC2B_SE->setValue(FCapInt->CAPDAC2B());
    const int excitation = FCapInt->ExcitationVoltage();
    SelectIndex(ExcitationVoltageCB, excitation,
                excitation < 0 ? 0 : ExcitationVoltageCB->count() - 1);
    InternalTempEnabledCB->setChecked(FCapInt->InternalTempEnabled());
    ExternalResistorEnabledCB->setChecked(FCapInt->ExternalResistorEnabled());
    Target1SE->setValue(FCapInt->CAP1Target());
    Target2SE->setValue(FCapInt->CAP2Target());
    RefRes_SE->setValue(FCapInt->ReferenceResistor());
    UpdateControlStates();
}

void TChannelConfigDialog::WriteBack() {
    if (!FCapInt)
        return;
    // Text still being typed counts as entered.
    for (QSpinBox* se : {DAC1A_SE, DAC1B_SE, DAC2A_SE, DAC2B_SE, Target1SE, Target2SE, RefRes_SE})
        se->interpretText();
    FCapInt->SetCAP1Mode(CAP1ModeCB->currentIndex());
    FCapInt->SetCAPDAC1Mode(CAPDAC1_CB->isChecked() ? 1 : 0);
    FCapInt->SetCAPDAC1A(DAC1A_SE->value());
    FCapInt->SetCAPDAC1B(DAC1B_SE->value());
    FCapInt->SetCAP2Mode(CAP2ModeCB->currentIndex());
    FCapInt->SetCAPDAC2Mode(CAPDAC2_CB->isChecked() ? 1 : 0);
    FCapInt->SetCAPDAC2A(DAC2A_SE->value());
    FCapInt->SetCAPDAC2B(DAC2B_SE->value());
    FCapInt->SetExcitationVoltage(ExcitationVoltageCB->currentIndex());
    FCapInt->SetInternalTempEnabled(InternalTempEnabledCB->isChecked());
    FCapInt->SetExternalResistorEnabled(ExternalResistorEnabledCB->isChecked());
    FCapInt->SetCAP1Target(Target1SE->value());
    FCapInt->SetCAP2Target(Target2SE->value());
    FCapInt->SetReferenceResistor(RefRes_SE->value());
    FCapInt->SetRegsFromConfig();
}

void TChannelConfigDialog::ModeCBChange() {
    UpdateControlStates();
}

void TChannelConfigDialog::UpdateControlStates() {
    UpdateChannelStates(FChannel1);
    UpdateChannelStates(FChannel2);
}

void TChannelConfigDialog::UpdateChannelStates(const TChannelControls& c) {
    const int m = c.ModeCB->currentIndex();
    const bool dacs = c.CAPDAC_CB->isChecked();
    // A disabled check box keeps its check mark: switching the channel on again brings the
    // DACs back as they were.
    c.CAPDAC_CB->setEnabled(m > 0);
    c.DACA_SE->setEnabled(m > 0 && dacs);
    c.DACB_SE->setEnabled(m > 1 && dacs); // DAC B works in differential mode only
    c.AdjustBtn->setEnabled(c.DACA_SE->isEnabled());
}

void TChannelConfigDialog::AdjustCAPDAC1BtnClick() {
    AdjustCAPDAC(FChannel1);
}

void TChannelConfigDialog::AdjustCAPDAC2BtnClick() {
    AdjustCAPDAC(FChannel2);
}

double TChannelConfigDialog::Measure(const TChannelControls& c, int mode) {
    const int a = c.DACA_SE->value();
    const int b = c.DACB_SE->value();
    // The excitation the dialog shows, which the model does not have yet.
    const int exc = ExcitationVoltageCB->currentIndex();
    const double value = FMeasure ? FMeasure(c.Channel, mode, a, b, exc)
                                  : FCapInt->MeasureCAP(c.Channel, std::uint8_t(mode),
                                                        std::uint8_t(a), std::uint8_t(b), exc);
    c.ActL->setText(CapacitanceText(value, locale()));
    // Nothing else runs until the adjustment ends; the user still sees each reading and code.
    repaint();
    return value;
}

void TChannelConfigDialog::AdjustCAPDAC(const TChannelControls& c) {
    const int mode = c.ModeCB->currentIndex();
    if (mode <= 0 || (!FMeasure && !FCapInt))
        return;
    c.ActL->clear();
    c.EndL->setText(QStringLiteral("Adjusting..."));
    c.EndL->setToolTip({});
    TAdjustEnd end;
    // A failed transfer ends the adjustment; the codes stay where it had put them. The dialog
    // shows the failure, and the program's error report gets it as before.
    Guarded(this, [&] {
        try {
            RunAdjustment(c, mode, end);
        } catch (const std::exception& error) {
            end.Kind = TAdjustEnd::EKind::Failed;
            end.Message = QString::fromUtf8(error.what());
            EndAdjustment(c, end);
            throw;
        } catch (...) {
            end.Kind = TAdjustEnd::EKind::Failed;
            EndAdjustment(c, end);
            throw;
        }
        EndAdjustment(c, end);
    });
}

void TChannelConfigDialog::RunAdjustment(const TChannelControls& c, int mode, TAdjustEnd& end) {
    QSpinBox* const a = c.DACA_SE;
    QSpinBox* const b = c.DACB_SE;
    const double target = c.TargetSE->value();
    const auto measure = [&] {
        end.Reading = Measure(c, mode);
        return *end.Reading;
    };
    const auto finish = [&](TAdjustEnd::EKind kind, QSpinBox* dac) {
        end.Kind = kind;
        end.Dac = dac == a ? QLatin1Char('A') : QLatin1Char('B');
        end.Code = dac->value();
    };
    using EKind = TAdjustEnd::EKind;

    a->setValue(0);
    b->setValue(0);
    double reading = measure();

    // DAC A lowers the reading as its code grows: step past the target, then back to the
    // largest code whose reading still lies above it.
    const auto adjustA = [&] {
        while (target < reading) {
            if (!CoarseStep(a))
                return finish(EKind::AtLimit, a); // still above the target at 127
            reading = measure();
        }
        while (target >= reading) {
            if (a->value() == 0)
                return finish(EKind::AtLimit, a); // not above the target even at 0
            a->setValue(a->value() - 1);
            reading = measure();
        }
        finish(EKind::Reached, a);
    };
    // DAC B raises it: step past the target, back below it, then up to the smallest code
    // that reaches it.
    const auto adjustB = [&] {
        while (target > reading) {
            if (!CoarseStep(b))
                return finish(EKind::AtLimit, b); // still below the target at 127
            reading = measure();
        }
        while (target <= reading) {
            if (b->value() == 0)
                return finish(EKind::Reached, b); // reached at code 0 already
            b->setValue(b->value() - 1);
            reading = measure();
        }
        while (target > reading) {
            if (b->value() >= MaxDacCode)
                return finish(EKind::AtLimit, b);
            b->setValue(b->value() + 1);
            reading = measure();
        }
        finish(EKind::Reached, b);
    };

    if (mode == 1 || target < reading)
        adjustA();
    else
        adjustB();
}

void TChannelConfigDialog::EndAdjustment(const TChannelControls& c, const TAdjustEnd& end) {
    if (!FSerNum.isEmpty())
        FAdjustEnds[FSerNum][std::size_t(c.Channel - 1)] = end;
    ShowAdjustEnd(c, end);
    repaint();
}

void TChannelConfigDialog::ShowAdjustEnd(const TChannelControls& c,
                                         const std::optional<TAdjustEnd>& end) {
    c.ActL->setText(end && end->Reading ? CapacitanceText(*end->Reading, locale()) : QString());
    const QString text = end ? AdjustEndText(*end) : QString();
    c.EndL->setText(text);
    // The tooltip shows a message too long for the line's two rows.
    c.EndL->setToolTip(text);
}

QString TChannelConfigDialog::AdjustEndText(const TAdjustEnd& end) const {
    const QString reading = end.Reading ? CapacitanceText(*end.Reading, locale()) : QString();
    const QString code = QString(end.Dac) + QStringLiteral(" = ") + QString::number(end.Code);
    switch (end.Kind) {
    case TAdjustEnd::EKind::Reached:
        return QStringLiteral("Reached: %1 at %2").arg(reading, code);
    case TAdjustEnd::EKind::AtLimit:
        return QStringLiteral("Stopped at the limit %1: %2").arg(code, reading);
    case TAdjustEnd::EKind::Failed:
        break;
    }
    return QStringLiteral("Failed: ") +
           (end.Message.isEmpty() ? QStringLiteral("Unknown error") : end.Message);
}
