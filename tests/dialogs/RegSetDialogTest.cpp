#include "dialogs/RegSetDialog.h"

#include "model/MeasurementWorker.h"
#include "model/Meter.h"
#include "tests/support/RecordingBridge.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QSpinBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

// Defined with the about box's tests, in this same program.
void PrintTo(const QString& s, std::ostream* os);

namespace {

// A model wired to a recording bridge, its worker running.
struct TModel {
    TRecordingBridge* Bridge;
    TMeter Model;
    explicit TModel(const QString& serial = QStringLiteral("RS0001"))
        : Bridge(new TRecordingBridge(serial)) {
        Model.SetUpBridge(std::unique_ptr<TBridge>(Bridge));
        Bridge->ClearCalls();
    }
};

TRegData Filled(std::uint8_t value) {
    TRegData image;
    image.fill(value);
    return image;
}

std::string Hex(const TRegData& image) {
    std::string text;
    for (std::uint8_t b : image) {
        static const char digits[] = "0123456789ABCDEF";
        text += digits[b >> 4];
        text += digits[b & 0x0F];
        text += ' ';
    }
    return text;
}

// Opening and closing without touching anything keeps every field that has a control and clears
// every other bit: bytes 0-6 and 13-18, byte 7 bits 6-1, byte 8 bits 3-2, byte 10 bits 2-0,
// byte 19 bits 4-1, byte 20 bits 7-6 and 2-0. Byte 19 bit 6 ends equal to its bit 7.
struct TRoundTrip {
    const char* Name;
    std::uint8_t Fill;
    TRegData Expected;
};

class RegSetUntouched : public testing::TestWithParam<TRoundTrip> {};

TEST_P(RegSetUntouched, KeepsEveryFieldAndClearsTheRest) {
    const TRoundTrip& c = GetParam();
    TModel m;
    m.Model.SetRegData(Filled(c.Fill));
    m.Model.SetSMode(2);
    TRegSetDialog dialog;
    dialog.Load(&m.Model);
    dialog.WriteBack(&m.Model);
    EXPECT_EQ(Hex(m.Model.RegData()), Hex(c.Expected));
    EXPECT_EQ(m.Model.SMode(), 2);
    EXPECT_TRUE(m.Bridge->Calls().isEmpty()) << "nothing is sent to the meter";
}

//                        0     1     2     3     4     5     6     7     8     9     10    11
//                        12    13    14    15    16    17    18    19    20    21    22
INSTANTIATE_TEST_SUITE_P(
    Images, RegSetUntouched,
    testing::Values(TRoundTrip{"AllOnes", 0xFF, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA1,
                                                 0xF3, 0xFF, 0xF8, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                                                 0x00, 0x00, 0x00, 0xE1, 0x38, 0xFF, 0xFF}},
                    // Byte 19: bit 6 set with bit 7 clear is dropped.
                    TRoundTrip{"Odd", 0x55, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
                                             0x51, 0x55, 0x50, 0x55, 0x55, 0x00, 0x00, 0x00,
                                             0x00, 0x00, 0x00, 0x01, 0x10, 0x55, 0x55}},
                    // Byte 19: bit 7 set with bit 6 clear gains bit 6.
                    TRoundTrip{"Even", 0xAA, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0,
                                              0xA2, 0xAA, 0xA8, 0xAA, 0xAA, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0xE0, 0x28, 0xAA, 0xAA}}),
    [](const testing::TestParamInfo<TRoundTrip>& info) { return std::string(info.param.Name); });

TEST(RegSetDialog, ExternalResistorSetupShowsItsTimingAndLosesItsEnable) {
    TModel m;
    TRegData image{};
    image[20] = 0xF1;
    m.Model.SetRegData(image);
    TRegSetDialog dialog;
    dialog.Load(&m.Model);
    EXPECT_EQ(dialog.CAP2F_CB->currentIndex(), 6);
    EXPECT_EQ(dialog.CAP2F_CB->currentText(), QStringLiteral("92.0"));
    dialog.WriteBack(&m.Model);
    EXPECT_EQ(m.Model.RegData()[20], 0x30);
}

// Controls set by hand over a loaded all-ones image, so that any bit the controls no longer
// stand for would show.
struct TControlCase {
    const char* Name;
    std::function<void(TRegSetDialog&)> Set;
    int Byte;
    std::uint8_t Expected;
};

