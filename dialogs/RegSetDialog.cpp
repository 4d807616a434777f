#include "dialogs/RegSetDialog.h"

#include "model/Meter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QStringList>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdint>

namespace {

const QSize DesignClientSize(605, 392);
constexpr int DacMax = 127;

// Image bytes.
constexpr int CapSetup = 7;
constexpr int VtSetup = 8;
constexpr int ExcSetup = 9;
constexpr int Configuration = 10;
constexpr int CapDacA = 11;
constexpr int CapDacB = 12;
constexpr int CapSetup2 = 19;
constexpr int VtSetup2 = 20;
constexpr int CapDacA2 = 21;
constexpr int CapDacB2 = 22;

// A check box reads right to left, so its alignment must not be mirrored.
constexpr Qt::Alignment LeftEdge = Qt::AlignLeft | Qt::AlignAbsolute;
// Tight enough for the four groups to fit the design size at 8 pt.
constexpr int GroupMargin = 6;
constexpr int Spacing = 4;

void Tighten(QLayout* layout) {
    layout->setContentsMargins(GroupMargin, Spacing, GroupMargin, Spacing);
    layout->setSpacing(Spacing);
}

const QStringList CapTimings{"11.0", "11.9", "20.0", "38.0", "62.0", "77.0", "92.0", "109.6"};
const QStringList ExcSignals{"Off", "Inverted", "Enabled", "Invalid"};

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& caption,
                     const QString& hint) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    // Caption to the left of the box.
    box->setLayoutDirection(Qt::RightToLeft);
    box->setToolTip(hint);
    return box;
}

QComboBox* MakeList(QWidget* parent, const char* name, const QStringList& items,
                    const QString& hint) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->addItems(items);
    list->setToolTip(hint);
    return list;
}

QSpinBox* MakeDacEdit(QWidget* parent, const char* name, const QString& hint) {
    auto* edit = new QSpinBox(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setRange(0, DacMax);
    edit->setToolTip(hint);
    return edit;
}

// A label in front of a list, in columns column and column + 1 of row.
void AddLabelled(QGridLayout* grid, int row, int column, const QString& text, QWidget* field) {
    auto* label = new QLabel(text, field->parentWidget());
    label->setBuddy(field);
    grid->addWidget(label, row, column);
    grid->addWidget(field, row, column + 1);
}

QGroupBox* DacGroup(QWidget* parent, const QString& title, QCheckBox*& enable, const char* cbName,
                    const QString& cbHint, QSpinBox*& value, const char* seName,
                    const QString& seHint) {
    auto* group = new QGroupBox(title, parent);
    enable = MakeCheck(group, cbName, QStringLiteral("Enabled"), cbHint);
    value = MakeDacEdit(group, seName, seHint);
    auto* grid = new QGridLayout(group);
    Tighten(grid);
    grid->addWidget(enable, 0, 0, 1, 2, LeftEdge);
    AddLabelled(grid, 1, 0, QStringLiteral("Value"), value);
    return group;
}

bool Bit(std::uint8_t byte, std::uint8_t mask) {
    return (byte & mask) != 0;
}

std::uint8_t Flag(const QCheckBox* box, std::uint8_t mask) {
    return box->isChecked() ? mask : 0;
}

// A list's index as a field value; the lists hold exactly the values their field can take, so
// it fits the field's bits.
std::uint8_t Field(const QComboBox* list, int shift) {
    return std::uint8_t(std::max(0, list->currentIndex()) << shift);
}

} // namespace