class RegSetControls : public testing::TestWithParam<TControlCase> {};

TEST_P(RegSetControls, BuildTheirByte) {
    const TControlCase& c = GetParam();
    TModel m;
    m.Model.SetRegData(Filled(0xFF));
    TRegSetDialog dialog;
    dialog.Load(&m.Model);
    c.Set(dialog);
    dialog.WriteBack(&m.Model);
    EXPECT_EQ(int(m.Model.RegData()[c.Byte]), int(c.Expected));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RegSetControls,
    testing::Values(
        TControlCase{"DifferentialOnly",
                     [](TRegSetDialog& d) {
                         d.CAP1EN_CB->setChecked(false);
                         d.CAP1CHOP_CB->setChecked(false);
                         d.CAP1DIFF_CB->setCurrentIndex(1);
                     },
                     7, 0x20},
        TControlCase{"SecondChannelSingle",
                     [](TRegSetDialog& d) {
                         d.CAP2EN_CB->setChecked(true);
                         d.CAP2DIFF_CB->setCurrentIndex(0);
                         d.CAP2CHOP_CB->setChecked(false);
                     },
                     19, 0xC0},
        TControlCase{"ExcitationBothEnabled",
                     [](TRegSetDialog& d) {
                         d.CLKCTRL_CB->setChecked(false);
                         d.EXCON_CB->setChecked(false);
                         d.EXCA_CB->setCurrentIndex(d.EXCA_CB->findText(QStringLiteral("Enabled")));
                         d.EXCB_CB->setCurrentIndex(d.EXCB_CB->findText(QStringLiteral("Enabled")));
                         d.EXCLVL_CB->setCurrentIndex(
                             d.EXCLVL_CB->findText(QStringLiteral("VDDx3/8")));
                     },
                     9, 0x2A},
        TControlCase{"Timings",
                     [](TRegSetDialog& d) {
                         d.VTF_CB->setCurrentIndex(d.VTF_CB->findText(QStringLiteral("62.1")));
                         d.CAP1F_CB->setCurrentIndex(d.CAP1F_CB->findText(QStringLiteral("62.0")));
                     },
                     10, 0xA0},
        TControlCase{"DacOffKeepsCode",
                     [](TRegSetDialog& d) {
                         d.DAC2BENB_CB->setChecked(false);
                         d.DAC2B_SE->setValue(5);
                     },
                     22, 0x05}),
    [](const testing::TestParamInfo<TControlCase>& info) { return std::string(info.param.Name); });

TEST(RegSetDialog, ValueCountFollowsTheThreeEnableBitsOnly) {
    struct Case {
        bool Cap1, Vt, Cap2;
        int Expected;
    };
    for (const Case c :
         {Case{true, true, true, 3}, Case{false, false, false, 0}, Case{false, true, false, 1}}) {
        TModel m;
        // The channel configuration counts the temperature and the resistor; the dialog does
        // not.
        m.Model.SetCAP1Mode(1);
        m.Model.SetInternalTempEnabled(true);
        m.Model.SetExternalResistorEnabled(true);
        m.Model.SetRegsFromConfig();
        ASSERT_EQ(m.Model.ValueCount(), 3);
        TRegSetDialog dialog;
        dialog.Load(&m.Model);
        dialog.CAP1EN_CB->setChecked(c.Cap1);
        dialog.VTEN_CB->setChecked(c.Vt);
        dialog.CAP2EN_CB->setChecked(c.Cap2);
        dialog.WriteBack(&m.Model);
        EXPECT_EQ(m.Model.ValueCount(), c.Expected) << c.Cap1 << c.Vt << c.Cap2;
    }
}