TRegSetDialog::TRegSetDialog(QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("RegSetDialog"));
    setWindowTitle(QStringLiteral("Register Settings"));
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans")});
    font.setPointSize(8);
    setFont(font);

    const QString capEnHint = QStringLiteral("Register CAP Setup -> CAPEN Bit 7");
    const QString capDiffHint = QStringLiteral("Register CAP Setup -> CAPDIFF Bit 5");
    const QString capChopHint = QStringLiteral("Register CAP Setup -> CAPCHOP Bit 0");
    const QString capFHint = QStringLiteral("Register Configuration -> CAPF Bits 5-3");
    const QString dacAEnaHint = QStringLiteral("Register CAP DAC A -> DACAENA Bit 7");
    const QString dacAHint = QStringLiteral("Register CAP DAC A -> DACA Bits 6-0");
    const QString dacBEnaHint = QStringLiteral("Register CAP DAC B -> DACBENA Bit 7");
    const QString dacBHint = QStringLiteral("Register CAP DAC B -> DACB Bits 6-0");
    const QStringList modes{QStringLiteral("Single"), QStringLiteral("Differential")};

    // --- Cap Channel 1 and 2 ---
    struct TChannel {
        QGroupBox* Group;
        QGridLayout* Grid;
    };
    const auto buildChannel = [&](const QString& title, QCheckBox*& en, const char* enName,
                                  QComboBox*& diff, const char* diffName, QCheckBox*& chop,
                                  const char* chopName, QComboBox*& timing, const char* fName,
                                  QCheckBox*& dacAEna, const char* dacAEnaName, QSpinBox*& dacA,
                                  const char* dacAName, QCheckBox*& dacBEna,
                                  const char* dacBEnaName, QSpinBox*& dacB, const char* dacBName) {
        auto* group = new QGroupBox(title, this);
        en = MakeCheck(group, enName, QStringLiteral("Enabled"), capEnHint);
        diff = MakeList(group, diffName, modes, capDiffHint);
        chop = MakeCheck(group, chopName, QStringLiteral("Double Conv"), capChopHint);
        timing = MakeList(group, fName, CapTimings, capFHint);
        auto* grid = new QGridLayout;
        grid->setSpacing(Spacing);
        grid->addWidget(en, 0, 0, 1, 2, LeftEdge);
        grid->addWidget(chop, 0, 2, 1, 2, LeftEdge);
        AddLabelled(grid, 1, 0, QStringLiteral("Mode"), diff);
        AddLabelled(grid, 1, 2, QStringLiteral("Timing [ms]"), timing);
        grid->setRowStretch(3, 1);
        auto* row = new QHBoxLayout(group);
        Tighten(row);
        row->addLayout(grid, 1);
        row->addWidget(DacGroup(group, QStringLiteral("Cap DAC A"), dacAEna, dacAEnaName,
                                dacAEnaHint, dacA, dacAName, dacAHint));
        row->addWidget(DacGroup(group, QStringLiteral("Cap DAC B"), dacBEna, dacBEnaName,
                                dacBEnaHint, dacB, dacBName, dacBHint));
        return TChannel{group, grid};
    };
    const TChannel channel1 = buildChannel(
        QStringLiteral("Cap Channel 1"), CAP1EN_CB, "CAP1EN_CB", CAP1DIFF_CB, "CAP1DIFF_CB",
        CAP1CHOP_CB, "CAP1CHOP_CB", CAP1F_CB, "CAP1F_CB", DAC1AENA_CB, "DAC1AENA_CB", DAC1A_SE,
        "DAC1A_SE", DAC1BENB_CB, "DAC1BENB_CB", DAC1B_SE, "DAC1B_SE");
    const TChannel channel2 = buildChannel(
        QStringLiteral("Cap Channel 2"), CAP2EN_CB, "CAP2EN_CB", CAP2DIFF_CB, "CAP2DIFF_CB",
        CAP2CHOP_CB, "CAP2CHOP_CB", CAP2F_CB, "CAP2F_CB", DAC2AENA_CB, "DAC2AENA_CB", DAC2A_SE,
        "DAC2A_SE", DAC2BENB_CB, "DAC2BENB_CB", DAC2B_SE, "DAC2B_SE");
    // The acquisition mode has no register field and so no hint.
    SModeCB = MakeList(channel2.Group, "SModeCB",
                       {QStringLiteral("Direct"), QStringLiteral("Pre Set"),
                        QStringLiteral("Double Acq"), QString()},
                       QString());
    AddLabelled(channel2.Grid, 2, 0, QStringLiteral("SMode"), SModeCB);

    // --- VT Channel ---
    auto* vtGroup = new QGroupBox(QStringLiteral("VT Channel"), this);
    VTEN_CB = MakeCheck(vtGroup, "VTEN_CB", QStringLiteral("Enabled"),
                        QStringLiteral("Register VT Setup -> VTEN Bit 7"));
    VTMD_CB =
        MakeList(vtGroup, "VTMD_CB",
                 {QStringLiteral("Internal temperature sensor"),
                  QStringLiteral("External temperature sensor"), QStringLiteral("VDD monitor"),
                  QStringLiteral("External voltage input (VIN)")},
                 QStringLiteral("Register VT Setup -> VTMD Bits 6-5"));
    EXTREF_CB = MakeCheck(vtGroup, "EXTREF_CB", QStringLiteral("External reference voltage"),
                          QStringLiteral("Register VT Setup -> EXTREF Bit 4"));
    VTCHOP_CB = MakeCheck(vtGroup, "VTCHOP_CB", QStringLiteral("Double Conv"),
                          QStringLiteral("Register VT Setup -> VTCHOP Bit 0"));
    VTSHORT_CB =
        MakeCheck(vtGroup, "VTSHORT_CB", QStringLiteral("Short voltage channel internally"),
                  QStringLiteral("Register VT Setup -> VTSHORT Bit 1"));
    VTF_CB = MakeList(vtGroup, "VTF_CB",
                      {QStringLiteral("20.1"), QStringLiteral("32.1"), QStringLiteral("62.1"),
                       QStringLiteral("122.1")},
                      QStringLiteral("Register Configuration -> VTF Bits 7,6"));
    auto* vtGrid = new QGridLayout(vtGroup);
    Tighten(vtGrid);
    vtGrid->addWidget(VTEN_CB, 0, 0, 1, 2, LeftEdge);
    vtGrid->addWidget(VTCHOP_CB, 0, 2, 1, 2, LeftEdge);
    vtGrid->addWidget(VTSHORT_CB, 0, 4, LeftEdge);
    AddLabelled(vtGrid, 1, 0, QStringLiteral("Source"), VTMD_CB);
    AddLabelled(vtGrid, 1, 2, QStringLiteral("Timing [ms]"), VTF_CB);
    vtGrid->addWidget(EXTREF_CB, 1, 4, LeftEdge);
    vtGrid->setColumnStretch(5, 1);

    // --- Excitation ---
    auto* excGroup = new QGroupBox(QStringLiteral("Excitation"), this);
    CLKCTRL_CB = MakeCheck(excGroup, "CLKCTRL_CB", QStringLiteral("Decrease clock"),
                           QStringLiteral("Register EXC Setup -> CLKCTRL Bit 7"));
    EXCON_CB = MakeCheck(excGroup, "EXCON_CB", QStringLiteral("Excite during VT"),
                         QStringLiteral("Register EXC Setup -> EXCON Bit 6"));
    EXCA_CB = MakeList(excGroup, "EXCA_CB", ExcSignals,
                       QStringLiteral("Register EXC Setup -> EXCA Bit 3,2"));
    EXCB_CB = MakeList(excGroup, "EXCB_CB", ExcSignals,
                       QStringLiteral("Register EXC Setup -> EXCB Bit 5,4"));
    EXCLVL_CB = MakeList(excGroup, "EXCLVL_CB",
                         {QStringLiteral("VDD/8"), QStringLiteral("VDD/4"),
                          QStringLiteral("VDDx3/8"), QStringLiteral("VDD/2")},
                         QStringLiteral("Register EXC Setup -> EXCLVL Bit 1,0"));
    auto* excGrid = new QGridLayout(excGroup);
    Tighten(excGrid);
    excGrid->addWidget(CLKCTRL_CB, 0, 0, 1, 2, LeftEdge);
    excGrid->addWidget(EXCON_CB, 0, 2, 1, 2, LeftEdge);
    AddLabelled(excGrid, 1, 0, QStringLiteral("Signal EXCA"), EXCA_CB);
    AddLabelled(excGrid, 1, 2, QStringLiteral("Signal EXCB"), EXCB_CB);
    AddLabelled(excGrid, 1, 4, QStringLiteral("Voltage"), EXCLVL_CB);
    excGrid->setColumnStretch(6, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(GroupMargin, GroupMargin, GroupMargin, GroupMargin);
    layout->setSpacing(Spacing);
    layout->addWidget(channel1.Group);
    layout->addWidget(channel2.Group);
    layout->addWidget(vtGroup);
    layout->addWidget(excGroup);
    layout->addStretch(1);

    // A dialog border: the size is fixed, at the design size unless the font needs more.
    layout->activate();
    setFixedSize(DesignClientSize.expandedTo(minimumSizeHint()));
}