TEST(RegSetDialog, AcquisitionModeReachesModelAndWorker) {
    struct Case {
        int Stored;
        int Chosen; // -1: left as loaded
        int Expected;
    };
    for (const Case c : {Case{1, 3, 3}, Case{2, 0, 0}, Case{0, -1, 0},
                         // Not in the list: the list shows nothing and the value stays.
                         Case{7, -1, 7}}) {
        TModel m;
        m.Model.SetSMode(c.Stored);
        TRegSetDialog dialog;
        ASSERT_EQ(dialog.SModeCB->count(), 4);
        EXPECT_TRUE(dialog.SModeCB->itemText(3).isEmpty());
        dialog.Load(&m.Model);
        if (c.Chosen >= 0)
            dialog.SModeCB->setCurrentIndex(c.Chosen);
        dialog.WriteBack(&m.Model);
        EXPECT_EQ(m.Model.SMode(), c.Expected) << c.Stored << " " << c.Chosen;
        EXPECT_EQ(m.Model.MeasurementWorker()->SMode, c.Expected);
    }
}

TEST(RegSetDialog, SecondMeterShowsNothingOfTheFirst) {
    TModel first(QStringLiteral("FIRST1"));
    TModel second(QStringLiteral("SECOND2"));
    first.Model.SetRegData(Filled(0xFF));
    first.Model.SetSMode(2);
    TRegData image{};
    image[9] = 0x28;
    image[10] = 0xA0;
    second.Model.SetRegData(image);
    second.Model.SetSMode(0);

    TRegSetDialog dialog;
    dialog.Load(&first.Model);
    dialog.WriteBack(&first.Model);
    const TRegData firstAfter = first.Model.RegData();

    dialog.Load(&second.Model);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Register Settings: SECOND2"));
    EXPECT_EQ(Hex(dialog.BuildRegData()), Hex(image));
    EXPECT_EQ(dialog.SModeCB->currentIndex(), 0);
    dialog.WriteBack(&second.Model);
    EXPECT_EQ(Hex(second.Model.RegData()), Hex(image));
    EXPECT_EQ(second.Model.ValueCount(), 0);
    EXPECT_EQ(Hex(first.Model.RegData()), Hex(firstAfter)) << "the first meter is left alone";
}

TEST(RegSetDialog, EditWritesBackWhenClosedByTheWindow) {
    TModel m(QStringLiteral("EDIT9"));
    m.Model.SetRegData(Filled(0xFF));
    TRegSetDialog dialog;
    QString caption;
    QTimer::singleShot(0, &dialog, [&] {
        caption = dialog.windowTitle();
        dialog.CAP1EN_CB->setChecked(false);
        dialog.SModeCB->setCurrentIndex(3);
        dialog.close();
    });
    dialog.Edit(&m.Model);
    EXPECT_EQ(caption, QStringLiteral("Register Settings: EDIT9"));
    EXPECT_FALSE(dialog.isVisible());
    const TRegData image = m.Model.RegData();
    EXPECT_EQ(int(image[7]), 0x21);
    EXPECT_EQ(int(image[10]), 0xF8) << "the converter is left idle";
    EXPECT_EQ(m.Model.SMode(), 3);
    EXPECT_EQ(m.Model.ValueCount(), 2);
    EXPECT_TRUE(m.Bridge->Calls().isEmpty());
}

TEST(RegSetDialog, LooksAsDesigned) {
    TRegSetDialog dialog;
    EXPECT_GE(dialog.width(), 605);
    EXPECT_GE(dialog.height(), 392);
    EXPECT_EQ(dialog.font().pointSize(), 8);
    QStringList groups;
    for (const QGroupBox* group : dialog.findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        groups << group->title();
    EXPECT_EQ(groups, QStringList({"Cap Channel 1", "Cap Channel 2", "VT Channel", "Excitation"}));
    for (const QCheckBox* box : dialog.findChildren<QCheckBox*>()) {
        EXPECT_EQ(box->layoutDirection(), Qt::RightToLeft) << box->objectName().toStdString();
        EXPECT_FALSE(box->toolTip().isEmpty()) << box->objectName().toStdString();
    }
    for (const QComboBox* list : dialog.findChildren<QComboBox*>())
        EXPECT_EQ(list->toolTip().isEmpty(), list == dialog.SModeCB)
            << list->objectName().toStdString();
    EXPECT_EQ(dialog.DAC1A_SE->maximum(), 127);
    EXPECT_EQ(dialog.DAC2B_SE->toolTip(), QStringLiteral("Register CAP DAC B -> DACB Bits 6-0"));
    EXPECT_EQ(dialog.CAP2EN_CB->parentWidget(), dialog.SModeCB->parentWidget());
}

} // namespace