void TRegSetDialog::Edit(TMeter* CapInt) {
    if (!CapInt)
        return;
    Load(CapInt);
    exec();
    WriteBack(CapInt);
}

void TRegSetDialog::Load(TMeter* CapInt) {
    setWindowTitle(QStringLiteral("Register Settings: ") + CapInt->SerNum());
    const TRegData r = CapInt->RegData();

    CAP1EN_CB->setChecked(Bit(r[CapSetup], 0x80));
    CAP1DIFF_CB->setCurrentIndex(Bit(r[CapSetup], 0x20) ? 1 : 0);
    CAP1CHOP_CB->setChecked(Bit(r[CapSetup], 0x01));
    CAP1F_CB->setCurrentIndex((r[Configuration] >> 3) & 0x07);
    DAC1AENA_CB->setChecked(Bit(r[CapDacA], 0x80));
    DAC1A_SE->setValue(r[CapDacA] & 0x7F);
    DAC1BENB_CB->setChecked(Bit(r[CapDacB], 0x80));
    DAC1B_SE->setValue(r[CapDacB] & 0x7F);

    CAP2EN_CB->setChecked(Bit(r[CapSetup2], 0x80));
    CAP2DIFF_CB->setCurrentIndex(Bit(r[CapSetup2], 0x20) ? 1 : 0);
    CAP2CHOP_CB->setChecked(Bit(r[CapSetup2], 0x01));
    CAP2F_CB->setCurrentIndex((r[VtSetup2] >> 3) & 0x07);
    DAC2AENA_CB->setChecked(Bit(r[CapDacA2], 0x80));
    DAC2A_SE->setValue(r[CapDacA2] & 0x7F);
    DAC2BENB_CB->setChecked(Bit(r[CapDacB2], 0x80));
    DAC2B_SE->setValue(r[CapDacB2] & 0x7F);

    // An acquisition mode outside the list leaves it without a selection; WriteBack then keeps
    // the model's value rather than inventing one.
    SModeCB->setCurrentIndex(
        CapInt->SMode() >= 0 && CapInt->SMode() < SModeCB->count() ? CapInt->SMode() : -1);

    VTEN_CB->setChecked(Bit(r[VtSetup], 0x80));
    VTMD_CB->setCurrentIndex((r[VtSetup] >> 5) & 0x03);
    EXTREF_CB->setChecked(Bit(r[VtSetup], 0x10));
    VTCHOP_CB->setChecked(Bit(r[VtSetup], 0x01));
    VTSHORT_CB->setChecked(Bit(r[VtSetup], 0x02));
    VTF_CB->setCurrentIndex((r[Configuration] >> 6) & 0x03);

    CLKCTRL_CB->setChecked(Bit(r[ExcSetup], 0x80));
    EXCON_CB->setChecked(Bit(r[ExcSetup], 0x40));
    EXCA_CB->setCurrentIndex((r[ExcSetup] >> 2) & 0x03);
    EXCB_CB->setCurrentIndex((r[ExcSetup] >> 4) & 0x03);
    EXCLVL_CB->setCurrentIndex(r[ExcSetup] & 0x03);
}

TRegData TRegSetDialog::BuildRegData() const {
    TRegData r{};
    r[CapSetup] = Flag(CAP1EN_CB, 0x80) | Field(CAP1DIFF_CB, 5) | Flag(CAP1CHOP_CB, 0x01);
    r[VtSetup] = Flag(VTEN_CB, 0x80) | Field(VTMD_CB, 5) | Flag(EXTREF_CB, 0x10) |
                 Flag(VTSHORT_CB, 0x02) | Flag(VTCHOP_CB, 0x01);
    r[ExcSetup] = Flag(CLKCTRL_CB, 0x80) | Flag(EXCON_CB, 0x40) | Field(EXCB_CB, 4) |
                  Field(EXCA_CB, 2) | Field(EXCLVL_CB, 0);
    // The conversion mode bits stay 0: the converter idles until the worker starts it.
    r[Configuration] = Field(VTF_CB, 6) | Field(CAP1F_CB, 3);
    r[CapDacA] = Flag(DAC1AENA_CB, 0x80) | std::uint8_t(DAC1A_SE->value() & 0x7F);
    r[CapDacB] = Flag(DAC1BENB_CB, 0x80) | std::uint8_t(DAC1B_SE->value() & 0x7F);
    // Channel 2 is the converter's second input: its enable brings the input select bit along.
    r[CapSetup2] = Flag(CAP2EN_CB, 0xC0) | Field(CAP2DIFF_CB, 5) | Flag(CAP2CHOP_CB, 0x01);
    r[VtSetup2] = Field(CAP2F_CB, 3);
    r[CapDacA2] = Flag(DAC2AENA_CB, 0x80) | std::uint8_t(DAC2A_SE->value() & 0x7F);
    r[CapDacB2] = Flag(DAC2BENB_CB, 0x80) | std::uint8_t(DAC2B_SE->value() & 0x7F);
    return r;
}

void TRegSetDialog::WriteBack(TMeter* CapInt) const {
    // The value count follows the image: its capacitive channels and its VT conversion.
    CapInt->SetRegData(BuildRegData());
    if (SModeCB->currentIndex() >= 0)
        CapInt->SetSMode(SModeCB->currentIndex());
}
